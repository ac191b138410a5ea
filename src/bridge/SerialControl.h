#pragma once

#include "Rfc2217.h"

#include <wx/string.h>

#include <cstdint>
#include <string>

class BridgeSettings;
class BridgeTrace;
class SerialLink;

// A bridge's serial port as its RFC 2217 sessions see it and change it. Only
// the writer's session writes or changes anything; the bridge says whose
// bytes they are (SetClient) before it hands a session the client's input.
// The decoded bytes and every change are traced, as the device meets them.
// When the clients that changed the port have all left, Restore puts the
// stored settings back. On the thread its bridge relays on.
class SerialControl : public Rfc2217Port
{
public:
    // All three must outlive the control.
    SerialControl(SerialLink& link, const BridgeSettings& settings, BridgeTrace& trace);

    // peer: "address:port", for the trace.
    void SetClient(int id, const wxString& peer)
    {
        m_clientId = id;
        m_peer = peer;
    }
    // The client's input that was handed over is all decoded: what it wrote
    // is traced as one chunk, not a piece per escaped byte.
    void EndOfInput();

    void Write(const unsigned char* bytes, std::size_t count) override;
    void Dropped(const unsigned char* bytes, std::size_t count) override;
    std::uint32_t Get(Setting setting) override;
    std::uint32_t Set(Setting setting, std::uint32_t value) override;
    void Purge(bool received, bool toSend) override;
    std::uint8_t ModemLines() override;

    // Puts back the stored speed and frame, no flow control, DTR and RTS
    // off and no break, if a client changed anything since the last time.
    void Restore();
    // As a port is opened: nothing changed, DTR and RTS off.
    void Reset();

private:
    static std::uint32_t ParityCode(char parity);
    void TraceWritten();

    SerialLink& m_link;
    const BridgeSettings& m_settings;
    BridgeTrace& m_trace;
    int m_clientId = 0;
    wxString m_peer;
    std::string m_written; // decoded bytes written, not traced yet
    std::string m_dropped; // a reader's decoded bytes, not traced yet
    bool m_changed = false; // a client changed the port since it was opened or restored
    std::uint32_t m_dtr = 0;
    std::uint32_t m_rts = 0;
};
