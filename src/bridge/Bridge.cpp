#include "Bridge.h"

#include "ClientIo.h"
#include "InputChecks.h"
#include "ObserverBase.h"

#include "serial/SFile.h"
#include "serial/SerialPortEvent.h"
#include "serial/SerialPortHandler.h"
#include "store/Logger.h"

#include <wx/app.h>
#include <wx/thread.h>

#include <algorithm>

namespace
{
constexpr int kServerSocketId = 0;
constexpr int kSerialHandlerId = 1;
// Large enough that a fast port costs few hand-overs; the handler still
// delivers each chunk within a millisecond of its first byte.
constexpr int kChunkSize = 65536;
// How far the worker may read ahead of this thread. A port faster than the
// clients can be served waits in its own buffers and flow control, instead
// of the inbox growing without end and every client then being handed more
// at once than it may fall behind by.
constexpr std::size_t kInboxLimit = 4 * kChunkSize;
// How often a missing serial port is looked for and a taken TCP port tried,
// and how seldom at the most while they keep refusing.
constexpr int kRetryIntervalMs = 1000;
constexpr int kRetryBackOffLimitMs = 60000;
// How long accepting pauses when it fails (no descriptor left, say): the
// waiting connection keeps the server readable, which would otherwise spin.
constexpr int kAcceptPauseMs = 500;
// How often a held-back writer is asked whether it has hung up.
constexpr int kHangUpCheckMs = 250;
// How long a new Telnet client's answer to the offers of binary is waited
// for before the device's bytes go to it in the terminal form.
constexpr std::chrono::milliseconds kBinaryWait(1000);
// How much of a client's input one input event reads: each event costs the
// toolkit a few system calls, so a fast writer should bring many bytes.
constexpr unsigned kClientReadBytes = 65536;

constexpr int kDefaultComBaud = 9600;
constexpr wxUint16 kDefaultTcpPort = 4242;

// The serial ports that bridges of this process hold, by device, so that a
// bridge refused one can say which bridge has it. GUI thread only.
std::map<wxString, const Bridge*>& HeldSerialPorts()
{
    static std::map<wxString, const Bridge*> held;
    return held;
}

wxString Joined(const wxString& first, const wxString& second)
{
    if (first.empty() || second.empty())
        return first + second;
    return first + "; " + second;
}

int TimerBackOff(const wxTimer& timer)
{
    return std::min(timer.GetInterval() * 2, kRetryBackOffLimitMs);
}

wxString PeerText(wxSocketBase* socket)
{
    wxIPV4address peer;
    if (!socket->GetPeer(peer))
        return "unknown peer";
    return wxString::Format("%s:%u", peer.IPAddress(), static_cast<unsigned>(peer.Service()));
}

// What clients' input is read into. Every bridge does its socket work on
// the GUI thread, one read at a time, so they share it rather than each
// keeping 64 KiB of its own.
unsigned char* ClientReadBuffer()
{
    static unsigned char buffer[kClientReadBytes];
    return buffer;
}

} // namespace

const char Bridge::kRawProtocol[] = "raw";
const char Bridge::kRfc2217Protocol[] = "rfc2217";

// The serial port as the bridge's RFC 2217 sessions see it. Only the writer's
// session writes or changes anything; the bridge says whose bytes they are
// before it hands a session the client's input.
class Bridge::SerialControl : public Rfc2217Port
{
public:
    explicit SerialControl(Bridge& bridge) : m_bridge(bridge) {}

    void SetClient(int id) { m_clientId = id; }

    void Write(const unsigned char* bytes, std::size_t count) override
    {
        // Without a port the writer's bytes are dropped, as a raw writer's are.
        if (count == 0 || !m_bridge.IsSerialOpen())
            return;
        // The room was there for the undecoded input, which is never shorter.
        m_bridge.m_credits.push_back({m_clientId, static_cast<unsigned>(count)});
        m_bridge.m_serialHandler->QueueWrite(bytes, static_cast<unsigned>(count));
    }

    std::uint32_t Get(Setting setting) override
    {
        SerialPortHandler* handler = m_bridge.m_serialHandler.get();
        SFile::LineSettings line = m_bridge.StoredLine();
        SFile::FlowControl flow;
        SFile::ControlLines lines;
        if (handler)
        {
            line = handler->GetLine();
            flow = handler->GetFlowControl();
            lines = handler->GetControlLines();
        }
        switch (setting)
        {
        case BaudRate: return static_cast<std::uint32_t>(line.baud);
        case DataSize: return line.dataBits;
        case Parity: return ParityCode(line.parity);
        case StopSize: return line.stopBits;
        case OutboundFlow: return flow.hardware ? kFlowHardware : flow.software ? kFlowXonXoff : kFlowNone;
        case InboundFlow: return flow.hardware ? kInFlowHardware : flow.software ? kInFlowXonXoff : kInFlowNone;
        case Break: return lines.brk == SFile::Signal::On ? 1 : 0;
        // A device without modem lines (a pseudo-terminal) contradicts
        // nothing: the client is told what it asked for last.
        case Dtr: return lines.dtr == SFile::Signal::Unknown ? m_dtr : lines.dtr == SFile::Signal::On ? 1 : 0;
        case Rts: return lines.rts == SFile::Signal::Unknown ? m_rts : lines.rts == SFile::Signal::On ? 1 : 0;
        }
        return 0;
    }

    std::uint32_t Set(Setting setting, std::uint32_t value) override
    {
        SerialPortHandler* handler = m_bridge.m_serialHandler.get();
        if (!handler)
            return Get(setting);
        m_bridge.m_portChangedByClient = true;
        switch (setting)
        {
        case BaudRate:
        case DataSize:
        case Parity:
        case StopSize:
        {
            SFile::LineSettings line = handler->GetLine();
            if (setting == BaudRate)
                line.baud = static_cast<int>(value);
            else if (setting == DataSize)
                line.dataBits = value;
            else if (setting == Parity)
                line.parity = "?NOEMS"[value < 6 ? value : 0];
            else
                line.stopBits = value;
            // The worker is parked for the change: it must not wait for the inbox.
            m_bridge.BoundInbox(false);
            handler->SetLine(line);
            m_bridge.BoundInbox(true);
            break;
        }
        case OutboundFlow:
        case InboundFlow:
        {
            SFile::FlowControl flow;
            flow.hardware = value == kFlowHardware || value == kInFlowHardware;
            flow.software = value == kFlowXonXoff || value == kInFlowXonXoff;
            const bool supported = flow.hardware || flow.software || value == kFlowNone || value == kInFlowNone;
            if (supported)
            {
                m_bridge.BoundInbox(false);
                handler->SetFlowControl(flow);
                m_bridge.BoundInbox(true);
            }
            break;
        }
        case Break: handler->SetBreak(value != 0); break;
        case Dtr:
            m_dtr = value;
            handler->SetDtr(value != 0);
            break;
        case Rts:
            m_rts = value;
            handler->SetRts(value != 0);
            break;
        }
        return Get(setting);
    }

    void Purge(bool received, bool toSend) override
    {
        SerialPortHandler* handler = m_bridge.m_serialHandler.get();
        if (!handler || (!received && !toSend))
            return;
        const SFile::Queues which = received && toSend ? SFile::Queues::Both
                                    : received         ? SFile::Queues::Input
                                                       : SFile::Queues::Output;
        m_bridge.BoundInbox(false);
        handler->Purge(which);
        m_bridge.BoundInbox(true);
    }

    std::uint8_t ModemLines() override
    {
        SFile::ModemLines lines;
        if (!m_bridge.m_serialHandler || !m_bridge.m_serialHandler->GetModemLines(lines))
            return 0;
        return static_cast<std::uint8_t>((lines.cts ? kCts : 0) | (lines.dsr ? kDsr : 0) | (lines.ri ? kRi : 0) |
                                         (lines.dcd ? kDcd : 0));
    }

    // As a port is opened: DTR and RTS off.
    void Reset() { m_dtr = m_rts = 0; }

private:
    static std::uint32_t ParityCode(char parity)
    {
        switch (parity)
        {
        case 'O': return kParityOdd;
        case 'E': return kParityEven;
        case 'M': return kParityMark;
        case 'S': return kParitySpace;
        default: return kParityNone;
        }
    }

    Bridge& m_bridge;
    int m_clientId = 0;
    std::uint32_t m_dtr = 0;
    std::uint32_t m_rts = 0;
};

wxBEGIN_EVENT_TABLE(Bridge, wxEvtHandler)
    EVT_SOCKET(kServerSocketId, Bridge::OnSocketConnection)
wxEND_EVENT_TABLE()

Bridge::Bridge(const wxString& comPort, int comBaud, wxUint16 tcpPort, long long id)
    : m_row(-1),
      m_comPort(comPort),
      m_comBaud(comBaud),
      m_tcpPort(tcpPort),
      m_dataBits(SFile::kDefaultDataBits),
      m_parity(SFile::kDefaultParity),
      m_stopBits(SFile::kDefaultStopBits),
      m_protocol(kRawProtocol),
      m_readBytes(0),
      m_id(id),
      m_allowListUnreadable(false),
      m_running(false),
      m_serialLost(false),
      m_reopenTimer(this),
      m_listenTimer(this),
      m_acceptTimer(this),
      m_hangUpTimer(this),
      m_modemTimer(this),
      m_acceptPaused(false),
      m_server(nullptr),
      m_writerStalled(false),
      m_writtenPending(0),
      m_droppedPending(0),
      m_writtenQueued(false)
{
    m_serialTarget.Bind(EVT_SERIAL_PORT, &Bridge::OnSerialData, this, kSerialHandlerId);
    m_serialTarget.Bind(EVT_SERIAL_WRITTEN, &Bridge::OnSerialWritten, this, kSerialHandlerId);
    m_serialTarget.Bind(EVT_SERIAL_LOST, &Bridge::OnSerialLost, this, kSerialHandlerId);
    Bind(wxEVT_TIMER, &Bridge::OnReopenTimer, this, m_reopenTimer.GetId());
    Bind(wxEVT_TIMER, &Bridge::OnListenTimer, this, m_listenTimer.GetId());
    Bind(wxEVT_TIMER, &Bridge::OnAcceptTimer, this, m_acceptTimer.GetId());
    Bind(wxEVT_TIMER, &Bridge::OnHangUpTimer, this, m_hangUpTimer.GetId());
    Bind(wxEVT_TIMER, &Bridge::OnModemTimer, this, m_modemTimer.GetId());
    m_serialControl = std::make_unique<SerialControl>(*this);
}

Bridge::Bridge(const Bridge* source)
    : Bridge(SerialPortHandler::DefaultPortName(), kDefaultComBaud, kDefaultTcpPort, -1)
{
    Assign(source);
}

Bridge::~Bridge()
{
    ReleaseRun();
}

void Bridge::Assign(const Bridge* source)
{
    if (!source)
    {
        m_comPort = SerialPortHandler::DefaultPortName();
        m_comBaud = kDefaultComBaud;
        SetTcpPort(kDefaultTcpPort);
        m_dataBits = SFile::kDefaultDataBits;
        m_parity = SFile::kDefaultParity;
        m_stopBits = SFile::kDefaultStopBits;
        m_listenAddress.clear();
        SetProtocol(kRawProtocol);
        m_id = -1;
        m_readBytes = 0;
        return;
    }
    m_comPort = source->m_comPort;
    m_comBaud = source->m_comBaud;
    m_tcpPort = source->m_tcpPort;
    m_storedTcpPort = source->m_storedTcpPort;
    m_dataBits = source->m_dataBits;
    m_parity = source->m_parity;
    m_stopBits = source->m_stopBits;
    m_listenAddress = source->m_listenAddress;
    SetProtocol(source->m_protocol);
    m_id = source->m_id;
    m_ipFilters = source->m_ipFilters;
    m_allowListUnreadable = source->m_allowListUnreadable;
    m_refusedIps.Clear();
}

bool Bridge::HasSettingsOf(const Bridge& source) const
{
    const auto addresses = [](const Bridge& bridge) {
        std::vector<wxString> admitted;
        for (const IpFilter& entry : bridge.m_ipFilters)
        {
            if (entry.state != IPF_DELETED)
                admitted.push_back(entry.ip_address);
        }
        std::sort(admitted.begin(), admitted.end());
        return admitted;
    };
    return m_comPort == source.m_comPort && m_comBaud == source.m_comBaud && m_tcpPort == source.m_tcpPort &&
           m_storedTcpPort == source.m_storedTcpPort && m_dataBits == source.m_dataBits &&
           m_parity == source.m_parity && m_stopBits == source.m_stopBits &&
           m_listenAddress == source.m_listenAddress && m_protocol == source.m_protocol &&
           m_allowListUnreadable == source.m_allowListUnreadable && addresses(*this) == addresses(source);
}

void Bridge::Start()
{
    if (m_running)
        return;
    m_running = true;
    if (m_allowListUnreadable)
    {
        Logger::message("Bridge::Start() - the IP filters of bridge %lld could not be read; it is not started, as it "
                        "would admit every address",
                        m_id);
        NotifyProblem();
        return;
    }

    m_listenProblem = UnusableListenSettings();
    if (!m_listenProblem.full.empty())
    {
        // Nobody could reach the serial port, so it is left to others.
        Logger::message("Bridge::Start() - %s", m_listenProblem.full);
        NotifyProblem();
        return;
    }
    if (!Listen())
    {
        Logger::message("Bridge::Start() - cannot listen on %s; it is tried again", m_listenProblem.full);
        m_listenTimer.StartOnce(kRetryIntervalMs);
    }

    m_serialHandler = std::make_unique<SerialPortHandler>(kChunkSize, kSerialHandlerId, &m_serialTarget);
    m_serialHandler->SetLineFormat(static_cast<std::uint8_t>(m_dataBits), m_parity,
                                   static_cast<std::uint8_t>(m_stopBits));
    if (!OpenSerial(false) && !m_comPort.empty())
    {
        Logger::message("Bridge::Start() - %s; it is tried again", m_serialProblem.full);
        m_reopenTimer.StartOnce(kRetryIntervalMs);
    }
    if (!GetProblem().empty())
        NotifyProblem();
}

Bridge::Problem Bridge::UnusableListenSettings() const
{
    if (m_tcpPort == 0)
    {
        const wxString stored = m_storedTcpPort.empty() ? wxString("0") : m_storedTcpPort;
        return {wxString::Format("TCP port %s is not one from 1 to 65535; nothing listens", stored),
                wxString::Format("TCP port %s out of range", stored)};
    }
    // Anything else would be taken for a host name, and looking that up can
    // hold this thread for as long as the network takes.
    if (m_protocol != kRawProtocol && m_protocol != kRfc2217Protocol)
    {
        return {wxString::Format("protocol \"%s\" is not raw or rfc2217; nothing listens", m_protocol),
                "protocol unknown"};
    }
    if (!m_listenAddress.empty() && !IsIpv4Address(m_listenAddress))
    {
        return {wxString::Format("listen address \"%s\" is not an IPv4 address; nothing listens", m_listenAddress),
                "listen address invalid"};
    }
    // Bound, it would show as running while no client could connect.
    if (IsBroadcastOrMulticast(m_listenAddress))
    {
        return {wxString::Format("listen address %s is a broadcast or multicast address, not a listen address; "
                                 "nothing listens",
                                 m_listenAddress),
                "not a listen address"};
    }
    return {};
}

bool Bridge::Listen()
{
    wxIPV4address where;
    if (m_listenAddress.empty())
        where.AnyAddress();
    else
        where.Hostname(m_listenAddress);
    where.Service(m_tcpPort);
    wxSocketServer* server = client_io::Listen(where);
    if (!server)
    {
        const unsigned port = m_tcpPort;
        const client_io::ListenFailure failure = client_io::WhyNotListening(where);
        if (failure.notLocal)
            m_listenProblem = {
                wxString::Format("TCP port %u: %s is not an address of this machine", port, m_listenAddress),
                wxString::Format("%s not on this machine", m_listenAddress)};
        else
            m_listenProblem = {wxString::Format("TCP port %u: %s", port, failure.cause),
                               failure.inUse ? wxString::Format("TCP port %u in use", port)
                                             : wxString::Format("TCP port %u: %s", port, failure.cause)};
        return false;
    }
    m_server = server;
    m_server->SetEventHandler(*this, kServerSocketId);
    m_server->SetNotify(wxSOCKET_CONNECTION_FLAG);
    m_server->Notify(true);
    m_listenProblem = {};
    return true;
}

void Bridge::OnListenTimer(wxTimerEvent&)
{
    const wxString before = m_listenProblem.full;
    if (Listen())
    {
        const wxString on = m_listenAddress.empty() ? wxString() : " of " + m_listenAddress;
        Logger::message("Bridge::OnListenTimer listening on TCP port %u%s at last", static_cast<unsigned>(m_tcpPort),
                        on);
        NotifyProblem();
        return;
    }
    if (m_listenProblem.full != before)
        NotifyProblem();
    m_listenTimer.StartOnce(TimerBackOff(m_listenTimer));
}

void Bridge::Stop()
{
    ReleaseRun();
    m_readBytes = 0;
    NotifyObservers(0, m_row, UPDATE_CLIENTS);
    NotifyObservers(0, m_row, UPDATE_READ);
    NotifyObservers(0, m_row, UPDATE_WRITE);
    m_refusedIps.Clear();
}

void Bridge::ReleaseRun()
{
    for (auto& entry : m_clients)
    {
        client_io::Stop(*entry.second->watch);
        entry.second->socket->Destroy();
    }
    m_clients.clear();
    m_retiredWatches.clear();
    if (m_server)
    {
        m_server->Destroy();
        m_server = nullptr;
    }
    if (m_serialHandler)
    {
        BoundInbox(false);
        m_serialHandler->Close();
        m_serialHandler.reset(); // joins the worker: nothing more arrives
    }
    ReleaseSerialPort();
    // Nothing the stopped run queued may reach the next one. The application
    // keeps a list of handlers with events queued; leave it too, or it will
    // ask this one for events it no longer has.
    if (wxTheApp)
        wxTheApp->RemovePendingEventHandler(this);
    DeletePendingEvents();
    {
        std::lock_guard<std::mutex> lock(m_inboxMutex);
        m_inbox.clear();
        m_inboxBytes = 0;
        m_inboxBounded = true;
    }
    m_writtenPending = 0;
    m_droppedPending = 0;
    m_writtenQueued = false;
    m_credits.clear();
    m_writerStalled = false;
    m_listenProblem = {};
    m_serialProblem = {};
    m_serialLost = false;
    m_reopenTimer.Stop();
    m_listenTimer.Stop();
    m_acceptTimer.Stop();
    m_hangUpTimer.Stop();
    m_modemTimer.Stop();
    m_portChangedByClient = false;
    m_serialControl->Reset();
    m_acceptPaused = false;
    m_running = false;
}

wxString Bridge::GetProblem() const
{
    if (!m_running)
        return wxString();
    if (m_allowListUnreadable)
        return "its IP filters could not be read from the store; not started, as it would admit every address";
    return Joined(m_listenProblem.full, m_serialProblem.full);
}

wxString Bridge::GetState() const
{
    if (!m_running)
        return "stopped";
    if (m_allowListUnreadable)
        return "allow-list could not be read";
    const wxString brief = Joined(m_listenProblem.brief, m_serialProblem.brief);
    return brief.empty() ? wxString("running") : brief;
}

void Bridge::NotifyProblem()
{
    NotifyObservers(GetProblem().empty() ? 0 : 1, m_row, UPDATE_PROBLEM);
}

bool Bridge::IsSerialOpen() const
{
    return m_serialHandler && m_serialHandler->IsOpen() && !m_serialHandler->IsLost();
}

void Bridge::AddIpFilter(const IpFilter& entry)
{
    m_ipFilters.push_back(entry);
}

IpFilter* Bridge::FindIpFilter(const wxString& address)
{
    for (IpFilter& entry : m_ipFilters)
    {
        if (entry.state != IPF_DELETED && entry.ip_address == address)
            return &entry;
    }
    return nullptr;
}

void Bridge::MarkAllIpFiltersDeleted()
{
    for (IpFilter& entry : m_ipFilters)
        entry.state = IPF_DELETED;
}

void Bridge::PurgeDeletedIpFilters()
{
    m_ipFilters.erase(std::remove_if(m_ipFilters.begin(), m_ipFilters.end(),
                                     [](const IpFilter& entry) { return entry.state == IPF_DELETED; }),
                      m_ipFilters.end());
}

int Bridge::GetClientCount() const
{
    return static_cast<int>(std::count_if(m_clients.begin(), m_clients.end(),
                                          [](const auto& entry) { return !entry.second->hungUp; }));
}

long long Bridge::GetWriteBytes() const
{
    long long total = 0;
    for (const auto& entry : m_clients)
        total += entry.second->writedBytes;
    return total;
}

void Bridge::GetClientsInfo(ClientInfoList& list) const
{
    for (const auto& entry : m_clients)
    {
        const BridgeClient& client = *entry.second;
        if (client.hungUp)
            continue;
        ClientInfo info;
        info["ReadedBytes"] = wxVariant(wxLongLong(client.readedBytes));
        info["WritedBytes"] = wxVariant(wxLongLong(client.writedBytes));
        info["IP"] = wxVariant(GetClientIp(client));
        info["Writer"] = wxVariant(client.isWriter);
        list.push_back(info);
    }
}

wxString Bridge::GetClientIp(const BridgeClient& client) const
{
    wxIPV4address peer;
    peer.Clear();
    client.socket->GetPeer(peer);
    return peer.IPAddress();
}

void Bridge::OnSocketConnection(wxSocketEvent&)
{
    if (m_server && !m_acceptPaused)
        AcceptClient();
}

void Bridge::AcceptClient()
{
    wxSocketBase* socket = m_server->Accept(false);
    if (!socket)
    {
        const int error = wxSysErrorCode();
        if (m_server->LastError() != wxSOCKET_WOULDBLOCK)
            PauseAccepting(error);
        else if (m_acceptPaused)
            ResumeAccepting(); // nobody waits any more
        return;
    }
    if (m_acceptPaused)
        ResumeAccepting();
    Admit(socket);
}

// The connection that could not be taken keeps the server readable: wait a
// moment, or for a client to leave, instead of failing again at once.
void Bridge::PauseAccepting(int error)
{
    if (!m_acceptPaused && m_logThrottle.Allow("failures to accept a connection"))
        Logger::message("Error: couldn't accept a new connection: %s", client_io::ErrorText(error));
    m_acceptPaused = true;
    m_server->Notify(false);
    m_acceptTimer.StartOnce(kAcceptPauseMs);
}

void Bridge::ResumeAccepting()
{
    m_acceptPaused = false;
    m_acceptTimer.Stop();
    m_server->Notify(true);
}

void Bridge::OnAcceptTimer(wxTimerEvent&)
{
    if (m_server && m_acceptPaused)
        AcceptClient();
}

void Bridge::Admit(wxSocketBase* socket)
{
    const bool allowed = IsClientAllowed(socket);
    // A port scanner, or a client that retries for ever, must not fill the log.
    if (allowed || m_logThrottle.Allow("connections refused from " + m_refusedIps.Last()))
    {
        Logger::message("New client connection accepted");
        if (!allowed)
            Logger::message("banned ip!");
    }
    if (!allowed)
    {
        socket->Destroy();
        return;
    }

    const int id = wxNewId();
    auto client = std::make_unique<BridgeClient>();
    client->id = id;
    client->socket = socket;
    // A writer that hung up while its last bytes are still written no longer counts.
    client->isWriter = GetClientCount() == 0;
    client->peer = PeerText(socket);
    client->watch = client_io::Adopt(socket, [this, id](bool hungUp) { OnClientReady(id, hungUp); });
    if (!client->watch)
    {
        Logger::message("Bridge::OnSocketConnection client %s cannot be watched, disconnected", client->peer);
        socket->Destroy();
        return;
    }
    BridgeClient& admitted = *client;
    m_clients.emplace(id, std::move(client));
    if (SpeaksRfc2217())
    {
        admitted.telnet = std::make_unique<Rfc2217Session>(*m_serialControl,
                                                           "serial-tcp-bridge " + m_comPort.utf8_string());
        admitted.telnet->SetWriter(admitted.isWriter);
        admitted.awaitingBinary = true;
        admitted.awaitBinaryUntil = std::chrono::steady_clock::now() + kBinaryWait;
        const std::string offer = admitted.telnet->Start();
        if (!SendToClient(admitted, reinterpret_cast<const unsigned char*>(offer.data()), offer.size(), 0))
        {
            RemoveClient(id);
            return;
        }
        if (!m_modemTimer.IsRunning())
            m_modemTimer.Start(kModemPollMs);
    }
    if (!WatchClient(admitted))
    {
        Logger::message("Bridge::OnSocketConnection client %s cannot be watched, disconnected", admitted.peer);
        RemoveClient(id);
        return;
    }
    NotifyObservers(GetClientCount(), m_row, UPDATE_CLIENTS);
}

bool Bridge::IsClientAllowed(wxSocketBase* socket)
{
    // Entries marked deleted admit nobody; with none live, everyone is admitted.
    const bool anyLive = std::any_of(m_ipFilters.begin(), m_ipFilters.end(),
                                     [](const IpFilter& entry) { return entry.state != IPF_DELETED; });
    if (!anyLive)
        return true;
    wxIPV4address peer;
    peer.Clear();
    socket->GetPeer(peer);
    const wxString address = peer.IPAddress();
    if (FindIpFilter(address))
        return true;
    // A client that retries for months must not grow the list for as long.
    if (m_refusedIps.size() >= kRefusedListLimit)
        m_refusedIps.RemoveAt(0);
    m_refusedIps.Add(address);
    return false;
}

void Bridge::OnClientReady(int id, bool hungUp)
{
    const auto found = m_clients.find(id);
    if (found == m_clients.end())
        return; // removed meanwhile
    if (hungUp && !found->second->hungUp)
        NoteHangUp(*found->second);
    ServeClient(id);
}

void Bridge::ServeClient(int id)
{
    const auto found = m_clients.find(id);
    if (found == m_clients.end())
        return; // removed meanwhile
    BridgeClient& client = *found->second;
    if (!FlushBacklog(client))
    {
        LogLostClient(client);
        RemoveClient(id);
        return;
    }
    // Once its peer has closed, nothing may say that more input waits: read
    // until its end, or until the serial port takes no more.
    for (;;)
    {
        const long got = TakeInput(client);
        if (got < 0)
        {
            Logger::message("Bridge::OnSocketData wxSOCKET_LOST");
            RemoveClient(id);
            return;
        }
        if (got == 0 || !client.hungUp)
            break;
    }
    if (!WatchClient(client))
    {
        Logger::message("Bridge::OnSocketData client %s cannot be watched, disconnected", client.peer);
        RemoveClient(id);
    }
}

long Bridge::TakeInput(BridgeClient& client)
{
    if (!client.isWriter)
        // Read, so that its departure is still noticed; a Telnet client's
        // requests are answered too.
        return client.telnet ? ReadTelnet(client, kClientReadBytes) : Discard(client);
    if (IsHeldBack(client))
        return 0;
    return ReadFromWriter(client);
}

long Bridge::ReadTelnet(BridgeClient& client, unsigned limit)
{
    unsigned char* const buffer = ClientReadBuffer();
    const long got = client_io::Receive(client.socket, buffer, limit);
    if (got <= 0)
        return got;
    std::string answer;
    m_serialControl->SetClient(client.id);
    if (m_serialHandler)
        m_serialHandler->SetRequester("client " + client.peer);
    const bool sound = client.telnet->FromClient(buffer, static_cast<std::size_t>(got), answer);
    if (m_serialHandler)
        m_serialHandler->SetRequester(wxString());
    if (client.telnet->TakeRefusedChangeNote() && !client.refusedChangeTold)
    {
        client.refusedChangeTold = true;
        Logger::message("Bridge::OnSocketData client %s is a reader: its changes of the serial port are refused",
                        client.peer);
    }
    if (!sound)
    {
        Logger::message("Bridge::OnSocketData client %s sent a Telnet sub-negotiation without end, disconnected",
                        client.peer);
        return -1;
    }
    if (!answer.empty() &&
        !SendToClient(client, reinterpret_cast<const unsigned char*>(answer.data()), answer.size(), 0))
        return -1;
    if (client.awaitingBinary && client.telnet->IsBinarySettled() && !ReleaseHeld(client))
        return -1;
    return got;
}

bool Bridge::HoldsForBinary(BridgeClient& client, const std::string& bytes)
{
    if (client.awaitingBinary && client.held.Size() + bytes.size() > kClientBacklogLimit)
    {
        Logger::message("Bridge::OnSerialData client %s cannot keep up, disconnected", client.peer);
        return false;
    }
    client.held.Append(bytes.data(), bytes.size());
    return true;
}

bool Bridge::ReleaseHeld(BridgeClient& client)
{
    client.awaitingBinary = false;
    if (client.held.Empty())
        return true;
    std::string form;
    client.telnet->FromDevice(client.held.Data(), client.held.Size(), form);
    const std::size_t counted = client.held.Size();
    client.held.Clear();
    return SendToClient(client, reinterpret_cast<const unsigned char*>(form.data()), form.size(), counted);
}

long Bridge::ReadFromWriter(BridgeClient& client)
{
    if (!IsSerialOpen())
        return client.telnet ? ReadTelnet(client, kClientReadBytes) : Discard(client); // nowhere to write to
    const unsigned room = m_serialHandler->GetWriteRoom();
    if (room == 0)
    {
        // Left unread, the input holds the writer back through TCP; reading
        // resumes when the serial port has taken some output.
        m_writerStalled = true;
        return 0;
    }
    if (client.telnet)
        return ReadTelnet(client, std::min<unsigned>(room, kClientReadBytes));
    unsigned char* const buffer = ClientReadBuffer();
    const long got = client_io::Receive(client.socket, buffer, std::min<unsigned>(room, kClientReadBytes));
    if (got <= 0)
        return got;
    // Only this thread adds to the queue, so the room checked above is there.
    // The credit goes first: what QueueWrite writes itself is reported at once.
    m_credits.push_back({client.id, static_cast<unsigned>(got)});
    m_serialHandler->QueueWrite(buffer, static_cast<unsigned>(got));
    return got;
}

long Bridge::Discard(BridgeClient& client)
{
    const long got = client_io::Receive(client.socket, ClientReadBuffer(), kClientReadBytes);
    if (got > 0 && !client.isWriter && !client.droppingTold)
    {
        // Whoever wonders where its commands went finds the answer here.
        client.droppingTold = true;
        Logger::message("Bridge::OnSocketData client %s is a reader: its input is dropped", client.peer);
    }
    return got;
}

bool Bridge::WatchClient(BridgeClient& client)
{
    const bool heldBack = IsHeldBack(client);
    if (heldBack && !client.hungUp && !m_hangUpTimer.IsRunning())
        m_hangUpTimer.Start(kHangUpCheckMs);
    return client_io::Update(*client.watch, !heldBack, !client.backlog.Empty() && !client.IsSuspended());
}

bool Bridge::IsHeldBack(const BridgeClient& client)
{
    return client.isWriter && (FindWriter() != &client || m_writerStalled);
}

// Until its input is read, a held-back writer's hang-up shows only to a poll
// that asks for it.
void Bridge::OnHangUpTimer(wxTimerEvent&)
{
    bool waiting = false;
    for (auto& entry : m_clients)
    {
        BridgeClient& client = *entry.second;
        if (client.hungUp || !IsHeldBack(client))
            continue;
        if (client_io::PeerHasClosed(client.socket))
            NoteHangUp(client);
        else
            waiting = true;
    }
    if (!waiting)
        m_hangUpTimer.Stop();
}

void Bridge::NoteHangUp(BridgeClient& client)
{
    client.hungUp = true;
    if (IsHeldBack(client))
        Logger::message("Bridge::OnSocketData writer %s hung up; what it sent is still written to the serial port",
                        client.peer);
    NotifyObservers(GetClientCount(), m_row, UPDATE_CLIENTS);
}

void Bridge::OnSerialData(SerialPortEvent& event)
{
    bool wasEmpty = false;
    {
        std::unique_lock<std::mutex> lock(m_inboxMutex);
        m_inboxDrained.wait(lock, [this] { return m_inboxBytes < kInboxLimit || !m_inboxBounded; });
        wasEmpty = m_inbox.empty();
        m_inbox.emplace_back(reinterpret_cast<const char*>(event.GetData()), event.GetLength());
        m_inboxBytes += m_inbox.back().size();
    }
    // One call relays everything that piles up before the GUI thread gets to it.
    if (wasEmpty)
        CallAfter(&Bridge::RelayInbox);
}

void Bridge::OnSerialWritten(wxThreadEvent& event)
{
    m_writtenPending += event.GetInt();
    m_droppedPending += event.GetExtraLong();
    // What QueueWrite wrote itself is reported on this thread: credit it now
    // instead of waking the event loop for it.
    if (wxThread::IsMain())
        OnOutputWritten();
    else if (!m_writtenQueued.exchange(true))
        CallAfter(&Bridge::OnOutputWritten);
}

void Bridge::OnSerialLost(wxThreadEvent&)
{
    CallAfter(&Bridge::OnPortLost);
}

void Bridge::OnPortLost()
{
    if (!m_serialHandler)
        return; // stopped meanwhile
    // The clients stay: an adapter that was pulled out is often put back,
    // and the port is opened again as soon as its device is there.
    Logger::message("Bridge::OnSerialData serial port %s lost; the bridge runs on and waits for it", m_comPort);
    m_serialLost = true;
    m_serialProblem = {wxString::Format("serial port %s: lost", m_comPort), "serial port lost"};
    m_reopenTimer.StartOnce(kRetryIntervalMs);
    NotifyProblem();
    ResumeWriter(); // its input is dropped until the port is back
}

void Bridge::OnReopenTimer(wxTimerEvent&)
{
    if (!m_serialHandler)
        return;
    // Only a device that is there is tried, so that the log does not fill
    // with failed openings while it is away; one that appears is tried
    // within a second.
    if (!SerialPortHandler::IsPortPresent(m_comPort))
    {
        m_reopenTimer.StartOnce(kRetryIntervalMs);
        return;
    }
    const wxString before = m_serialProblem.full;
    const bool wasLost = m_serialLost;
    if (!OpenSerial(true))
    {
        // Said once when it fails, and once when it opens: a port that keeps
        // refusing for days must not fill the log.
        if (m_serialProblem.full != before)
        {
            Logger::message("Bridge::OnReopenTimer - %s", m_serialProblem.full);
            NotifyProblem();
        }
        // There, but refusing: try less and less often.
        m_reopenTimer.StartOnce(TimerBackOff(m_reopenTimer));
        return;
    }
    // What was queued for the lost port went with it.
    m_credits.clear();
    if (wasLost)
        Logger::message("Bridge::OnSerialData serial port %s is back", m_comPort);
    else
        Logger::message("Bridge::OnReopenTimer serial port %s is open now", m_comPort);
    NotifyProblem();
    ResumeWriter();
}

bool Bridge::OpenSerial(bool quietly)
{
    // A port lost while a client had changed its speed comes back at that speed.
    const int baud = m_portChangedByClient ? m_serialHandler->GetLine().baud : SerialPortHandler::CheckBaud(m_comBaud);
    BoundInbox(false);
    const bool opened = m_serialHandler->Open(m_comPort, baud, quietly);
    BoundInbox(true);
    if (!opened)
    {
        m_serialProblem = SerialOpenProblem();
        return false;
    }
    HeldSerialPorts()[SerialPortHandler::PortIdentity(m_comPort)] = this;
    m_serialProblem = {};
    m_serialLost = false;
    return true;
}

Bridge::Problem Bridge::SerialOpenProblem() const
{
    if (m_comPort.empty())
        return {"no serial port is set", "no serial port"};
    const wxString full = wxString::Format("serial port %s: ", m_comPort);
    const auto holder = HeldSerialPorts().find(SerialPortHandler::PortIdentity(m_comPort));
    if (holder != HeldSerialPorts().end() && holder->second != this)
    {
        const long long id = holder->second->GetId();
        return {full + wxString::Format("used by bridge %lld of this program", id),
                wxString::Format("%s used by bridge %lld", m_comPort, id)};
    }
    const wxString cause = m_serialHandler->GetOpenError();
    if (!SerialPortHandler::IsPortPresent(m_comPort))
        return {full + cause, "waiting for " + m_comPort};
    return {full + cause, m_comPort + ": " + cause};
}

void Bridge::ReleaseSerialPort()
{
    auto& held = HeldSerialPorts();
    for (auto entry = held.begin(); entry != held.end();)
        entry = entry->second == this ? held.erase(entry) : std::next(entry);
}

// Open and Close park the worker: while this thread waits for that, the
// worker must not wait for this thread to empty the inbox.
void Bridge::BoundInbox(bool bounded)
{
    {
        std::lock_guard<std::mutex> lock(m_inboxMutex);
        m_inboxBounded = bounded;
    }
    m_inboxDrained.notify_one();
}

void Bridge::RelayInbox()
{
    std::vector<std::string> chunks;
    {
        std::lock_guard<std::mutex> lock(m_inboxMutex);
        chunks.swap(m_inbox);
        m_inboxBytes = 0;
    }
    if (chunks.empty())
        return;
    m_inboxDrained.notify_one();

    // Every client gets the whole batch in one write.
    std::string joined;
    const std::string* batch = &chunks.front();
    if (chunks.size() > 1)
    {
        for (const std::string& chunk : chunks)
            joined += chunk;
        batch = &joined;
    }
    // Telnet clients get it escaped, all the same once they take binary.
    std::string escaped, terminal;
    if (SpeaksRfc2217())
        Rfc2217Session::Escape(reinterpret_cast<const unsigned char*>(batch->data()), batch->size(), escaped);
    std::vector<int> failed;
    const auto now = std::chrono::steady_clock::now();
    for (auto& entry : m_clients)
    {
        BridgeClient& client = *entry.second;
        if (client.awaitingBinary && now >= client.awaitBinaryUntil && !ReleaseHeld(client))
        {
            failed.push_back(entry.first);
            continue;
        }
        if (client.awaitingBinary)
        {
            if (!HoldsForBinary(client, *batch))
                failed.push_back(entry.first);
            continue;
        }
        const std::string* bytes = batch;
        if (client.telnet && client.telnet->SendsBinary())
            bytes = &escaped;
        else if (client.telnet)
        {
            terminal.clear();
            client.telnet->FromDevice(reinterpret_cast<const unsigned char*>(batch->data()), batch->size(), terminal);
            bytes = &terminal;
        }
        if (!SendToClient(client, reinterpret_cast<const unsigned char*>(bytes->data()), bytes->size(), batch->size()))
            failed.push_back(entry.first);
    }
    for (int id : failed)
        RemoveClient(id);

    for (const std::string& chunk : chunks)
    {
        m_readBytes += static_cast<long long>(chunk.size());
        NotifyObservers(m_readBytes, m_row, UPDATE_READ);
    }
}

bool Bridge::SendToClient(BridgeClient& client, const unsigned char* bytes, std::size_t count, std::size_t counted)
{
    client.readedBytes += static_cast<long long>(counted);
    // A client that asked for a pause gets it all later, from its backlog.
    if (client.backlog.Empty() && !client.IsSuspended())
    {
        const long sent = client_io::Send(client.socket, bytes, count);
        if (sent < 0)
        {
            LogLostClient(client);
            return false;
        }
        bytes += sent;
        count -= static_cast<std::size_t>(sent);
        if (count == 0)
            return true;
    }
    if (client.backlog.Size() + count > kClientBacklogLimit)
    {
        Logger::message("Bridge::OnSerialData client %s cannot keep up, disconnected", client.peer);
        return false;
    }
    client.backlog.Append(bytes, count);
    if (!WatchClient(client))
    {
        Logger::message("Bridge::OnSerialData client %s cannot be watched, disconnected", client.peer);
        return false;
    }
    return true;
}

// Whichever path notices a lost client first, the log says it the same way,
// then how it was noticed.
void Bridge::LogLostClient(const BridgeClient& client)
{
    Logger::message("Bridge::OnSocketData wxSOCKET_LOST");
    Logger::message("Bridge::SendToClient client %s failed while sending, disconnected", client.peer);
}

bool Bridge::FlushBacklog(BridgeClient& client)
{
    if (client.backlog.Empty() || client.IsSuspended())
        return true;
    const long sent = client_io::Send(client.socket, client.backlog.Data(), client.backlog.Size());
    if (sent < 0)
        return false;
    client.backlog.Consume(static_cast<std::size_t>(sent));
    return true;
}

void Bridge::OnOutputWritten()
{
    m_writtenQueued = false;
    bool credited = false;
    // Oldest first: the written bytes, then those queued behind them that
    // were dropped, which nobody is credited with.
    const auto settle = [&](long long count, bool written) {
        while (count > 0 && !m_credits.empty())
        {
            WriteCredit& credit = m_credits.front();
            const unsigned share = static_cast<unsigned>(std::min<long long>(count, credit.count));
            const auto client = written ? m_clients.find(credit.clientId) : m_clients.end();
            if (client != m_clients.end())
            {
                client->second->writedBytes += share;
                credited = true;
            }
            count -= share;
            credit.count -= share;
            if (credit.count == 0)
                m_credits.pop_front();
        }
    };
    settle(m_writtenPending.exchange(0), true);
    settle(m_droppedPending.exchange(0), false);
    if (credited)
        NotifyObservers(GetWriteBytes(), m_row, UPDATE_WRITE);

    ResumeWriter();
}

void Bridge::ResumeWriter()
{
    if (!m_writerStalled)
        return;
    m_writerStalled = false;
    if (BridgeClient* writer = FindWriter())
        ServeClient(writer->id);
}

BridgeClient* Bridge::FindWriter()
{
    for (auto& entry : m_clients)
    {
        if (entry.second->isWriter)
            return entry.second.get();
    }
    return nullptr;
}

void Bridge::RemoveClient(int id)
{
    const auto found = m_clients.find(id);
    if (found == m_clients.end())
        return;
    BridgeClient& client = *found->second;
    client_io::Stop(*client.watch);
    if (m_retiredWatches.empty())
        CallAfter(&Bridge::FreeRetiredWatches);
    m_retiredWatches.push_back(std::move(client.watch));
    client.socket->Destroy();
    const bool wasActiveWriter = FindWriter() == &client;
    const bool wasCounted = !client.hungUp;
    m_clients.erase(found);
    if (wasCounted)
        NotifyObservers(GetClientCount(), m_row, UPDATE_CLIENTS);
    // Its descriptor is free now: one that accept lacked, perhaps.
    if (m_acceptPaused)
        m_acceptTimer.StartOnce(1);
    if (wasActiveWriter)
    {
        // A writer that connected after this one hung up is read from now on.
        m_writerStalled = false;
        if (BridgeClient* next = FindWriter())
            ServeClient(next->id);
    }
    if (m_clients.empty())
    {
        m_modemTimer.Stop();
        RestoreStoredSettings();
    }
}

void Bridge::RestoreStoredSettings()
{
    if (!m_portChangedByClient || !m_serialHandler)
        return;
    m_portChangedByClient = false;
    BoundInbox(false);
    m_serialHandler->SetLine(StoredLine());
    m_serialHandler->SetFlowControl(SFile::FlowControl());
    BoundInbox(true);
    // As the port was opened: DTR and RTS off, no break.
    m_serialHandler->SetBreak(false);
    m_serialHandler->SetDtr(false);
    m_serialHandler->SetRts(false);
    m_serialControl->Reset();
    Logger::message("Bridge::RemoveClient the last client has gone: serial port %s is back at its stored settings",
                    m_comPort);
}

SFile::LineSettings Bridge::StoredLine() const
{
    SFile::LineSettings line;
    line.baud = SerialPortHandler::CheckBaud(m_comBaud);
    line.dataBits = static_cast<unsigned>(m_dataBits);
    line.parity = m_parity;
    line.stopBits = static_cast<unsigned>(m_stopBits);
    return line;
}

void Bridge::OnModemTimer(wxTimerEvent&)
{
    const std::uint8_t lines = m_serialControl->ModemLines();
    const auto now = std::chrono::steady_clock::now();
    std::vector<int> failed;
    for (auto& entry : m_clients)
    {
        BridgeClient& client = *entry.second;
        if (!client.telnet)
            continue;
        // A client that never answers gets the terminal form, held no longer.
        if (client.awaitingBinary && now >= client.awaitBinaryUntil && !ReleaseHeld(client))
        {
            failed.push_back(entry.first);
            continue;
        }
        std::string notice;
        client.telnet->UpdateModemLines(lines, notice);
        if (!notice.empty() &&
            !SendToClient(client, reinterpret_cast<const unsigned char*>(notice.data()), notice.size(), 0))
            failed.push_back(entry.first);
    }
    for (int id : failed)
        RemoveClient(id);
}

void Bridge::FreeRetiredWatches()
{
    m_retiredWatches.clear();
}
