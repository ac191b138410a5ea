#pragma once

#include "BridgeClient.h"
#include "IpFilter.h"
#include "Observable.h"

#include <wx/arrstr.h>
#include <wx/event.h>
#include <wx/hashmap.h>
#include <wx/socket.h>
#include <wx/timer.h>
#include <wx/variant.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class SerialPortEvent;
class SerialPortHandler;
class wxThreadEvent;

// Per connected client: "IP", "ReadedBytes" and "WritedBytes".
WX_DECLARE_STRING_HASH_MAP(wxVariant, ClientInfo);
using ClientInfoList = std::vector<ClientInfo>;

// One serial port joined to one TCP server port. Serial bytes go to every
// connected client; the bytes of the writer (the first client of an idle
// bridge) go to the serial port. A non-empty IP filter list admits only the
// addresses on it.
//
// Relay: the serial worker hands each chunk over on its own thread; the
// bridge copies it and the GUI thread writes it to the clients. A client's
// socket is never waited for: what it cannot take yet waits in a backlog of
// its own, and a client whose backlog would pass kClientBacklogLimit is
// disconnected. The writer's input is read only as fast as the serial port
// takes it, so TCP flow control holds the writer back and nothing is lost.
//
// Threads: everything here runs on the GUI thread, observers included,
// except the hand-over from the serial worker, which touches only the inbox.
class Bridge : public wxEvtHandler, public Observable
{
public:
    static constexpr std::size_t kClientBacklogLimit = 1024 * 1024;
    // The refused list keeps this many of the latest attempts.
    static constexpr std::size_t kRefusedListLimit = 1000;

    // tcpPort keeps only its low 16 bits: 70000 becomes 4464.
    Bridge(const wxString& comPort, int comBaud, wxUint16 tcpPort, int id);
    // A copy of source's settings and IP filters (see Assign); the defaults
    // without a source.
    explicit Bridge(const Bridge* source = nullptr);
    // Releases a running bridge without notifying anyone; owners call Stop.
    ~Bridge() override;

    // Copies the port name, baud rate, character frame, store id and IP filters of source
    // and empties the refused list; without a source, resets the settings
    // to the defaults. Row, counters and a running bridge's sockets stay.
    void Assign(const Bridge* source);

    // Listens on the TCP port and opens the serial port. A port that cannot
    // be opened is logged and shown by GetProblem(); the bridge still runs.
    void Start();
    // Disconnects every client, frees both ports, resets the counters and
    // notifies the client count, read and write counters (each 0) in that
    // order. The settings and IP filters stay.
    void Stop();

    int GetId() const { return m_id; }
    void SetId(int id) { m_id = id; }
    int GetRow() const { return m_row; }
    void SetRow(int row) { m_row = row; }
    const wxString& GetComPort() const { return m_comPort; }
    void SetComPort(const wxString& port) { m_comPort = port; }
    int GetComBaud() const { return m_comBaud; }
    void SetComBaud(int baud) { m_comBaud = baud; }
    wxUint16 GetTcpPort() const { return m_tcpPort; }
    void SetTcpPort(wxUint16 port) { m_tcpPort = port; }
    // The serial character frame: 7 or 8 data bits, parity 'N', 'E' or 'O',
    // 1 or 2 stop bits; 8N1 by default.
    int GetDataBits() const { return m_dataBits; }
    void SetDataBits(int bits) { m_dataBits = bits; }
    char GetParity() const { return m_parity; }
    void SetParity(char parity) { m_parity = parity; }
    int GetStopBits() const { return m_stopBits; }
    void SetStopBits(int bits) { m_stopBits = bits; }

    std::vector<IpFilter>& GetIpFilters() { return m_ipFilters; }
    const std::vector<IpFilter>& GetIpFilters() const { return m_ipFilters; }
    // Addresses refused since the last start, one per attempt, in order; the
    // latest kRefusedListLimit of them.
    const wxArrayString& GetRefusedIps() const { return m_refusedIps; }

    void AddIpFilter(const IpFilter& entry);
    // The first entry with this exact address that is not marked deleted;
    // null when there is none. Valid until the list changes.
    IpFilter* FindIpFilter(const wxString& address);
    void MarkAllIpFiltersDeleted();
    void PurgeDeletedIpFilters();

    bool IsRunning() const { return m_running; }
    // Whether Start's TCP server listens, and whether the serial port opened
    // and still works.
    bool IsListening() const { return m_server != nullptr; }
    bool IsSerialOpen() const;
    // Why a port of the running bridge did not open, or the serial port was
    // lost; empty when both work. Observers hear of changes as UPDATE_PROBLEM.
    // A lost serial port is opened again once its device is back.
    wxString GetProblem() const;

    int GetClientCount() const { return static_cast<int>(m_clients.size()); }
    long long GetReadBytes() const { return m_readBytes; }
    long long GetWriteBytes() const;
    void GetClientsInfo(ClientInfoList& list) const;
    wxString GetClientIp(const BridgeClient& client) const;

private:
    struct WriteCredit
    {
        int clientId;
        unsigned count;
    };

    class ClientWatcher;

    void OnSocketConnection(wxSocketEvent& event);
#if !wxUSE_EVENTLOOP_SOURCE
    void OnSocketData(wxSocketEvent& event);
#endif
    bool IsClientAllowed(wxSocketBase* socket);
    // A client's socket can take more or has something to read.
    void ServeClient(int id);

    // Worker thread: copy and queue to the GUI thread. A write report also
    // comes on the GUI thread, from inside QueueWrite.
    void OnSerialData(SerialPortEvent& event);
    void OnSerialWritten(wxThreadEvent& event);
    void OnSerialLost(wxThreadEvent& event);

    // GUI thread, queued from the worker.
    void RelayInbox();
    void BoundInbox(bool bounded);
    void OnOutputWritten();
    void OnPortLost();
    void OnReopenTimer(wxTimerEvent& event);

    bool SendToClient(BridgeClient& client, const unsigned char* bytes, std::size_t count);
    bool FlushBacklog(BridgeClient& client);
    // These three return false when the client has gone.
    bool TakeInput(BridgeClient& client);
    bool ReadFromWriter(BridgeClient& client);
    bool Discard(BridgeClient& client);
    // Waits for what the client's socket is needed for now; false when it cannot.
    bool WatchClient(BridgeClient& client);
    // Reads the writer again after it waited for room in the serial output.
    void ResumeWriter();
    void RemoveClient(int id);
    void FreeRetiredWatchers();
    BridgeClient* FindWriter();
    void ReleaseRun();

    int m_row;
    wxString m_comPort;
    int m_comBaud;
    wxUint16 m_tcpPort;
    int m_dataBits;
    char m_parity;
    int m_stopBits;
    long long m_readBytes;
    int m_id;
    std::vector<IpFilter> m_ipFilters;
    wxArrayString m_refusedIps;

    bool m_running;
    wxString m_problem;      // what did not open at the start
    bool m_serialLost;       // the serial port stopped working since
    wxTimer m_reopenTimer;   // runs while the lost port is waited for
    wxSocketServer* m_server; // owned; released with Destroy()
    std::map<int, std::unique_ptr<BridgeClient>> m_clients;
#if wxUSE_EVENTLOOP_SOURCE
    // Watchers of removed clients: one may still be on the stack that removed
    // its client, so they go only when no event is being dispatched.
    std::vector<std::unique_ptr<wxEventLoopSourceHandler>> m_retiredWatchers;
#endif
    std::deque<WriteCredit> m_credits; // queued serial output, oldest first, by client
    bool m_writerStalled;              // the writer waits for room in the serial output

    // The serial worker's events land here, not on the bridge: its bindings
    // are made once, before any worker runs, so the worker only reads them.
    wxEvtHandler m_serialTarget;
    std::unique_ptr<SerialPortHandler> m_serialHandler;

    std::mutex m_inboxMutex;               // protects the three below
    std::vector<std::string> m_inbox;      // chunks copied on the worker, not yet relayed
    std::size_t m_inboxBytes = 0;          // what m_inbox holds
    bool m_inboxBounded = true;            // false while this thread waits for the worker
    std::condition_variable m_inboxDrained; // a worker held back by a full inbox waits here
    std::atomic<long long> m_writtenPending; // serial output written, not yet credited
    std::atomic<bool> m_outputDropped;     // the serial port refused queued output
    std::atomic<bool> m_writtenQueued;     // an OnOutputWritten call is on its way

    wxDECLARE_EVENT_TABLE();
};
