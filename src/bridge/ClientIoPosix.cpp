// Clients on POSIX: the bridge's serial worker waits for each descriptor
// beside the port, so a byte moves from socket to port and back on one
// thread, without the toolkit's socket events (a queued event and several
// system calls each) or a hand-over to the GUI thread.

#include "ClientIo.h"

#include "IpAddress.h"

#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace client_io
{
namespace
{
// A client whose host vanished without a word is found out after about a
// minute and a half.
constexpr int kKeepAliveIdleSeconds = 60;
constexpr int kKeepAliveIntervalSeconds = 10;
constexpr int kKeepAliveProbes = 3;

int g_listenError = 0; // why the last Listen failed

// What the worker's wait is to watch a client's descriptor for.
class FdWatch : public Watch
{
public:
    FdWatch(int fd, ReadyHandler ready) : Watch(std::move(ready)), fd(fd) {}

    const int fd;
};
} // namespace

wxSocketServer* Listen(const wxSockAddress& address)
{
    // Reusable: after a stop, connections in TIME_WAIT must not keep the
    // port from being bound again. Another listener still keeps it.
    errno = 0;
    auto* server = new wxSocketServer(address, wxSOCKET_REUSEADDR);
    if (!server->IsOk())
    {
        g_listenError = errno;
        server->Destroy();
        return nullptr;
    }
    // The toolkit listens with a backlog of 5: a burst of connections
    // would see most of theirs dropped and retried seconds later.
    ::listen(server->GetSocket(), SOMAXCONN);
    return server;
}

wxString ErrorText(int error)
{
    return std::strerror(error);
}

ListenFailure WhyNotListening(const wxSockAddress&)
{
    if (g_listenError == 0)
        return {"cannot listen"};
    return {std::strerror(g_listenError), g_listenError == EADDRINUSE, g_listenError == EADDRNOTAVAIL,
            g_listenError == EAFNOSUPPORT};
}

bool TakesIpv4Too(wxSocketServer* server)
{
    int only = 1;
    socklen_t length = sizeof only;
    return ::getsockopt(server->GetSocket(), IPPROTO_IPV6, IPV6_V6ONLY, &only, &length) == 0 && only == 0;
}

bool PeerOf(wxSocketBase* socket, Peer& peer)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(socket->GetSocket(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return false;
    if (address.ss_family == AF_INET)
    {
        const auto& ipv4 = reinterpret_cast<const sockaddr_in&>(address);
        peer.address = IpAddressText(reinterpret_cast<const unsigned char*>(&ipv4.sin_addr), sizeof ipv4.sin_addr);
        peer.port = ntohs(ipv4.sin_port);
        return true;
    }
    if (address.ss_family != AF_INET6)
        return false;
    const auto& ipv6 = reinterpret_cast<const sockaddr_in6&>(address);
    peer.address = IpAddressText(ipv6.sin6_addr.s6_addr, sizeof ipv6.sin6_addr.s6_addr);
    peer.port = ntohs(ipv6.sin6_port);
    char zone[IF_NAMESIZE] = {};
    if (ipv6.sin6_scope_id != 0 && IsIpv6Text(peer.address) && ::if_indextoname(ipv6.sin6_scope_id, zone))
        peer.address += wxString("%") + zone;
    return true;
}

std::unique_ptr<Watch> Adopt(wxSocketBase* socket, ReadyHandler ready)
{
    const int fd = static_cast<int>(socket->GetSocket());
    // A blocking socket is one the toolkit does not watch; this watches it
    // instead and never waits on it.
    socket->SetFlags(wxSOCKET_BLOCK);
    int on = 1;
    ::ioctl(fd, FIONBIO, &on);
    // Answers from the device go out at once, not when Nagle allows.
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    const int idle = kKeepAliveIdleSeconds, interval = kKeepAliveIntervalSeconds, probes = kKeepAliveProbes;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    return std::make_unique<FdWatch>(fd, std::move(ready));
}

bool Wanted(const Watch& watch, SFile::OtherWait& wanted)
{
    const auto& watched = static_cast<const FdWatch&>(watch);
    if (watched.stopped || (!watched.input && !watched.output))
        return false;
    wanted.handle = watched.fd;
    wanted.input = watched.input;
    wanted.output = watched.output;
    return true;
}

long Send(wxSocketBase* socket, const unsigned char* bytes, std::size_t count)
{
    for (;;)
    {
        const ssize_t sent = ::send(socket->GetSocket(), bytes, count, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0)
            return static_cast<long>(sent);
        if (errno != EINTR)
            return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

long Receive(wxSocketBase* socket, unsigned char* buffer, std::size_t size)
{
    for (;;)
    {
        const ssize_t got = ::recv(socket->GetSocket(), buffer, size, MSG_DONTWAIT);
        if (got > 0)
            return static_cast<long>(got);
        if (got == 0)
            return -1;
        if (errno != EINTR)
            return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

void Shut(wxSocketBase* socket)
{
    ::shutdown(socket->GetSocket(), SHUT_RDWR);
}

bool PeerHasClosed(wxSocketBase* socket)
{
    pollfd entry{static_cast<int>(socket->GetSocket()), POLLRDHUP, 0};
    return ::poll(&entry, 1, 0) == 1 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}
} // namespace client_io
