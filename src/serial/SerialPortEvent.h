#pragma once

#include <wx/event.h>

#include <atomic>

// A reference-counted byte block shared by the serial port handler and the
// events that carry its chunks. Whoever drops the last reference frees it.
struct SerialBuffer
{
    unsigned char* data;
    unsigned capacity;
    unsigned length;
    std::atomic<int> refCount;

    // A new buffer with one reference held by the caller.
    static SerialBuffer* Create(unsigned capacity);
    void AddRef();
    void Release();

private:
    explicit SerialBuffer(unsigned initialCapacity);
    ~SerialBuffer();
};

// One chunk of serial data, or an empty event with a buffer of its own. A
// clone shares the buffer; it does not copy the bytes.
class SerialPortEvent : public wxEvent
{
public:
    explicit SerialPortEvent(int id = 0);
    // An event that shares buffer (one more reference) instead of owning a new one.
    SerialPortEvent(int id, SerialBuffer* buffer);
    SerialPortEvent(const SerialPortEvent& other);
    SerialPortEvent& operator=(const SerialPortEvent&) = delete;
    ~SerialPortEvent() override;

    wxEvent* Clone() const override;

    // Replaces the event's buffer by buffer, taking one more reference to it.
    void SetBuffer(SerialBuffer* buffer);
    SerialBuffer* GetBuffer() const { return m_buffer; }
    const unsigned char* GetData() const { return m_buffer->data; }
    unsigned GetLength() const { return m_buffer->length; }

    void SetText(const wxString& text) { m_text = text; }
    const wxString& GetText() const { return m_text; }

private:
    wxString m_text;          // "w=<written>,r=<read>" in a data event
    SerialBuffer* m_buffer;   // one reference held

    wxDECLARE_DYNAMIC_CLASS(SerialPortEvent);
};

wxDECLARE_EVENT(EVT_SERIAL_PORT, SerialPortEvent);
// Queued output has been written to the port: GetInt() bytes; then
// GetExtraLong() bytes queued behind them were dropped, never to be written,
// because the port refused output or a purge discarded them. Either way,
// room is back.
wxDECLARE_EVENT(EVT_SERIAL_WRITTEN, wxThreadEvent);
// The open port stopped working (an unplugged adapter, a hung-up terminal);
// sent once per opening.
wxDECLARE_EVENT(EVT_SERIAL_LOST, wxThreadEvent);

typedef void (wxEvtHandler::*SerialPortEventFunction)(SerialPortEvent&);
#define SerialPortEventHandler(func) wxEVENT_HANDLER_CAST(SerialPortEventFunction, func)
// Event table entry for the data events of the handler with the given id.
#define EVT_SERIAL_PORT_DATA(id, func) wx__DECLARE_EVT1(EVT_SERIAL_PORT, id, SerialPortEventHandler(func))
