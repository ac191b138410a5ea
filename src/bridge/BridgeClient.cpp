#include "BridgeClient.h"

#include "IpAddress.h"

#include "log/Logger.h"

#include <wx/socket.h>
#include <wx/thread.h>

namespace
{
wxString PeerText(wxSocketBase* socket)
{
    client_io::Peer peer;
    if (!client_io::PeerOf(socket, peer))
        return "unknown peer";
    return AddressAndPort(peer.address, peer.port);
}
} // namespace

BridgeClient::BridgeClient(int id, wxSocketBase* socket) : id(id), socket(socket), peer(PeerText(socket)) {}

BridgeClient::~BridgeClient()
{
    Close();
}

bool BridgeClient::Watch(client_io::ReadyHandler ready)
{
    m_watch = client_io::Adopt(socket, std::move(ready));
    if (m_watch)
        return true;
    Logger::message("BridgeClient::Watch client %s cannot be watched, disconnected", peer);
    return false;
}

bool BridgeClient::WatchInput(bool input)
{
    m_input = input;
    if (client_io::Update(*m_watch, input, !m_backlog.Empty() && !IsSuspended()))
        return true;
    Logger::message("BridgeClient::WatchInput client %s cannot be watched, disconnected", peer);
    return false;
}

std::unique_ptr<client_io::Watch> BridgeClient::Close(std::vector<wxSocketBase*>* shutSockets)
{
    if (m_closed)
        return nullptr;
    m_closed = true;
    // Before the socket goes, so that its number, reused, is not watched.
    if (m_watch)
        client_io::Stop(*m_watch);
    if (wxThread::IsMain() || !shutSockets)
    {
        socket->Destroy();
        return std::move(m_watch);
    }
    // The toolkit's socket belongs to the GUI thread: from the relay's, the
    // peer learns at once, and the socket is destroyed there; its number is
    // not free for reuse until then.
    client_io::Shut(socket);
    shutSockets->push_back(socket);
    return std::move(m_watch);
}

bool BridgeClient::Wanted(SFile::OtherWait& wanted) const
{
    return m_watch && !m_closed && client_io::Wanted(*m_watch, wanted);
}

void BridgeClient::Ready()
{
    if (m_watch && !m_closed)
        client_io::Ready(*m_watch);
}

void BridgeClient::LogLost(const char* how) const
{
    // Whichever way a lost client is noticed, the log says it the same way,
    // then how it was noticed.
    Logger::message("Bridge::OnSocketData wxSOCKET_LOST");
    Logger::message("%s client %s failed while sending, disconnected", how, peer);
}

bool BridgeClient::Send(const unsigned char* bytes, std::size_t count, std::size_t counted)
{
    readedBytes += static_cast<long long>(counted);
    // A client that asked for a pause gets it all later, from its backlog.
    if (m_backlog.Empty() && !IsSuspended())
    {
        const long sent = client_io::Send(socket, bytes, count);
        if (sent < 0)
        {
            LogLost("BridgeClient::Send");
            return false;
        }
        bytes += sent;
        count -= static_cast<std::size_t>(sent);
        if (count == 0)
            return true;
    }
    if (m_backlog.Size() + count > kBacklogLimit)
    {
        Logger::message("BridgeClient::Send client %s cannot keep up, disconnected", peer);
        return false;
    }
    m_backlog.Append(bytes, count);
    return WatchInput(m_input);
}

bool BridgeClient::FlushBacklog()
{
    if (m_backlog.Empty() || IsSuspended())
        return true;
    const long sent = client_io::Send(socket, m_backlog.Data(), m_backlog.Size());
    if (sent < 0)
    {
        LogLost("BridgeClient::FlushBacklog");
        return false;
    }
    m_backlog.Consume(static_cast<std::size_t>(sent));
    return true;
}

long BridgeClient::Receive(unsigned char* buffer, std::size_t size)
{
    return client_io::Receive(socket, buffer, size);
}

bool BridgeClient::PeerHasClosed() const
{
    return client_io::PeerHasClosed(socket);
}

void BridgeClient::AwaitBinary()
{
    m_awaitingBinary = true;
    m_binaryDeadline = std::chrono::steady_clock::now() + kBinaryWait;
}

bool BridgeClient::BinaryWaitIsOver(std::chrono::steady_clock::time_point now) const
{
    return telnet->IsBinarySettled() || now >= m_binaryDeadline;
}

bool BridgeClient::Hold(const std::string& bytes)
{
    if (m_held.Size() + bytes.size() > kBacklogLimit)
    {
        Logger::message("BridgeClient::Hold client %s cannot keep up, disconnected", peer);
        return false;
    }
    m_held.Append(bytes.data(), bytes.size());
    return true;
}

bool BridgeClient::ReleaseHeld()
{
    m_awaitingBinary = false;
    if (m_held.Empty())
        return true;
    std::string form;
    telnet->FromDevice(m_held.Data(), m_held.Size(), form);
    const std::size_t counted = m_held.Size();
    m_held.Clear();
    return Send(form, counted);
}
