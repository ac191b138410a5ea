#include "PtyPair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace
{
using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}
} // namespace

PtyPair::PtyPair() : m_master(-1), m_slave(-1)
{
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0)
    {
        m_master = m_slave = -1;
        return;
    }
    m_slavePath = name;
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
}

PtyPair::~PtyPair()
{
    CloseMaster();
    if (m_slave >= 0)
        ::close(m_slave);
}

bool PtyPair::Send(const std::string& bytes, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    size_t sent = 0;
    while (sent < bytes.size())
    {
        const ssize_t put = ::write(m_master, bytes.data() + sent, bytes.size() - sent);
        if (put > 0)
        {
            sent += static_cast<size_t>(put);
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd entry{m_master, POLLOUT, 0};
        if (::poll(&entry, 1, MillisecondsLeft(deadline)) <= 0 && Clock::now() >= deadline)
            return false;
    }
    return true;
}

std::string PtyPair::Receive(size_t count, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    std::string received;
    char buffer[4096];
    while (received.size() < count)
    {
        const ssize_t got = ::read(m_master, buffer, std::min(sizeof buffer, count - received.size()));
        if (got > 0)
        {
            received.append(buffer, static_cast<size_t>(got));
            continue;
        }
        if (got < 0 && errno != EAGAIN && errno != EINTR)
            break;
        pollfd entry{m_master, POLLIN, 0};
        if (::poll(&entry, 1, MillisecondsLeft(deadline)) <= 0 && Clock::now() >= deadline)
            break;
    }
    return received;
}

std::string PtyPair::ReceiveUntilQuiet(std::chrono::milliseconds quiet)
{
    std::string received;
    char buffer[4096];
    for (;;)
    {
        pollfd entry{m_master, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(quiet.count())) <= 0)
            return received;
        const ssize_t got = ::read(m_master, buffer, sizeof buffer);
        if (got <= 0)
            return received;
        received.append(buffer, static_cast<size_t>(got));
    }
}

std::string PtyPair::ReceiveAvailable()
{
    std::string received;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(m_master, buffer, sizeof buffer)) > 0)
        received.append(buffer, static_cast<size_t>(got));
    return received;
}

void PtyPair::CloseMaster()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

std::size_t PtyPair::FillUnread()
{
    ::fcntl(m_slave, F_SETFL, ::fcntl(m_slave, F_GETFL) | O_NONBLOCK);
    std::size_t filled = 0;
    const std::string zeros(4096, '\0');
    for (int refused = 0; refused < 3;)
    {
        const ssize_t put = ::write(m_slave, zeros.data(), zeros.size());
        refused = put > 0 ? 0 : refused + 1;
        filled += put > 0 ? static_cast<std::size_t>(put) : 0;
        if (put <= 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(20)); // the terminal may still make room
    }
    return filled;
}
