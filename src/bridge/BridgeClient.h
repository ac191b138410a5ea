#pragma once

#include "ClientIo.h"
#include "Rfc2217.h"

#include "serial/ByteQueue.h"

#include <wx/string.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

class wxSocketBase;

// One admitted TCP client of a bridge: its socket and what waits to be sent
// to it, its counters, whether its peer has hung up and, on a bridge that
// speaks RFC 2217, its Telnet session. The bridge keeps the table of clients
// and decides whose input goes where; a client only sends and receives.
//
// Sending never waits: what the socket cannot take yet waits in the backlog,
// sent as the socket takes more, and a client whose backlog would pass
// kBacklogLimit cannot keep up. A failed send or watch means the client has
// gone: the call says so in the log, and the bridge removes it.
//
// On the thread its bridge relays on.
class BridgeClient
{
public:
    static constexpr std::size_t kBacklogLimit = 1024 * 1024;
    // How long a new Telnet client's answer to the offers of binary is
    // waited for before the device's bytes go to it in the terminal form.
    static constexpr std::chrono::milliseconds kBinaryWait{1000};

    // Takes over socket, released with Destroy() by Close.
    BridgeClient(int id, wxSocketBase* socket);
    ~BridgeClient();

    // Starts watching the socket, for input at first; false when it cannot.
    bool Watch(client_io::ReadyHandler ready);
    // Watches for input or not from now on, and for output while the backlog
    // waits; false, and logged, when it cannot.
    bool WatchInput(bool input);
    // Where the serial worker waits for clients: what this one's socket is
    // waited for now (false for nothing), and its handler's call once the
    // wait found it ready.
    bool Wanted(SFile::OtherWait& wanted) const;
    void Ready();
    // Stops watching and closes the socket, once; the watch is handed back,
    // to be freed once no event is being dispatched. Off the GUI thread the
    // connection is shut and the socket added to shutSockets, for the GUI
    // thread to destroy. The destructor closes a client not closed yet.
    std::unique_ptr<client_io::Watch> Close(std::vector<wxSocketBase*>* shutSockets = nullptr);

    // Sends bytes, of which counted were the device's (the rest protocol),
    // now or from the backlog; false when the client cannot keep up or has
    // gone.
    bool Send(const unsigned char* bytes, std::size_t count, std::size_t counted);
    bool Send(const std::string& bytes, std::size_t counted)
    {
        return Send(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), counted);
    }
    // Sends what the backlog holds, as far as the socket takes it; false
    // when the client has gone.
    bool FlushBacklog();
    // What arrived, at most size bytes: the count read, 0 when nothing
    // waits, or -1 when the peer has closed the connection or it failed.
    long Receive(unsigned char* buffer, std::size_t size);
    // Whether the peer has closed its side, though its input may wait unread.
    bool PeerHasClosed() const;

    // A Telnet client that has not settled binary yet is given the device's
    // bytes once it has, or once kBinaryWait has passed; until then they
    // are held here, as the device sent them.
    void AwaitBinary();
    bool AwaitsBinary() const { return m_awaitingBinary; }
    // Whether the wait is over by now: the client settled, or it is too late.
    bool BinaryWaitIsOver(std::chrono::steady_clock::time_point now) const;
    // Holds device bytes; false when that would pass the backlog's limit.
    bool Hold(const std::string& bytes);
    // Sends what was held, in the form the client now takes.
    bool ReleaseHeld();

    // Whether the client asked for a pause in what the device sends.
    bool IsSuspended() const { return telnet && telnet->IsSuspended(); }

    const int id;                    // key in the client table, never reused
    wxSocketBase* const socket;      // owned; released with Destroy()
    const wxString peer;             // "address:port", for log lines
    bool isWriter = false;           // only a writer's bytes reach the serial port
    bool hungUp = false;             // its peer has closed; what it sent is still read to its end
    bool droppingTold = false;       // the log said that a reader's input is dropped
    bool refusedChangeTold = false;  // the log said that a reader's change of the port was refused
    long long writedBytes = 0;       // bytes it sent that were written to the serial port
    long long readedBytes = 0;       // serial bytes handed to it
    std::unique_ptr<Rfc2217Session> telnet; // on a bridge that speaks RFC 2217; null for raw bytes

private:
    void LogLost(const char* how) const;

    ByteQueue m_backlog;             // serial bytes its socket could not take yet
    std::unique_ptr<client_io::Watch> m_watch;
    bool m_input = true;             // whether its input is watched
    bool m_closed = false;
    bool m_awaitingBinary = false;
    std::chrono::steady_clock::time_point m_binaryDeadline;
    ByteQueue m_held;                // device bytes kept while it settles binary
};
