#include "TcpClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <random>
#include <set>

namespace
{
// An IPv4 or IPv6 address and port; its length, 0 when text is neither.
socklen_t Address(const char* text, unsigned short port, sockaddr_storage& where)
{
    where = {};
    auto& ipv6 = reinterpret_cast<sockaddr_in6&>(where);
    if (::inet_pton(AF_INET6, text, &ipv6.sin6_addr) == 1)
    {
        ipv6.sin6_family = AF_INET6;
        ipv6.sin6_port = htons(port);
        return sizeof ipv6;
    }
    auto& ipv4 = reinterpret_cast<sockaddr_in&>(where);
    if (::inet_pton(AF_INET, text, &ipv4.sin_addr) != 1)
        return 0;
    ipv4.sin_family = AF_INET;
    ipv4.sin_port = htons(port);
    return sizeof ipv4;
}
} // namespace

TcpClient::~TcpClient()
{
    Close();
}

std::string TcpClient::LocalName() const
{
    sockaddr_storage local{};
    socklen_t size = sizeof local;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &size);
    char address[INET6_ADDRSTRLEN] = {};
    if (local.ss_family == AF_INET6)
    {
        const auto& ipv6 = reinterpret_cast<const sockaddr_in6&>(local);
        ::inet_ntop(AF_INET6, &ipv6.sin6_addr, address, sizeof address);
        return "[" + std::string(address) + "]:" + std::to_string(ntohs(ipv6.sin6_port));
    }
    const auto& ipv4 = reinterpret_cast<const sockaddr_in&>(local);
    ::inet_ntop(AF_INET, &ipv4.sin_addr, address, sizeof address);
    return std::string(address) + ":" + std::to_string(ntohs(ipv4.sin_port));
}

bool TcpClient::Connect(unsigned short port, const char* from, int receiveBuffer, const char* to)
{
    Close();
    m_received.clear();
    m_peerClosed = false;
    sockaddr_storage local{}, remote{};
    const socklen_t remoteLength = Address(to, port, remote);
    // The local address follows the remote one's family: ::1 for IPv6.
    const socklen_t localLength = Address(remote.ss_family == AF_INET6 ? "::1" : from, 0, local);
    if (remoteLength == 0 || localLength == 0)
        return false;
    m_fd = ::socket(remote.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return false;
    if (receiveBuffer > 0)
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&local), localLength) != 0)
        return false;
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&remote), remoteLength) != 0 && errno != EINPROGRESS)
        return false;
    pollfd entry{m_fd, POLLOUT, 0};
    if (::poll(&entry, 1, 5000) != 1)
        return false;
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0)
        return false;
    // A port that nothing listens on yet can be the one the system picks for
    // this end, which then connects to itself and holds the port.
    sockaddr_storage self{};
    length = sizeof self;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&self), &length);
    if (length == remoteLength && std::memcmp(&self, &remote, remoteLength) == 0)
    {
        Close();
        return false;
    }
    return true;
}

bool TcpClient::Listen(unsigned short port, const char* address)
{
    Close();
    sockaddr_storage where{};
    const socklen_t length = Address(address, port, where);
    m_fd = length ? ::socket(where.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
    return m_fd >= 0 && ::bind(m_fd, reinterpret_cast<const sockaddr*>(&where), length) == 0 && ::listen(m_fd, 1) == 0;
}

bool TcpClient::Send(const std::string& bytes, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    size_t sent = 0;
    while (sent < bytes.size())
    {
        const ssize_t put = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (put > 0)
        {
            sent += static_cast<size_t>(put);
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        pollfd entry{m_fd, POLLOUT, 0};
        ::poll(&entry, 1, 10);
    }
    return true;
}

bool TcpClient::Poll()
{
    char buffer[65536];
    while (m_fd >= 0 && !m_peerClosed)
    {
        const ssize_t got = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (got > 0)
            m_received.append(buffer, static_cast<size_t>(got));
        else if (got == 0 || (errno != EAGAIN && errno != EINTR))
            m_peerClosed = true;
        else if (errno == EAGAIN)
            break;
    }
    return !m_peerClosed;
}

bool TcpClient::Drain()
{
    Poll();
    m_received.clear();
    return !m_peerClosed;
}

void TcpClient::Close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void TcpClient::Reset()
{
    if (m_fd < 0)
        return;
    const linger abortive{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    Close();
}

unsigned short FreeTcpPort()
{
    // Below the range the system picks the local ports of connections from,
    // so that no test client can ever be given it for its own end; and free
    // of lingering connections too, for a program that binds without asking
    // to reuse the address. A test that asks for two must get two.
    constexpr unsigned kLowest = 20000, kCount = 12000;
    static std::set<unsigned short> handedOut;
    static std::mt19937 random(static_cast<unsigned>(::getpid()) * 7919u + static_cast<unsigned>(::time(nullptr)));
    for (;;)
    {
        const auto port = static_cast<unsigned short>(kLowest + random() % kCount);
        if (handedOut.count(port))
            continue;
        // Free in both families, as bridges listen on both where they can.
        bool free = true;
        for (const char* any : {"0.0.0.0", "::"})
        {
            sockaddr_storage where{};
            const socklen_t length = Address(any, port, where);
            const int probe = ::socket(where.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (probe < 0)
                continue; // no such family here
            const int only = 1;
            ::setsockopt(probe, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
            free = free && ::bind(probe, reinterpret_cast<const sockaddr*>(&where), length) == 0;
            ::close(probe);
        }
        if (free)
        {
            handedOut.insert(port);
            return port;
        }
    }
}
