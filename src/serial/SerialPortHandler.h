#pragma once

#include "ByteQueue.h"
#include "ProcessBase.h"
#include "SFile.h"
#include "SerialPortEvent.h"
#include "WorkerGuest.h"

#include "log/LogThrottle.h"

#include <wx/arrstr.h>
#include <wx/event.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

struct DiscoveredPort;

// The serial side of one bridge: owns one serial device, reads it on a worker
// thread and hands what arrives, in chunks of at most the chunk size, to its
// target as SerialPortEvents; writes on behalf of the bridge.
//
// Delivery: a chunk goes out when it is full, when a wait of about two
// character times finds no further byte (where the device does not wait for
// gaps, as soon as no further byte is waiting), or 1 ms after its first byte. The target processes the event
// synchronously on the worker thread; the bytes are valid only until that
// returns, and the target must not wait for the owner's thread meanwhile
// (Close waits for the worker).
//
// Output: QueueWrite writes what the port takes at once and hands the rest to
// the worker, which writes it as the port takes it. Each write is reported to
// the target as EVT_SERIAL_WRITTEN, on the worker thread or, for what
// QueueWrite wrote itself, on the owner's thread inside QueueWrite.
//
// Controls: the line (baud rate and frame), flow control, DTR, RTS and break
// can be changed while the worker runs, and the queues purged. The line,
// flow control and a purge park the worker for the change, as Open does;
// the others need not. What each control asks for is kept and applied again
// by every later Open, so a port reopened after a loss comes back as it was
// set (Open's baud rate replaces the one asked for here: pass GetBaud() to
// keep it); a break is not kept. While the port is closed or lost a change
// is only kept.
//
// Threads: construction, Open, Close and destruction on the owner's thread;
// Write, QueueWrite and the controls on one thread at a time, the owner's
// or, for its guest, the worker (whose own pause for a control costs no
// wait); the counters, GetWriteRoom and Wake from any.
class SerialPortHandler : public ProcessBase, public wxEvtHandler
{
public:
    // chunkSize: the size at which a chunk is delivered at once. id: the id
    // the data events carry, -1 for a fresh one. target: processes the data
    // events, not owned; null means this handler, which ignores them.
    SerialPortHandler(int chunkSize, int id, wxEvtHandler* target);
    ~SerialPortHandler() override;

    // Opens the port (closing it first if open) with the handler's line
    // settings, resets the counters and lets the worker run, starting it or
    // waking it from a Close. What it opens, and a port that cannot be
    // opened, are logged unless quietly is set (a caller that tries again
    // and again keeps its own log); the worker then idles and Write fails.
    // True when the port is open.
    bool Open(const wxString& portName, int baud, bool quietly = false);

    // The frame of each character from the next Open on: 7 or 8 data bits,
    // parity 'N', 'E' or 'O', 1 or 2 stop bits; other values fall back to
    // 8, 'N' and the previous stop bits. 8N1 until set.
    void SetLineFormat(std::uint8_t dataBits, char parity, std::uint8_t stopBits);

    // Parks the worker, then closes the port. Does nothing when not open.
    void Close();

    // Writes the bytes to the port, waiting up to a second for it to take
    // them. True when at least one byte was written; count is added to the
    // written counter whatever the outcome.
    bool Write(const void* bytes, unsigned count);

    // The controls. Each is logged and false when the working port refuses
    // it, which leaves what was in force; true when the port took it, or
    // when there is no working port and the change is kept for the next
    // Open. The line, flow control and Purge park the worker meanwhile: the
    // target must not keep the worker waiting for this thread then.
    //
    // Whose requests the controls carry out from now on, such as "client
    // 10.0.0.5:51234"; empty for the owner's own. Refusals are logged at most
    // LogThrottle::kLinesPerWindow times a minute per requester and kind, then
    // counted, so that a client that repeats a request the port refuses
    // cannot fill the log.
    void SetRequester(const wxString& requester) { m_requester = requester; }

    // The ranges of SFile::SetLine; a line outside them is refused at once.
    bool SetLine(const SFile::LineSettings& wanted);
    bool SetFlowControl(const SFile::FlowControl& wanted);
    bool SetDtr(bool on);
    bool SetRts(bool on);
    // False, and nothing kept, without a working port.
    bool SetBreak(bool on);
    // Discards what waits in the port's queues. Output also takes what this
    // handler has queued and not yet written: that goes out as a report of
    // EVT_SERIAL_WRITTEN (the bytes written before, then those dropped),
    // so that whoever counts queued bytes can forget the dropped ones. The
    // handler's queue is dropped even when the port refuses; false when it
    // is not open.
    bool Purge(SFile::Queues which);

    // What is in force on the working port, read back from it after each
    // change (a device may keep other values than those asked for);
    // without a working port, what the next Open will ask for. Cheap.
    SFile::LineSettings GetLine() const;
    SFile::FlowControl GetFlowControl() const;
    SFile::ControlLines GetControlLines() const;
    // Reads the modem's input lines now; false without a working port or
    // when the device cannot tell (a pseudo-terminal has none).
    bool GetModemLines(SFile::ModemLines& lines);

    // Lets guest share the worker (see WorkerGuest), where the platform
    // can (SFile::WaitsForOthers); before Open, or null to end it then.
    void SetGuest(WorkerGuest* guest) { m_guest = guest; }
    // Makes the worker's wait end at once, so that its guest is asked again.
    // Any thread.
    void Wake();

    // Queues as many of the bytes as there is room for and returns how many
    // it took, without waiting; nothing while the port is closed. The taken
    // bytes count as written.
    unsigned QueueWrite(const void* bytes, unsigned count);
    // Room left in the output queue, in bytes.
    unsigned GetWriteRoom() const;
    static constexpr unsigned kWriteQueueBytes = 64 * 1024;

    bool IsOpen() const;
    // Whether the open port has stopped working since it was opened.
    bool IsLost() const { return m_lost.load(); }
    // Why the last Open failed, such as "Permission denied".
    wxString GetOpenError() const;
    const wxString& GetPortName() const { return m_portName; }
    int GetBaud() const { return m_baud; }
    int GetEventId() const { return m_eventId; }
    int GetWritten() const { return m_written.load(std::memory_order_relaxed); }
    int GetRead() const { return m_read.load(std::memory_order_relaxed); }

    // The serial ports present, in the platform's order.
    static wxArrayString GetPortList();
    // The same, each with its stable names and what lets a person recognise
    // it, where the system tells.
    static std::vector<DiscoveredPort> GetPorts();
    // The port a new bridge starts with: the machine's first serial port.
    static wxString DefaultPortName();
    // Whether the named port's device is there (it may still refuse to open).
    static bool IsPortPresent(const wxString& portName);
    // The same text for every name of one device: a link such as
    // /dev/serial/by-id/... and the node it leads to give the same.
    static wxString PortIdentity(const wxString& portName);
    // The name a bridge stores for a port the user typed or picked. On
    // Windows, COMn in any case and its \\.\COMn form give COMn, and a name
    // the registry lists is taken as listed; on POSIX the name stays as
    // typed. False, with stored untouched and the reason in words, for a
    // name that cannot be a serial port here.
    static bool StoredPortName(const wxString& typed, wxString& stored, wxString& reason);
    // The baud rates offered to the user, ascending, as decimal texts.
    static wxArrayString GetBaudList();
    // rate when it is one of GetBaudList's rates, else 9600.
    static int CheckBaud(int rate);
    // How long the worker waits for the next byte before it delivers a
    // pending chunk: about two character times, within [50 us, 1 ms].
    static unsigned GapWaitMicros(int baud);

    bool run() override;
    void reset() override {}

protected:
    void interrupt() override;

private:
    // On the worker: waits at most timeoutMicros for the port (and the
    // guest's others), and delivers what it reads.
    void ReadPort(unsigned timeoutMicros);
    void Deliver();
    // On the worker: the port failed; tell the target once. Later passes
    // wait without it.
    void PortFailed();
    void WriteQueued();
    // written bytes went to the port, then dropped queued ones were discarded.
    void ReportWritten(unsigned written, unsigned dropped = 0);
    // Empties the output queue; returns how many bytes it held.
    unsigned DropOutput();
    // Open and working: neither closed nor lost.
    bool IsWorking() const;
    // Applies the controls kept from before to a port just opened.
    void ApplyKeptControls(bool quietly);
    // Logs why the device refused what, and returns false.
    bool Refused(const char* what);
    // Whether a refusal of this kind may be logged now for the requester.
    bool MayLogRefusal(const wxString& kind);

    std::unique_ptr<SFile> m_device;
    wxString m_portName;
    int m_baud;
    std::uint8_t m_dataBits;
    char m_parity;
    std::uint8_t m_stopBits;         // SFile::kOneAndHalfStopBits for 1.5
    SFile::FlowControl m_flow;       // kept for the next Open
    bool m_dtr;                      // kept for the next Open
    bool m_rts;                      // kept for the next Open
    int m_eventId;
    wxEvtHandler* m_target;
    unsigned m_chunkSize;
    unsigned m_gapWaitMicros;         // set by Open while the worker is parked
    std::atomic<int> m_written;       // written by the owner's thread
    std::atomic<int> m_read;          // written by the worker
    SerialBuffer* m_chunk;            // the worker's; one reference held

    mutable std::mutex m_outputMutex; // protects m_output
    ByteQueue m_output;               // queued by the owner, not yet taken by the worker
    ByteQueue m_staged;               // the worker's: taken from m_output, not yet written
    std::atomic<unsigned> m_unwritten; // bytes in m_output and m_staged; reset only under m_outputMutex
    unsigned m_unreported;             // the worker's: written, not yet reported
    std::atomic<bool> m_lost;          // set by the worker, reset by Open
    WorkerGuest* m_guest;              // not owned; set before the worker runs
    std::vector<SFile::OtherWait> m_others; // the worker's: what its guest watches
    wxString m_requester;              // whose requests the controls carry out
    LogThrottle m_refusals;
};
