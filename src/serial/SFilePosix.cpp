// The serial device on POSIX terminals: a non-blocking file descriptor, locked
// with flock (which also holds against root, who ignores TIOCEXCL), termios in
// raw mode, and poll for every bounded wait.

#include "SFileOs.h"
#include "SFilePosix.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace sfile_os
{
struct Waker
{
    int readFd;
    int writeFd;
};

namespace
{
using Clock = std::chrono::steady_clock;
const char kInUse[] = "the port is in use by another program";
constexpr unsigned long kTimerSlackNanos = 1000;

struct BaudSpeed
{
    int baud;
    speed_t speed;
};

const BaudSpeed kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000},
    {4000000, B4000000},
#endif
};

std::string ErrnoText(int error)
{
    char text[256] = {};
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    return strerror_r(error, text, sizeof text);
#else
    strerror_r(error, text, sizeof text);
    return text;
#endif
}

int Fd(Handle handle)
{
    return static_cast<int>(handle);
}

bool SpeedFor(int baud, speed_t& speed)
{
    for (const BaudSpeed& entry : kSpeeds)
    {
        if (entry.baud == baud)
        {
            speed = entry.speed;
            return true;
        }
    }
    return false;
}

int PollTimeout(std::uint32_t timeoutMs)
{
    if (timeoutMs == SFile::kInfinite)
        return -1;
    return timeoutMs > static_cast<std::uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(timeoutMs);
}

void Drain(int fd)
{
    char scratch[64];
    while (::read(fd, scratch, sizeof scratch) > 0)
    {
    }
}

unsigned QueuedBytes(int fd)
{
    int count = 0;
    if (::ioctl(fd, FIONREAD, &count) != 0 || count < 0)
        return 0;
    return static_cast<unsigned>(count);
}
} // namespace

std::string PortLabel(const std::string& portName)
{
    return SFile::DevicePath(portName);
}

Handle Open(const std::string& portName, std::string& error)
{
    const std::string path = SFile::DevicePath(portName);
    if (path.empty())
    {
        error = "no port name";
        return SFile::kInvalidHandle;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
    {
        // EBUSY: another program holds the port with TIOCEXCL.
        error = errno == EBUSY ? kInUse : ErrnoText(errno);
        return SFile::kInvalidHandle;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
    {
        const int cause = errno;
        ::close(fd);
        error = cause == EWOULDBLOCK ? kInUse : ErrnoText(cause);
        return SFile::kInvalidHandle;
    }
    if (::ioctl(fd, TIOCEXCL) != 0)
    {
        const int cause = errno;
        ::close(fd);
        error = cause == ENOTTY ? "not a serial port" : ErrnoText(cause);
        return SFile::kInvalidHandle;
    }
    return fd;
}

bool ApplyMode(const std::string& mode, termios& settings, std::string& error)
{
    SFile::LineSettings line;
    if (!SFile::ParseMode(mode, line))
    {
        error = "invalid mode \"" + mode + "\"";
        return false;
    }
    speed_t speed = B9600;
    if (!SpeedFor(line.baud, speed))
    {
        error = "unsupported baud rate " + std::to_string(line.baud);
        return false;
    }

    ::cfmakeraw(&settings);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    settings.c_cflag |= CLOCAL | CREAD;
    switch (line.dataBits)
    {
    case 5: settings.c_cflag |= CS5; break;
    case 6: settings.c_cflag |= CS6; break;
    case 7: settings.c_cflag |= CS7; break;
    default: settings.c_cflag |= CS8; break;
    }
    if (line.parity == 'E')
        settings.c_cflag |= PARENB;
    else if (line.parity == 'O')
        settings.c_cflag |= PARENB | PARODD;
    if (line.stopBits == 2)
        settings.c_cflag |= CSTOPB;
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    if (::cfsetispeed(&settings, speed) != 0 || ::cfsetospeed(&settings, speed) != 0)
    {
        error = ErrnoText(errno);
        return false;
    }
    return true;
}

bool Configure(Handle handle, const std::string& mode, std::string& error)
{
    const int fd = Fd(handle);
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0)
    {
        error = ErrnoText(errno);
        return false;
    }
    if (!ApplyMode(mode, settings, error))
        return false;
    if (::tcsetattr(fd, TCSANOW, &settings) != 0)
    {
        error = ErrnoText(errno);
        return false;
    }

    // Pseudo-terminals refuse modem-line ioctls; that is not a failure.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd, TIOCMBIC, &lines);
    return true;
}

bool DisableTimeouts(Handle, std::string&)
{
    // Reads here never block in the driver; every wait is a poll of our own.
    return true;
}

bool IsPseudoTerminal(Handle handle)
{
    // Linux gives the slave sides of pseudo-terminals the majors 136 to 143.
    constexpr unsigned kFirstPtyMajor = 136;
    constexpr unsigned kLastPtyMajor = 143;
    struct stat info;
    if (::fstat(Fd(handle), &info) != 0 || !S_ISCHR(info.st_mode))
        return false;
    const unsigned deviceMajor = major(info.st_rdev);
    return deviceMajor >= kFirstPtyMajor && deviceMajor <= kLastPtyMajor;
}

bool Purge(Handle handle)
{
    return ::tcflush(Fd(handle), TCIOFLUSH) == 0;
}

unsigned InQueue(Handle handle)
{
    return QueuedBytes(Fd(handle));
}

bool Read(Handle handle, void* buffer, unsigned count, unsigned* bytesRead, std::uint32_t timeoutMs,
          std::uint32_t retries)
{
    const int fd = Fd(handle);
    auto* bytes = static_cast<unsigned char*>(buffer);
    unsigned total = 0;
    std::uint32_t timeouts = 0;
    bool failed = false;
    while (total < count && !failed)
    {
        const ssize_t got = ::read(fd, bytes + total, count - total);
        if (got > 0)
        {
            total += static_cast<unsigned>(got);
            continue;
        }
        if (got == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK))
        {
            failed = true; // end of file: the other side hung up
            continue;
        }
        if (errno == EINTR)
            continue;
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, PollTimeout(timeoutMs));
        if (ready < 0)
            failed = errno != EINTR;
        else if (ready == 0)
            failed = ++timeouts > retries;
        else if (entry.revents & (POLLERR | POLLNVAL))
            failed = true;
    }
    if (bytesRead)
        *bytesRead = total;
    return !failed;
}

bool Write(Handle handle, const void* buffer, unsigned count, unsigned* bytesWritten, std::uint32_t timeoutMs)
{
    const int fd = Fd(handle);
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    unsigned total = 0;
    bool failed = false;
    while (total < count && !failed)
    {
        const ssize_t put = ::write(fd, bytes + total, count - total);
        if (put > 0)
        {
            total += static_cast<unsigned>(put);
            continue;
        }
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
        {
            failed = true;
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
        {
            failed = true;
            continue;
        }
        pollfd entry{fd, POLLOUT, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left));
        if (ready < 0)
            failed = errno != EINTR;
        else if (ready == 0 || (entry.revents & (POLLERR | POLLHUP | POLLNVAL)))
            failed = true;
    }
    if (bytesWritten)
        *bytesWritten = total;
    return !failed;
}

bool ReadAvailable(Handle handle, void* buffer, unsigned count, unsigned* bytesRead)
{
    // The descriptor does not block: one read takes what is there.
    ssize_t got = 0;
    do
        got = ::read(Fd(handle), buffer, count);
    while (got < 0 && errno == EINTR);
    const bool failed = got == 0 ? count > 0 : (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    if (bytesRead)
        *bytesRead = got > 0 ? static_cast<unsigned>(got) : 0;
    return !failed;
}

bool WriteAvailable(Handle handle, const void* buffer, unsigned count, unsigned* bytesWritten)
{
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    unsigned total = 0;
    bool failed = false;
    while (total < count)
    {
        const ssize_t put = ::write(Fd(handle), bytes + total, count - total);
        if (put > 0)
            total += static_cast<unsigned>(put);
        else if (put < 0 && errno == EINTR)
            continue;
        else
        {
            failed = put == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
            break;
        }
    }
    if (bytesWritten)
        *bytesWritten = total;
    return !failed;
}

bool WritesWithoutWaiting()
{
    return true;
}

SFile::WaitResult Wait(Handle handle, Waker* waker, unsigned timeoutMicros, bool forOutput)
{
#ifdef PR_SET_TIMERSLACK
    // The waits between characters last tens of microseconds; the default
    // timer slack of 50 us would double them. Once per waiting thread.
    static thread_local const bool tightTimers = ::prctl(PR_SET_TIMERSLACK, kTimerSlackNanos) == 0;
    (void)tightTimers;
#endif
    pollfd entries[2];
    nfds_t used = 0;
    const bool hasDevice = handle != SFile::kInvalidHandle;
    if (hasDevice)
        entries[used++] = pollfd{Fd(handle), static_cast<short>(POLLIN | (forOutput ? POLLOUT : 0)), 0};
    if (waker)
        entries[used++] = pollfd{waker->readFd, POLLIN, 0};

    const timespec timeout{static_cast<time_t>(timeoutMicros / 1000000),
                           static_cast<long>(timeoutMicros % 1000000) * 1000};
    const int ready = ::ppoll(entries, used, &timeout, nullptr);
    if (ready < 0)
        return errno == EINTR ? SFile::WaitResult::TimedOut : SFile::WaitResult::Failed;
    if (ready == 0)
        return SFile::WaitResult::TimedOut;
    if (waker && entries[used - 1].revents)
    {
        Drain(waker->readFd);
        return SFile::WaitResult::Interrupted;
    }
    const short events = entries[0].revents;
    // A hang-up may still leave bytes behind; hand those out first.
    if ((events & (POLLHUP | POLLERR | POLLNVAL)) && QueuedBytes(Fd(handle)) == 0)
        return SFile::WaitResult::Failed;
    if (!(events & POLLIN) && (events & POLLOUT))
        return SFile::WaitResult::Writable;
    return SFile::WaitResult::Readable;
}

void Close(Handle handle)
{
    const int fd = Fd(handle);
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

Waker* CreateWaker()
{
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        return nullptr;
    return new Waker{fds[0], fds[1]};
}

void DestroyWaker(Waker* waker)
{
    if (!waker)
        return;
    ::close(waker->readFd);
    ::close(waker->writeFd);
    delete waker;
}

void Wake(Waker* waker)
{
    if (!waker)
        return;
    const char signal = 1;
    // A full pipe already holds a pending wake-up.
    [[maybe_unused]] const ssize_t ignored = ::write(waker->writeFd, &signal, 1);
}
} // namespace sfile_os
