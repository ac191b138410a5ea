// The clients' input and the writer rule: whose bytes are read, when, and
// where they go.

#include "Bridge.h"

#include "ObserverBase.h"
#include "SerialControl.h"

#include "log/Logger.h"

#include <algorithm>

namespace
{
// How often a held-back writer is asked whether it has hung up.
constexpr int kHangUpCheckMs = 250;
// How much of a client's input one read takes: a fast writer should bring
// many bytes per system call.
constexpr unsigned kClientReadBytes = 65536;

// What clients' input is read into: one per relay thread, rather than 64
// KiB per client.
unsigned char* ClientReadBuffer()
{
    static thread_local unsigned char buffer[kClientReadBytes];
    return buffer;
}
} // namespace

void Bridge::OnClientReady(int id, bool hungUp)
{
    const std::lock_guard<std::recursive_mutex> lock(m_relayMutex);
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
void Bridge::OnHangUpTimer()
{
    const std::lock_guard<std::recursive_mutex> lock(m_relayMutex);
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
    Notify(CountClients(), UPDATE_CLIENTS);
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
