#pragma once

#include "BridgeClient.h"
#include "BridgeListener.h"
#include "BridgeSettings.h"
#include "BridgeTrace.h"
#include "Observable.h"
#include "RelayNotices.h"
#include "RelayTimer.h"
#include "SerialLink.h"

#include "log/LogThrottle.h"

#include <wx/arrstr.h>
#include <wx/event.h>
#include <wx/hashmap.h>
#include <wx/timer.h>
#include <wx/variant.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class SerialControl;

// Per connected client: "IP", "ReadedBytes" and "WritedBytes".
WX_DECLARE_STRING_HASH_MAP(wxVariant, ClientInfo);
using ClientInfoList = std::vector<ClientInfo>;

// One serial port joined to one TCP server port. Serial bytes go to every
// connected client; the bytes of the writer (the first client of an idle
// bridge) go to the serial port. A non-empty IP filter list admits only the
// addresses on it. The server listens on one local address, or on all.
//
// A bridge is its settings (BridgeSettings) and, while it runs, its parts:
// the listener, the serial link and a table of clients. The bridge itself
// admits clients, keeps the writer rule and fans the device's bytes out.
//
// Relay: the bytes move on one thread, the relay's (see Threads), which
// writes each chunk the device sent to the clients and the writer's input
// to the device, where they are read. A client's socket is never
// waited for: what it cannot take yet waits in a backlog of its own, and a
// client whose backlog would pass kClientBacklogLimit is disconnected. The
// writer's input is read only as fast as the serial port takes it, so TCP
// flow control holds the writer back and nothing is lost.
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
// Traffic: every chunk both ways and every event (a client came, left or was
// refused, the port was lost) is told to the bridge's trace, which writes a
// file and feeds live views without ever holding the relay up.
//
// Threads: the public calls and the observers are on the GUI thread. The
// relay runs on the serial link's worker where the platform lets it wait for
// the clients' sockets beside the port (SFile::WaitsForOthers), otherwise on
// the GUI thread too. Clients are admitted on the GUI thread; the relay's
// notifications reach the observers there (RelayNotices). m_relayMutex
// guards the client table and the counters: the relay holds it while it
// works, the GUI thread while it reads them, and nobody holds it while
// waiting for the other thread.
class Bridge : public wxEvtHandler, public Observable, public BridgeSettings, private SerialLinkEvents
{
public:
    static constexpr std::size_t kClientBacklogLimit = BridgeClient::kBacklogLimit;
    // The refused list keeps this many of the latest attempts.
    static constexpr std::size_t kRefusedListLimit = 1000;
    // How often the modem lines are looked at for RFC 2217 clients.
    static constexpr int kModemPollMs = 500;

    // tcpPort keeps only its low 16 bits: 70000 becomes 4464.
    Bridge(const wxString& comPort, int comBaud, wxUint16 tcpPort, long long id);
    // A copy of source's settings and IP filters (see Assign); the defaults
    // without a source.
    explicit Bridge(const Bridge* source = nullptr);
    // Releases a running bridge without notifying anyone; owners call Stop.
    ~Bridge() override;

    // Copies the settings and IP filters of source and empties the refused
    // list; without a source, resets the settings to the defaults. Row,
    // counters and a running bridge's sockets stay.
    void Assign(const Bridge* source);

    // Listens on the TCP port and opens the serial port. A port that cannot
    // be opened is logged, shown by GetProblem() and tried again; the bridge
    // runs meanwhile. A bridge whose IP filters could not be read, whose
    // TCP port is outside 1 to 65535, or whose listen address is not an IP
    // address, opens nothing.
    void Start();
    // Disconnects every client, frees both ports, resets the counters and
    // notifies the client count, read and write counters (each 0) in that
    // order. The settings and IP filters stay.
    void Stop();

    int GetRow() const { return m_row; }
    void SetRow(int row) { m_row = row; }

    // Addresses refused since the last start, one per attempt, in order; the
    // latest kRefusedListLimit of them.
    const wxArrayString& GetRefusedIps() const { return m_refusedIps; }

    bool IsRunning() const { return m_running; }
    // Whether Start's TCP server listens, and whether the serial port opened
    // and still works.
    bool IsListening() const { return m_listener.IsListening(); }
    bool IsSerialOpen() const { return m_serial.IsOpen(); }
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
    long long GetReadBytes() const;
    long long GetWriteBytes() const;
    // Per client "IP", "ReadedBytes", "WritedBytes" and "Writer" (a bool).
    void GetClientsInfo(ClientInfoList& list) const;
    wxString GetClientIp(const BridgeClient& client) const;

    // Traces the traffic to the file at path from now on (see
    // GetTraceFile); a running bridge keeps its clients. Empty for none.
    void TraceTo(const wxString& path);
    // A live view's ring gets every chunk and event from now on, whether or
    // not the bridge runs, until it is removed.
    void AddTrafficViewer(const std::shared_ptr<TraceRing>& viewer) { m_trace.AddViewer(viewer); }
    void RemoveTrafficViewer(const std::shared_ptr<TraceRing>& viewer) { m_trace.RemoveViewer(viewer); }
    // Waits until the trace file holds everything traced so far.
    void FlushTrace() { m_trace.Flush(); }

private:
    // The serial link's news, on the relay's thread.
    unsigned OnRelayWait(std::vector<SFile::OtherWait>& others) override;
    void OnRelayWoken(const std::vector<SFile::OtherWait>& others) override;
    void OnSerialChunks(const std::vector<std::string>& chunks) override;
    void OnSerialWritten(const std::vector<WriteCredit>& credits) override;
    void OnSerialReady() override;
    void OnSerialProblem() override;
    // Traces the serial port's opening or loss, once per change.
    void TraceSerialState();
    // Opens the trace file of the settings, or closes it.
    void ApplyTraceFile();

    void NotifyProblem();
    // A change of a counter or of the client count, from the relay.
    void Notify(long long value, int kind) { m_notices.Add(value, kind); }
    // On the GUI thread: delivers the notifications that wait.
    void FlushNotices() const;
    // Clients connected, as the relay counts them.
    int CountClients() const;
    // Takes an admitted socket into the client table.
    void Adopt(wxSocketBase* socket);
    // Hands a batch of the device's bytes to one client, in the form it
    // takes (escaped for a Telnet client that takes binary); false when the
    // client cannot keep up or has gone.
    bool RelayTo(BridgeClient& client, const std::string& batch, const std::string& escaped);
    void Admit(wxSocketBase* socket);
    // A client's socket can take more or has something to read; or its peer
    // has closed, as far as the system can tell.
    void OnClientReady(int id, bool hungUp);
    void ServeClient(int id);
    // These return how much they read, or -1 when the client has gone.
    long TakeInput(BridgeClient& client);
    long ReadFromWriter(BridgeClient& client);
    long Discard(BridgeClient& client);
    // Reads an RFC 2217 client's input, at most limit bytes, and answers it;
    // the writer's data goes to the serial port.
    long ReadTelnet(BridgeClient& client, unsigned limit);
    // Watches for what the client's socket is needed for now; false when it cannot.
    bool WatchClient(BridgeClient& client);
    // Whether a writer's input waits: for room in the serial output, or for
    // an earlier writer that hung up to be read to its end.
    bool IsHeldBack(const BridgeClient& client);
    // Reads the writer again after it waited for room in the serial output.
    void ResumeWriter();
    void OnHangUpTimer();
    // Counts a client whose peer has closed as gone; a held-back writer's
    // input is still read, as the serial port takes it.
    void NoteHangUp(BridgeClient& client);
    void OnModemTimer();
    void RemoveClient(int id);
    void FreeRetiredWatches();
    // On the GUI thread: the sockets of clients that the relay closed.
    void DestroyShutSockets();
    BridgeClient* FindWriter();
    // Ends the run; deliverNotices: what the relay notified reaches the
    // observers first.
    void ReleaseRun(bool deliverNotices);

    int m_row;
    mutable std::recursive_mutex m_relayMutex; // see Threads above
    long long m_readBytes;
    wxArrayString m_refusedIps;
    bool m_running;
    BridgeProblem m_unusable; // why Start could not listen at all

    BridgeListener m_listener;
    SerialLink m_serial;
    std::unique_ptr<SerialControl> m_serialControl; // the serial port as RFC 2217 sessions see it
    std::map<int, std::unique_ptr<BridgeClient>> m_clients;
    int m_lastClientId = 0;
    std::vector<int> m_waitedClients;      // whose sockets the worker waits for, in its order
    std::vector<wxSocketBase*> m_shutSockets; // closed by the relay, for this thread to destroy
    // Watches of removed clients: one may still be on the stack that removed
    // its client, so they go only when no event is being dispatched.
    std::vector<std::unique_ptr<client_io::Watch>> m_retiredWatches;
    bool m_writerStalled;     // the writer waits for room in the serial output
    RelayTimer m_hangUpTimer; // runs while a writer's input is held back
    RelayTimer m_modemTimer;  // runs while RFC 2217 clients are connected
    mutable RelayNotices m_notices;
    LogThrottle m_logThrottle;
    BridgeTrace m_trace;
};
