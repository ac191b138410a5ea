#include "Bridge.h"

#include "IpAddress.h"
#include "ObserverBase.h"
#include "SerialControl.h"

#include "log/Logger.h"

#include <wx/app.h>
#include <wx/socket.h>

#include <algorithm>

namespace
{
// How often a held-back writer is asked whether it has hung up.
constexpr int kHangUpCheckMs = 250;
// How much of a client's input one input event reads: each event costs the
// toolkit a few system calls, so a fast writer should bring many bytes.
constexpr unsigned kClientReadBytes = 65536;

// What clients' input is read into. Every bridge does its socket work on
// the GUI thread, one read at a time, so they share it rather than each
// keeping 64 KiB of its own.
unsigned char* ClientReadBuffer()
{
    static unsigned char buffer[kClientReadBytes];
    return buffer;
}

} // namespace

Bridge::Bridge(const wxString& comPort, int comBaud, wxUint16 tcpPort, long long id)
    : BridgeSettings(comPort, comBaud, tcpPort, id),
      m_row(-1),
      m_readBytes(0),
      m_running(false),
      m_listener(*this, [this](wxSocketBase* socket) { Admit(socket); }, [this] { NotifyProblem(); }),
      m_serial(*this),
      m_serialControl(std::make_unique<SerialControl>(m_serial, *this, m_trace)),
      m_writerStalled(false),
      m_hangUpTimer(this),
      m_modemTimer(this),
      m_trace([this] {
          // A bridge that stops, or goes, notifies nobody of its trace.
          if (m_running)
              NotifyProblem();
      })
{
    Bind(wxEVT_TIMER, &Bridge::OnHangUpTimer, this, m_hangUpTimer.GetId());
    Bind(wxEVT_TIMER, &Bridge::OnModemTimer, this, m_modemTimer.GetId());
}

Bridge::Bridge(const Bridge* source) : Bridge(wxString(), 0, 0, -1)
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
    ReleaseRun();
    m_readBytes = 0;
    NotifyObservers(0, m_row, UPDATE_CLIENTS);
    NotifyObservers(0, m_row, UPDATE_READ);
    NotifyObservers(0, m_row, UPDATE_WRITE);
    m_refusedIps.Clear();
}

void Bridge::ReleaseRun()
{
    for (const auto& entry : m_clients)
        m_trace.ClientEvent(entry.second->peer, "disconnected, the bridge stops");
    m_clients.clear(); // each closes its socket
    m_retiredWatches.clear();
    m_listener.Stop();
    m_serial.Stop();
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
    m_writeCounted = false;
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

    const int id = wxNewId();
    auto client = std::make_unique<BridgeClient>(id, socket);
    // A writer that hung up while its last bytes are still written no longer counts.
    client->isWriter = GetClientCount() == 0;
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
    NotifyObservers(GetClientCount(), m_row, UPDATE_CLIENTS);
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
    if (!client.FlushBacklog())
    {
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
        RemoveClient(id);
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
    const long got = client.Receive(buffer, limit);
    if (got <= 0)
        return got;
    std::string answer;
    m_serialControl->SetClient(client.id, client.peer);
    m_serial.SetRequester("client " + client.peer);
    const bool sound = client.telnet->FromClient(buffer, static_cast<std::size_t>(got), answer);
    m_serialControl->EndOfInput();
    m_serial.SetRequester(wxString());
    if (client.telnet->TakeRefusedChangeNote() && !client.refusedChangeTold)
    {
        client.refusedChangeTold = true;
        Logger::message("Bridge::ReadTelnet client %s is a reader: its changes of the serial port are refused",
                        client.peer);
    }
    if (!sound)
    {
        Logger::message("Bridge::ReadTelnet client %s sent a Telnet sub-negotiation without end, disconnected",
                        client.peer);
        return -1;
    }
    if (!answer.empty() && !client.Send(answer, 0))
        return -1;
    if (client.AwaitsBinary() && client.telnet->IsBinarySettled() && !client.ReleaseHeld())
        return -1;
    return got;
}

long Bridge::ReadFromWriter(BridgeClient& client)
{
    if (!IsSerialOpen())
        return client.telnet ? ReadTelnet(client, kClientReadBytes) : Discard(client); // nowhere to write to
    const unsigned room = m_serial.WriteRoom();
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
    const long got = client.Receive(buffer, std::min<unsigned>(room, kClientReadBytes));
    if (got > 0)
    {
        m_trace.Data(TraceRecord::Kind::ToSerial, client.peer, reinterpret_cast<const char*>(buffer),
                     static_cast<std::size_t>(got));
        m_serial.Write(client.id, buffer, static_cast<unsigned>(got)); // only this thread queues: the room is there
    }
    return got;
}

long Bridge::Discard(BridgeClient& client)
{
    unsigned char* const buffer = ClientReadBuffer();
    const long got = client.Receive(buffer, kClientReadBytes);
    if (got > 0)
        m_trace.Dropped(client.peer, client.isWriter ? "no serial port" : "a reader",
                        reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(got));
    if (got > 0 && !client.isWriter && !client.droppingTold)
    {
        // Whoever wonders where its commands went finds the answer here.
        client.droppingTold = true;
        Logger::message("Bridge::Discard client %s is a reader: its input is dropped", client.peer);
    }
    return got;
}

bool Bridge::WatchClient(BridgeClient& client)
{
    const bool heldBack = IsHeldBack(client);
    if (heldBack && !client.hungUp && !m_hangUpTimer.IsRunning())
        m_hangUpTimer.Start(kHangUpCheckMs);
    return client.WatchInput(!heldBack);
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
        if (client.PeerHasClosed())
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
        Logger::message("Bridge::NoteHangUp writer %s hung up; what it sent is still written to the serial port",
                        client.peer);
    NotifyObservers(GetClientCount(), m_row, UPDATE_CLIENTS);
}

void Bridge::OnSerialChunks(const std::vector<std::string>& chunks)
{
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

    // One notification per chunk, as the worker read them.
    for (const std::string& chunk : chunks)
    {
        m_readBytes += static_cast<long long>(chunk.size());
        NotifyObservers(m_readBytes, m_row, UPDATE_READ);
    }
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

void Bridge::OnSerialWritten(int clientId, unsigned count)
{
    const auto client = m_clients.find(clientId);
    if (client == m_clients.end())
        return; // gone meanwhile: nobody is credited
    client->second->writedBytes += count;
    m_writeCounted = true;
}

void Bridge::OnSerialReady()
{
    // Once for all that was credited since the last time.
    if (m_writeCounted)
        NotifyObservers(GetWriteBytes(), m_row, UPDATE_WRITE);
    m_writeCounted = false;
    ResumeWriter();
}

void Bridge::OnSerialProblem()
{
    TraceSerialState();
    NotifyProblem();
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
    m_trace.ClientEvent(client.peer, "disconnected");
    if (m_retiredWatches.empty())
        CallAfter(&Bridge::FreeRetiredWatches);
    m_retiredWatches.push_back(client.Close());
    const bool wasActiveWriter = FindWriter() == &client;
    const bool wasCounted = !client.hungUp;
    m_clients.erase(found);
    if (wasCounted)
        NotifyObservers(GetClientCount(), m_row, UPDATE_CLIENTS);
    // Its descriptor is free now: one that accepting lacked, perhaps.
    m_listener.ClientLeft();
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

void Bridge::FreeRetiredWatches()
{
    m_retiredWatches.clear();
}
