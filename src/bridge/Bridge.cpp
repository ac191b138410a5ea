#include "Bridge.h"

#include "IpAddress.h"
#include "ObserverBase.h"
#include "SerialControl.h"

#include "log/Logger.h"

#include <wx/app.h>
#include <wx/socket.h>
#include <wx/thread.h>

#include <algorithm>

Bridge::Bridge(const wxString& comPort, int comBaud, wxUint16 tcpPort, long long id)
    : BridgeSettings(comPort, comBaud, tcpPort, id),
      m_row(-1),
      m_readBytes(0),
      m_running(false),
      m_listener(*this, [this](wxSocketBase* socket) { Admit(socket); }, [this] { NotifyProblem(); }),
      m_serial(*this),
      m_serialControl(std::make_unique<SerialControl>(m_serial, *this, m_trace)),
      m_writerStalled(false),
      m_hangUpTimer(m_serial.RelaysOnWorker(), [this] { OnHangUpTimer(); }),
      m_modemTimer(m_serial.RelaysOnWorker(), [this] { OnModemTimer(); }),
      m_notices([this](long long value, int kind) { NotifyObservers(value, m_row, kind); }),
      m_trace([this] {
          // A bridge that stops, or goes, notifies nobody of its trace.
          if (m_running)
              NotifyProblem();
      })
{
}

Bridge::Bridge(const Bridge* source) : Bridge(wxString(), 0, 0, -1)
{
    Assign(source);
}

Bridge::~Bridge()
{
    ReleaseRun(false);
}

void Bridge::Assign(const Bridge* source)
{
    // The relay reads the settings.
    const std::lock_guard<std::recursive_mutex> lock(m_relayMutex);
    if (!source)
    {
        ResetSettings();
        m_readBytes = 0;
        return;
    }
    static_cast<BridgeSettings&>(*this) = *source;
    m_refusedIps.Clear();
    if (m_running)
        ApplyTraceFile();
}

void Bridge::TraceTo(const wxString& path)
{
    SetTraceFile(path);
    if (m_running)
        ApplyTraceFile();
}

void Bridge::ApplyTraceFile()
{
    m_trace.SetFile(m_running ? GetTraceFile() : wxString(), GetId());
}

void Bridge::TraceSerialState()
{
    const bool open = m_serial.IsOpen();
    m_trace.SerialState(open, GetComPort(), open ? m_serial.GetLine() : SFile::LineSettings(),
                        m_serial.Problem().brief);
}

void Bridge::Start()
{
    if (m_running)
        return;
    m_running = true;
    if (IsAllowListUnreadable())
    {
        Logger::message("Bridge::Start() - the IP filters of bridge %lld could not be read; it is not started, as it "
                        "would admit every address",
                        GetId());
        NotifyProblem();
        return;
    }
    m_unusable = WhyNotListening();
    if (!m_unusable.empty())
    {
        // Nobody could reach the serial port, so it is left to others.
        Logger::message("Bridge::Start() - %s", m_unusable.full);
        NotifyProblem();
        return;
    }
    ApplyTraceFile();
    m_listener.Start();
    m_serial.Start(GetComPort(), StoredLine(), GetId());
    TraceSerialState();
    if (!GetProblem().empty())
        NotifyProblem();
}

void Bridge::Stop()
{
    ReleaseRun(true);
    m_readBytes = 0;
    NotifyObservers(0, m_row, UPDATE_CLIENTS);
    NotifyObservers(0, m_row, UPDATE_READ);
    NotifyObservers(0, m_row, UPDATE_WRITE);
    m_refusedIps.Clear();
}

void Bridge::ReleaseRun(bool deliverNotices)
{
    // First the worker, which may relay: it ends without waiting for this
    // thread, and nothing runs on it afterwards. What it notified reaches
    // the observers before Stop's zeros, or nobody.
    m_serial.Stop();
    if (deliverNotices)
        m_notices.Flush();
    const std::lock_guard<std::recursive_mutex> lock(m_relayMutex);
    for (const auto& entry : m_clients)
        m_trace.ClientEvent(entry.second->peer, "disconnected, the bridge stops");
    m_clients.clear(); // each closes its socket
    m_retiredWatches.clear();
    DestroyShutSockets();
    m_waitedClients.clear();
    m_notices.Clear();
    m_listener.Stop();
    m_running = false;
    m_trace.SerialClosed();
    ApplyTraceFile(); // closes it
    // Nothing the stopped run queued may reach the next one. The application
    // keeps a list of handlers with events queued; leave it too, or it will
    // ask this one for events it no longer has.
    if (wxTheApp)
        wxTheApp->RemovePendingEventHandler(this);
    DeletePendingEvents();
    m_writerStalled = false;
    m_unusable = {};
    m_hangUpTimer.Stop();
    m_modemTimer.Stop();
    m_serialControl->Reset();
}

wxString Bridge::GetProblem() const
{
    if (!m_running)
        return wxString();
    if (IsAllowListUnreadable())
        return "its IP filters could not be read from the store; not started, as it would admit every address";
    if (!m_unusable.empty())
        return m_unusable.full;
    return JoinedProblems(JoinedProblems(m_listener.Problem().full, m_serial.Problem().full), m_trace.Problem());
}

wxString Bridge::GetState() const
{
    if (!m_running)
        return "stopped";
    if (IsAllowListUnreadable())
        return "allow-list could not be read";
    if (!m_unusable.empty())
        return m_unusable.brief;
    const wxString brief = JoinedProblems(JoinedProblems(m_listener.Problem().brief, m_serial.Problem().brief),
                                          m_trace.Problem().empty() ? wxString() : wxString("trace not written"));
    return brief.empty() ? wxString("running") : brief;
}

void Bridge::NotifyProblem()
{
    NotifyObservers(GetProblem().empty() ? 0 : 1, m_row, UPDATE_PROBLEM);
}

// What the GUI thread reads was notified already: what waits is delivered
// first, while the relay cannot change it.
int Bridge::GetClientCount() const
{
    const std::lock_guard<std::recursive_mutex> lock(m_relayMutex);
    FlushNotices();
    return CountClients();
}

void Bridge::FlushNotices() const
{
    if (wxThread::IsMain())
        m_notices.Flush();
}

int Bridge::CountClients() const
{
    return static_cast<int>(std::count_if(m_clients.begin(), m_clients.end(),
                                          [](const auto& entry) { return !entry.second->hungUp; }));
}

long long Bridge::GetReadBytes() const
{
    const std::lock_guard<std::recursive_mutex> lock(m_relayMutex);
    FlushNotices();
    return m_readBytes;
}

long long Bridge::GetWriteBytes() const
{
    const std::lock_guard<std::recursive_mutex> lock(m_relayMutex);
    FlushNotices();
    long long total = 0;
    for (const auto& entry : m_clients)
        total += entry.second->writedBytes;
    return total;
}

void Bridge::GetClientsInfo(ClientInfoList& list) const
{
    const std::lock_guard<std::recursive_mutex> lock(m_relayMutex);
    FlushNotices();
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
    client_io::Peer peer;
    client_io::PeerOf(client.socket, peer);
    return peer.address;
}

void Bridge::Admit(wxSocketBase* socket)
{
    client_io::Peer peer;
    client_io::PeerOf(socket, peer);
    const wxString& address = peer.address;
    const bool allowed = Admits(address);
    if (!allowed)
    {
        // A client that retries for months must not grow the list for as long.
        if (m_refusedIps.size() >= kRefusedListLimit)
            m_refusedIps.RemoveAt(0);
        m_refusedIps.Add(address);
    }
    // A port scanner, or a client that retries for ever, must not fill the log.
    if (allowed || m_logThrottle.Allow("connections refused from " + address))
    {
        Logger::message("New client connection accepted");
        if (!allowed)
            Logger::message("banned ip!");
    }
    if (!allowed)
    {
        m_trace.ClientEvent(AddressAndPort(address, peer.port), "refused");
        socket->Destroy();
        return;
    }
    // Taken in here, while the relay waits: it watches the new socket from
    // its next wait on.
    {
        const std::lock_guard<std::recursive_mutex> lock(m_relayMutex);
        Adopt(socket);
    }
    m_serial.Wake();
}

// Should it fail, the client is removed; it changed nothing on the port, so
// that does not park the worker, which this thread must not do here.
void Bridge::Adopt(wxSocketBase* socket)
{
    const int id = ++m_lastClientId;
    auto client = std::make_unique<BridgeClient>(id, socket);
    // A writer that hung up while its last bytes are still written no longer counts.
    client->isWriter = CountClients() == 0;
    if (!client->Watch([this, id](bool hungUp) { OnClientReady(id, hungUp); }))
        return;
    BridgeClient& admitted = *client;
    m_clients.emplace(id, std::move(client));
    m_trace.ClientEvent(admitted.peer, admitted.isWriter ? "connected, writer" : "connected, reader");
    if (SpeaksRfc2217())
    {
        admitted.telnet = std::make_unique<Rfc2217Session>(*m_serialControl,
                                                           "serial-tcp-bridge " + GetComPort().utf8_string());
        admitted.telnet->SetWriter(admitted.isWriter);
        admitted.AwaitBinary();
        if (!admitted.Send(admitted.telnet->Start(), 0))
        {
            RemoveClient(id);
            return;
        }
        if (!m_modemTimer.IsRunning())
            m_modemTimer.Start(kModemPollMs);
    }
    if (!WatchClient(admitted))
    {
        RemoveClient(id);
        return;
    }
    Notify(CountClients(), UPDATE_CLIENTS);
}

unsigned Bridge::OnRelayWait(std::vector<SFile::OtherWait>& others)
{
    const std::lock_guard<std::recursive_mutex> lock(m_relayMutex);
    m_waitedClients.clear();
    for (const auto& entry : m_clients)
    {
        SFile::OtherWait wanted;
        if (!entry.second->Wanted(wanted))
            continue;
        others.push_back(wanted);
        m_waitedClients.push_back(entry.first);
    }
    const auto now = RelayTimer::Clock::now();
    return std::min(m_hangUpTimer.MicrosLeft(now), m_modemTimer.MicrosLeft(now));
}

void Bridge::OnRelayWoken(const std::vector<SFile::OtherWait>& others)
{
    const std::lock_guard<std::recursive_mutex> lock(m_relayMutex);
    for (std::size_t i = 0; i < others.size() && i < m_waitedClients.size(); ++i)
    {
        if (!others[i].ready)
            continue;
        // One that an earlier one's turn removed is gone from the table.
        const auto found = m_clients.find(m_waitedClients[i]);
        if (found != m_clients.end())
            found->second->Ready();
    }
    const auto now = RelayTimer::Clock::now();
    m_hangUpTimer.TickIfDue(now);
    m_modemTimer.TickIfDue(now);
}

void Bridge::OnSerialChunks(const std::vector<std::string>& chunks)
{
    const std::lock_guard<std::recursive_mutex> lock(m_relayMutex);
    // Counted and notified before any client can see the bytes, so that the
    // GUI thread never sees them sent and not counted.
    for (const std::string& chunk : chunks)
    {
        m_readBytes += static_cast<long long>(chunk.size());
        Notify(m_readBytes, UPDATE_READ);
    }
    for (const std::string& chunk : chunks)
        m_trace.Data(TraceRecord::Kind::ToClients, wxString(), chunk.data(), chunk.size());
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
    std::string escaped;
    if (SpeaksRfc2217())
        Rfc2217Session::Escape(reinterpret_cast<const unsigned char*>(batch->data()), batch->size(), escaped);
    std::vector<int> failed;
    const auto now = std::chrono::steady_clock::now();
    for (auto& entry : m_clients)
    {
        BridgeClient& client = *entry.second;
        if (client.AwaitsBinary() && client.BinaryWaitIsOver(now) && !client.ReleaseHeld())
            failed.push_back(entry.first);
        else if (!RelayTo(client, *batch, escaped))
            failed.push_back(entry.first);
    }
    for (int id : failed)
        RemoveClient(id);
}

bool Bridge::RelayTo(BridgeClient& client, const std::string& batch, const std::string& escaped)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(batch.data());
    if (client.AwaitsBinary())
        return client.Hold(batch);
    if (!client.telnet)
        return client.Send(bytes, batch.size(), batch.size());
    if (client.telnet->SendsBinary())
        return client.Send(escaped, batch.size());
    std::string terminal;
    client.telnet->FromDevice(bytes, batch.size(), terminal);
    return client.Send(terminal, batch.size());
}

void Bridge::OnSerialWritten(const std::vector<WriteCredit>& credits)
{
    const std::lock_guard<std::recursive_mutex> lock(m_relayMutex);
    bool counted = false;
    for (const WriteCredit& credit : credits)
    {
        const auto client = m_clients.find(credit.clientId);
        if (client == m_clients.end())
            continue; // gone meanwhile: nobody is credited
        client->second->writedBytes += credit.count;
        counted = true;
    }
    // Once for all of them, told before the lock is let go: a getter on
    // the GUI thread never finds a count that its observers have not heard.
    if (counted)
        Notify(GetWriteBytes(), UPDATE_WRITE);
}

void Bridge::OnSerialReady()
{
    const std::lock_guard<std::recursive_mutex> lock(m_relayMutex);
    ResumeWriter();
}

void Bridge::OnSerialProblem()
{
    // The port's settings are read where the relay may change them.
    m_serial.Post([this] {
        const std::lock_guard<std::recursive_mutex> lock(m_relayMutex);
        TraceSerialState();
    });
    NotifyProblem();
}

void Bridge::RemoveClient(int id)
{
    const auto found = m_clients.find(id);
    if (found == m_clients.end())
        return;
    BridgeClient& client = *found->second;
    m_trace.ClientEvent(client.peer, "disconnected");
    if (m_retiredWatches.empty())
        m_serial.Post([this] { FreeRetiredWatches(); });
    const bool firstShut = m_shutSockets.empty();
    m_retiredWatches.push_back(client.Close(&m_shutSockets));
    if (firstShut && !m_shutSockets.empty())
        CallAfter(&Bridge::DestroyShutSockets);
    const bool wasActiveWriter = FindWriter() == &client;
    const bool wasCounted = !client.hungUp;
    m_clients.erase(found);
    if (wasCounted)
        Notify(CountClients(), UPDATE_CLIENTS);
    // Its descriptor is free now, or soon: one that accepting lacked, perhaps.
    if (wxThread::IsMain())
        m_listener.ClientLeft();
    else
        CallAfter([this] { m_listener.ClientLeft(); });
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
        m_serialControl->Restore();
    }
}

void Bridge::OnModemTimer()
{
    const std::lock_guard<std::recursive_mutex> lock(m_relayMutex);
    const std::uint8_t lines = m_serialControl->ModemLines();
    const auto now = std::chrono::steady_clock::now();
    std::vector<int> failed;
    for (auto& entry : m_clients)
    {
        BridgeClient& client = *entry.second;
        if (!client.telnet)
            continue;
        // A client that never answers gets the terminal form, held no longer.
        if (client.AwaitsBinary() && client.BinaryWaitIsOver(now) && !client.ReleaseHeld())
        {
            failed.push_back(entry.first);
            continue;
        }
        std::string notice;
        client.telnet->UpdateModemLines(lines, notice);
        if (!notice.empty() && !client.Send(notice, 0))
            failed.push_back(entry.first);
    }
    for (int id : failed)
        RemoveClient(id);
}

void Bridge::DestroyShutSockets()
{
    const std::lock_guard<std::recursive_mutex> lock(m_relayMutex);
    for (wxSocketBase* socket : m_shutSockets)
        socket->Destroy();
    m_shutSockets.clear();
}

void Bridge::FreeRetiredWatches()
{
    const std::lock_guard<std::recursive_mutex> lock(m_relayMutex);
    m_retiredWatches.clear();
}
