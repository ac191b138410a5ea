#pragma once

#include "BridgeProblem.h"

#include "serial/SFile.h"
#include "serial/WorkerGuest.h"

#include <wx/event.h>
#include <wx/timer.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class SerialPortEvent;
class SerialPortHandler;
class wxThreadEvent;

// What a serial link tells its bridge: on the thread the bridge relays on
// (see SerialLink), never from inside one of the link's own calls; the
// problem on the GUI thread.
class SerialLinkEvents
{
public:
    virtual ~SerialLinkEvents() = default;
    // Where the worker relays: what it is to watch besides the port, and
    // how long it may wait at most (SFile::kForever for no limit); then the
    // same others, each marked ready or not, after the wait.
    virtual unsigned OnRelayWait(std::vector<SFile::OtherWait>& others) = 0;
    virtual void OnRelayWoken(const std::vector<SFile::OtherWait>& others) = 0;
    // What the device sent, chunk by chunk as the worker read it, in order.
    virtual void OnSerialChunks(const std::vector<std::string>& chunks) = 0;
    // Of the bytes that each client handed to Write, so many are written to
    // the port: all that one delivery settled, at once, so that whoever reads
    // the counts meanwhile finds them told too.
    struct WriteCredit
    {
        int clientId;
        unsigned count;
    };
    virtual void OnSerialWritten(const std::vector<WriteCredit>& credits) = 0;
    // The port may take output again: it wrote some, opened or was lost
    // (a writer's input is then dropped until it is back).
    virtual void OnSerialReady() = 0;
    // Problem() changed.
    virtual void OnSerialProblem() = 0;
};

// The serial side of a bridge: its port handler, the port's opening and the
// retries of a port that is missing, refuses or was lost, the registry of
// the ports this program's bridges hold, and the hand-over of what the
// handler's worker thread reads and writes.
//
// Threads: where the platform lets the worker wait for the clients' sockets
// beside the port (RelaysOnWorker), the bridge relays on the worker: the
// device's bytes, the write reports and the tasks posted (Post) reach it
// there, without a hand-over, and the clients are served between two reads.
// Elsewhere it relays on the GUI thread, and those reach it through the
// event loop. Start, Stop, the opening and retries, and Problem belong to
// the GUI thread; Write and the controls to the relay's thread.
class SerialLink : public wxEvtHandler, private WorkerGuest
{
public:
    explicit SerialLink(SerialLinkEvents& events);
    ~SerialLink() override;

    // Opens portName with line, for the bridge with this id. A port that
    // cannot be opened is logged, shown by Problem() and tried again; false
    // then.
    bool Start(const wxString& portName, const SFile::LineSettings& line, long long bridgeId);
    // Closes the port and forgets what was queued and handed over; nothing
    // more arrives. Does nothing before Start.
    void Stop();

    // Whether the bridge relays on the serial worker.
    bool RelaysOnWorker() const { return m_direct; }
    // Runs task on the relay's thread soon, after what it is doing now;
    // nothing once stopped. Any thread.
    void Post(std::function<void()> task);
    // Makes a worker that relays ask its bridge again what to wait for.
    void Wake();

    // Started, whether or not the port is open.
    bool IsStarted() const { return m_handler != nullptr; }
    // Open, and working since.
    bool IsOpen() const;
    // Why the port is not open; empty when it is, or before Start.
    const BridgeProblem& Problem() const { return m_problem; }

    // Room in the port's output, in bytes.
    unsigned WriteRoom() const;
    // Queues bytes of the client clientId for the port, at most WriteRoom();
    // OnSerialWritten says when they are written. Nothing without an open port.
    void Write(int clientId, const unsigned char* bytes, unsigned count);

    // The port's controls, as the handler has them (see SerialPortHandler):
    // what is in force, and changes; without a port, what the next opening
    // asks for. Those that park the worker keep it from waiting for this
    // thread meanwhile.
    SFile::LineSettings GetLine() const;
    SFile::FlowControl GetFlowControl() const;
    SFile::ControlLines GetControlLines() const;
    bool GetModemLines(SFile::ModemLines& lines);
    bool SetLine(const SFile::LineSettings& line);
    bool SetFlowControl(const SFile::FlowControl& flow);
    bool SetDtr(bool on);
    bool SetRts(bool on);
    bool SetBreak(bool on);
    bool Purge(SFile::Queues which);
    // Whose requests the controls carry out, for the log; empty for the bridge's own.
    void SetRequester(const wxString& requester);

private:
    // While this thread waits for the worker (which it parks to open, close
    // or change the port), the worker must not wait for this thread to empty
    // the inbox.
    class WorkerParked
    {
    public:
        explicit WorkerParked(SerialLink& link);
        ~WorkerParked();

    private:
        SerialLink& m_link;
    };

    struct WrittenReport
    {
        unsigned written; // bytes written, then
        unsigned dropped; // queued bytes dropped behind them
    };
    using WriteCredit = SerialLinkEvents::WriteCredit;

    // The worker, relaying.
    unsigned BeforeWait(std::vector<SFile::OtherWait>& others) override;
    void AfterWait(const std::vector<SFile::OtherWait>& others) override;
    // Settles the reports and runs the tasks that wait; false when none did.
    bool CatchUp();
    void RunTasks();
    // Tells the bridge, on its relay's thread, that the port may take output.
    void SignalReady();

    // Worker thread, or this one inside a call that writes.
    void OnHandlerData(SerialPortEvent& event);
    void OnHandlerWritten(wxThreadEvent& event);
    void OnHandlerLost(wxThreadEvent& event);
    // Whether Deliver must be queued, as it is not on its way yet;
    // m_handOverMutex held.
    bool TakeDeliveryTurn();

    // This thread.
    void Deliver();
    // Adds the credits of report to written.
    void Settle(const WrittenReport& report, std::vector<WriteCredit>& written);
    void OnPortLost();
    void OnReopenTimer(wxTimerEvent& event);
    bool Open(int baud, bool quietly);
    BridgeProblem OpenProblem() const;
    void Release();
    void SetBounded(bool bounded);

    SerialLinkEvents& m_events;
    const bool m_direct; // the bridge relays on the worker
    // The handler's events land here, not on the link: its bindings are
    // made once, before any worker runs, so the worker only reads them.
    wxEvtHandler m_handlerTarget;
    std::unique_ptr<SerialPortHandler> m_handler;
    wxString m_portName;
    long long m_bridgeId = -1;
    BridgeProblem m_problem;
    bool m_lost = false;               // it stopped working after it had opened
    wxTimer m_reopenTimer;             // runs while the port is waited for

    std::mutex m_handOverMutex;              // protects the seven below
    std::deque<WriteCredit> m_credits;       // queued output, oldest first, by client
    std::vector<std::function<void()>> m_tasks; // posted, not run yet
    std::vector<std::string> m_inbox;        // chunks the worker read, not yet delivered
    std::size_t m_inboxBytes = 0;            // what m_inbox holds
    bool m_inboxBounded = true;              // false while this thread waits for the worker
    std::vector<WrittenReport> m_reports;    // writes reported, not yet settled
    bool m_deliveryQueued = false;           // a Deliver call is on its way
    std::condition_variable m_inboxDrained;  // a worker held back by a full inbox waits here
};
