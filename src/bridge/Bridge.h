#pragma once

#include "BridgeClient.h"
#include "IpFilter.h"
#include "Observable.h"

#include "serial/SFile.h"
#include "log/LogThrottle.h"

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
// addresses on it. The server listens on one local address, or on all.
//
// Relay: the serial worker hands each chunk over on its own thread; the
// bridge copies it and the GUI thread writes it to the clients. A client's
// socket is never waited for: what it cannot take yet waits in a backlog of
// its own, and a client whose backlog would pass kClientBacklogLimit is
// disconnected. The writer's input is read only as fast as the serial port
// takes it, so TCP flow control holds the writer back and nothing is lost.
//
// Ports that fail are tried again: a serial port that is missing, refuses or
// is lost, a TCP port that another program holds, and a listen address that
// is not one of this machine's (its interface may come up later); every
// second at first and less often the longer they refuse, so that the bridge
// works as soon as they do. Meanwhile the writer's input is read and dropped.
//
// The writer that hangs up while held back by a full serial port is noticed
// at once: everything it sent is still written, in order, but the next
// client to connect becomes the writer, read once that is done.
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
    Bridge(const wxString& comPort, int comBaud, wxUint16 tcpPort, long long id);
    // A copy of source's settings and IP filters (see Assign); the defaults
    // without a source.
    explicit Bridge(const Bridge* source = nullptr);
    // Releases a running bridge without notifying anyone; owners call Stop.
    ~Bridge() override;

    // Copies the port name, baud rate, character frame, listen address, store id and IP filters of source
    // and empties the refused list; without a source, resets the settings
    // to the defaults. Row, counters and a running bridge's sockets stay.
    void Assign(const Bridge* source);

    // Whether source holds the same settings and allow-list, so that a
    // running bridge need not restart to take them.
    bool HasSettingsOf(const Bridge& source) const;

    // Listens on the TCP port and opens the serial port. A port that cannot
    // be opened is logged, shown by GetProblem() and tried again; the bridge
    // runs meanwhile. A bridge whose IP filters could not be read, whose
    // TCP port is outside 1 to 65535, or whose listen address is not an IPv4
    // address, opens nothing.
    void Start();
    // Disconnects every client, frees both ports, resets the counters and
    // notifies the client count, read and write counters (each 0) in that
    // order. The settings and IP filters stay.
    void Stop();

    // The store's id, -1 while not stored; a row id, which may pass 32 bits.
    long long GetId() const { return m_id; }
    void SetId(long long id) { m_id = id; }
    int GetRow() const { return m_row; }
    void SetRow(int row) { m_row = row; }
    const wxString& GetComPort() const { return m_comPort; }
    void SetComPort(const wxString& port) { m_comPort = port; }
    int GetComBaud() const { return m_comBaud; }
    void SetComBaud(int baud) { m_comBaud = baud; }
    wxUint16 GetTcpPort() const { return m_tcpPort; }
    void SetTcpPort(wxUint16 port)
    {
        m_tcpPort = port;
        m_storedTcpPort.clear();
    }
    // The store held no TCP port from 1 to 65535, but this text ("0",
    // "NULL", "70000"): the bridge will not listen, and says why, until a
    // port is set. Kept by Assign.
    void SetInvalidTcpPort(const wxString& stored)
    {
        m_tcpPort = 0;
        m_storedTcpPort = stored;
    }
    // What the store held instead of a TCP port; empty when it held one.
    const wxString& GetStoredTcpPort() const { return m_storedTcpPort; }
    // The store could not read this bridge's IP filters: started, it would
    // admit every address, so it opens nothing. Kept by Assign.
    void SetAllowListUnreadable() { m_allowListUnreadable = true; }
    // The serial character frame: 7 or 8 data bits, parity 'N', 'E' or 'O',
    // 1 or 2 stop bits; 8N1 by default.
    int GetDataBits() const { return m_dataBits; }
    void SetDataBits(int bits) { m_dataBits = bits; }
    char GetParity() const { return m_parity; }
    void SetParity(char parity) { m_parity = parity; }
    int GetStopBits() const { return m_stopBits; }
    void SetStopBits(int bits) { m_stopBits = bits; }
    // The local address the TCP server listens on, such as 127.0.0.1 for a
    // bridge reached only through a tunnel; empty for every local address.
    const wxString& GetListenAddress() const { return m_listenAddress; }
    void SetListenAddress(const wxString& address) { m_listenAddress = address; }
    // How clients speak: kRawProtocol, bytes as they are (the default), or
    // kRfc2217Protocol, Telnet with remote control of the serial port. Any
    // other stored text keeps the bridge from starting, and says so.
    static const char kRawProtocol[];
    static const char kRfc2217Protocol[];
    const wxString& GetProtocol() const { return m_protocol; }
    void SetProtocol(const wxString& protocol)
    {
        m_protocol = protocol;
        m_speaksRfc2217 = protocol == kRfc2217Protocol;
    }
    // Asked for every relayed chunk, so it is not a text comparison.
    bool SpeaksRfc2217() const { return m_speaksRfc2217; }
    // How often the modem lines are looked at for RFC 2217 clients.
    static constexpr int kModemPollMs = 500;

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
    // Why a port of the running bridge is not open, or what keeps it from
    // starting; empty when it works. Observers hear of changes as
    // UPDATE_PROBLEM.
    wxString GetProblem() const;
    // The same in a few words, such as "waiting for /dev/ttyUSB0" or
    // "TCP port 4001 in use"; "running" when it works, "stopped" before Start.
    wxString GetState() const;

    // Clients connected, not counting a writer that has hung up while what it
    // sent is still being written.
    int GetClientCount() const;
    long long GetReadBytes() const { return m_readBytes; }
    long long GetWriteBytes() const;
    // Per client "IP", "ReadedBytes", "WritedBytes" and "Writer" (a bool).
    void GetClientsInfo(ClientInfoList& list) const;
    wxString GetClientIp(const BridgeClient& client) const;

private:
    struct WriteCredit
    {
        int clientId;
        unsigned count;
    };

    // What keeps one side of the bridge from working: in full, for a status
    // line, and in a few words, for a list.
    struct Problem
    {
        wxString full;
        wxString brief;
    };

    void NotifyProblem();
    // Why the settings allow no listening at all; empty when they allow it.
    Problem UnusableListenSettings() const;
    bool Listen();
    void OnListenTimer(wxTimerEvent& event);
    void OnSocketConnection(wxSocketEvent& event);
    void AcceptClient();
    void PauseAccepting(int error);
    void ResumeAccepting();
    void OnAcceptTimer(wxTimerEvent& event);
    void Admit(wxSocketBase* socket);
    bool IsClientAllowed(wxSocketBase* socket);
    // A client's socket can take more or has something to read; or its peer
    // has closed, as far as the system can tell.
    void OnClientReady(int id, bool hungUp);
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
    bool OpenSerial(bool quietly);
    Problem SerialOpenProblem() const;
    void ReleaseSerialPort();

    // Sends bytes, of which counted were serial bytes (the rest protocol).
    bool SendToClient(BridgeClient& client, const unsigned char* bytes, std::size_t count, std::size_t counted);
    // Reads an RFC 2217 client's input, at most limit bytes, and answers it;
    // the writer's data goes to the serial port. -1 when it has gone.
    long ReadTelnet(BridgeClient& client, unsigned limit);
    void OnModemTimer(wxTimerEvent& event);
    // Puts the stored settings back on the serial port once RFC 2217 clients
    // that changed them have all left.
    void RestoreStoredSettings();
    // The speed and frame the bridge opens its serial port with.
    SFile::LineSettings StoredLine() const;
    // Keeps device bytes for a Telnet client that has not settled binary
    // yet; false when that would pass the backlog's limit.
    bool HoldForBinary(BridgeClient& client, const std::string& bytes);
    // Sends what was held, in the form the client now takes.
    bool ReleaseHeld(BridgeClient& client);
    bool FlushBacklog(BridgeClient& client);
    void LogLostClient(const BridgeClient& client);
    // These three return how much they read, or -1 when the client has gone.
    long TakeInput(BridgeClient& client);
    long ReadFromWriter(BridgeClient& client);
    long Discard(BridgeClient& client);
    // Waits for what the client's socket is needed for now; false when it cannot.
    bool WatchClient(BridgeClient& client);
    // Whether a writer's input waits: for room in the serial output, or for
    // an earlier writer that hung up to be read to its end.
    bool IsHeldBack(const BridgeClient& client);
    // Reads the writer again after it waited for room in the serial output.
    void ResumeWriter();
    void OnHangUpTimer(wxTimerEvent& event);
    // Counts a client whose peer has closed as gone; a held-back writer's
    // input is still read, as the serial port takes it.
    void NoteHangUp(BridgeClient& client);
    void RemoveClient(int id);
    void FreeRetiredWatches();
    BridgeClient* FindWriter();
    void ReleaseRun();

    int m_row;
    wxString m_comPort;
    int m_comBaud;
    wxUint16 m_tcpPort;
    int m_dataBits;
    char m_parity;
    int m_stopBits;
    wxString m_listenAddress;
    wxString m_protocol;
    bool m_speaksRfc2217 = false;
    long long m_readBytes;
    long long m_id;
    std::vector<IpFilter> m_ipFilters;
    wxArrayString m_refusedIps;
    wxString m_storedTcpPort;    // what the store held instead of a TCP port
    bool m_allowListUnreadable;

    bool m_running;
    Problem m_listenProblem;  // the TCP port does not listen
    Problem m_serialProblem;  // the serial port is not open, or was lost
    bool m_serialLost;        // it stopped working after it had opened
    wxTimer m_reopenTimer;    // runs while the serial port is waited for
    wxTimer m_listenTimer;    // runs while the TCP port is waited for
    wxTimer m_acceptTimer;    // runs while accepting pauses
    wxTimer m_hangUpTimer;    // runs while a writer's input is held back
    wxTimer m_modemTimer;     // runs while RFC 2217 clients are connected
    bool m_acceptPaused;      // accept failed; the server is not listened to
    LogThrottle m_logThrottle;
    wxSocketServer* m_server; // owned; released with Destroy()
    std::map<int, std::unique_ptr<BridgeClient>> m_clients;
    // Watches of removed clients: one may still be on the stack that removed
    // its client, so they go only when no event is being dispatched.
    std::vector<std::unique_ptr<client_io::Watch>> m_retiredWatches;
    std::deque<WriteCredit> m_credits; // queued serial output, oldest first, by client
    bool m_writerStalled;              // the writer waits for room in the serial output

    // The serial worker's events land here, not on the bridge: its bindings
    // are made once, before any worker runs, so the worker only reads them.
    wxEvtHandler m_serialTarget;
    std::unique_ptr<SerialPortHandler> m_serialHandler;
    // The serial port as RFC 2217 sessions see and change it.
    class SerialControl;
    std::unique_ptr<SerialControl> m_serialControl;
    bool m_portChangedByClient = false; // to be restored when the last client leaves

    std::mutex m_inboxMutex;               // protects the three below
    std::vector<std::string> m_inbox;      // chunks copied on the worker, not yet relayed
    std::size_t m_inboxBytes = 0;          // what m_inbox holds
    bool m_inboxBounded = true;            // false while this thread waits for the worker
    std::condition_variable m_inboxDrained; // a worker held back by a full inbox waits here
    std::atomic<long long> m_writtenPending; // serial output written, not yet credited
    std::atomic<long long> m_droppedPending; // queued serial output dropped after that, not yet forgotten
    std::atomic<bool> m_writtenQueued;     // an OnOutputWritten call is on its way

    wxDECLARE_EVENT_TABLE();
};
