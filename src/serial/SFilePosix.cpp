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
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>


namespace sfile_os
{
namespace
{
using Clock = std::chrono::steady_clock;
const char kInUse[] = "the port is in use by another program";
// Parity bit always 1 (with PARODD) or 0: mark and space parity.
#ifdef CMSPAR
constexpr tcflag_t kStickParity = CMSPAR;
#else
constexpr tcflag_t kStickParity = 0;
#endif

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

int BaudOf(speed_t speed)
{
    for (const BaudSpeed& entry : kSpeeds)
    {
        if (entry.speed == speed)
            return entry.baud;
    }
    return 0;
}

// Sets the speed and frame of settings, leaving every other flag alone.
bool ApplyLine(const SFile::LineSettings& line, termios& settings, std::string& error)
{
    speed_t speed = B9600;
    if (!SpeedFor(line.baud, speed))
    {
        error = "unsupported baud rate " + std::to_string(line.baud);
        return false;
    }
    if (line.stopBits == SFile::kOneAndHalfStopBits)
    {
        error = "1.5 stop bits are not available here";
        return false;
    }
    if (kStickParity == 0 && (line.parity == 'M' || line.parity == 'S'))
    {
        error = "mark and space parity are not available here";
        return false;
    }
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | kStickParity | CSTOPB);
    switch (line.dataBits)
    {
    case 5: settings.c_cflag |= CS5; break;
    case 6: settings.c_cflag |= CS6; break;
    case 7: settings.c_cflag |= CS7; break;
    default: settings.c_cflag |= CS8; break;
    }
    switch (line.parity)
    {
    case 'E': settings.c_cflag |= PARENB; break;
    case 'O': settings.c_cflag |= PARENB | PARODD; break;
    case 'M': settings.c_cflag |= PARENB | kStickParity | PARODD; break;
    case 'S': settings.c_cflag |= PARENB | kStickParity; break;
    default: break;
    }
    if (line.stopBits == 2)
        settings.c_cflag |= CSTOPB;
    if (::cfsetispeed(&settings, speed) != 0 || ::cfsetospeed(&settings, speed) != 0)
    {
        error = ErrnoText(errno);
        return false;
    }
    return true;
}

void ApplyFlowControl(const SFile::FlowControl& flow, termios& settings)
{
    settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (flow.hardware)
        settings.c_cflag |= CRTSCTS;
    if (flow.software)
    {
        // Another program may have moved them; the far end expects these.
        constexpr cc_t kXon = 0x11;
        constexpr cc_t kXoff = 0x13;
        settings.c_iflag |= IXON | IXOFF;
        settings.c_cc[VSTART] = kXon;
        settings.c_cc[VSTOP] = kXoff;
    }
}

// tcgetattr, change, tcsetattr.
template <typename Change>
bool ChangeSettings(Handle handle, Change change, std::string& error)
{
    termios settings{};
    if (::tcgetattr(Fd(handle), &settings) != 0)
    {
        error = ErrnoText(errno);
        return false;
    }
    if (!change(settings))
        return false;
    if (::tcsetattr(Fd(handle), TCSANOW, &settings) == 0)
        return true;
    const int cause = errno;
    // The C library reads the settings back and calls it EINVAL when the
    // driver changed the character size or parity, as a pseudo-terminal
    // does. The rest has been applied then: the device merely keeps a frame
    // of its own, which is no refusal.
    const tcflag_t frame = CSIZE | PARENB | PARODD | kStickParity;
    termios held{};
    if (cause == EINVAL && ::tcgetattr(Fd(handle), &held) == 0 &&
        (held.c_cflag & ~frame) == (settings.c_cflag & ~frame) && held.c_iflag == settings.c_iflag &&
        ::cfgetospeed(&held) == ::cfgetospeed(&settings) && ::cfgetispeed(&held) == ::cfgetispeed(&settings))
        return true;
    error = ErrnoText(cause);
    return false;
}

int PollTimeout(std::uint32_t timeoutMs)
{
    if (timeoutMs == SFile::kInfinite)
        return -1;
    return timeoutMs > static_cast<std::uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(timeoutMs);
}

} // namespace

unsigned QueuedBytes(int fd)
{
    int count = 0;
    if (::ioctl(fd, FIONREAD, &count) != 0 || count < 0)
        return 0;
    return static_cast<unsigned>(count);
}
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
    ::cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    ApplyFlowControl(SFile::FlowControl(), settings);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    return ApplyLine(line, settings, error);
}

bool Configure(Handle handle, const std::string& mode, std::string& error)
{
    if (!ChangeSettings(handle, [&](termios& settings) { return ApplyMode(mode, settings, error); }, error))
        return false;
    // Pseudo-terminals refuse modem-line ioctls; that is not a failure.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(Fd(handle), TIOCMBIC, &lines);
    return true;
}

bool GetSettings(Handle handle, SFile::LineSettings& line, SFile::FlowControl& flow, std::string& error)
{
    termios settings{};
    if (::tcgetattr(Fd(handle), &settings) != 0)
    {
        error = ErrnoText(errno);
        return false;
    }
    line.baud = BaudOf(::cfgetospeed(&settings));
    switch (settings.c_cflag & CSIZE)
    {
    case CS5: line.dataBits = 5; break;
    case CS6: line.dataBits = 6; break;
    case CS7: line.dataBits = 7; break;
    default: line.dataBits = 8; break;
    }
    const bool odd = settings.c_cflag & PARODD;
    line.parity = 'N';
    if (settings.c_cflag & PARENB)
        line.parity = odd ? 'O' : 'E';
    // A pseudo-terminal keeps CMSPAR while it clears PARENB.
    if ((settings.c_cflag & PARENB) && (settings.c_cflag & kStickParity))
        line.parity = odd ? 'M' : 'S';
    line.stopBits = (settings.c_cflag & CSTOPB) ? 2 : 1;
    flow.hardware = settings.c_cflag & CRTSCTS;
    flow.software = (settings.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF);
    return true;
}

bool SetLine(Handle handle, const SFile::LineSettings& line, std::string& error)
{
    return ChangeSettings(handle, [&](termios& settings) { return ApplyLine(line, settings, error); }, error);
}

bool SetFlowControl(Handle handle, const SFile::FlowControl& flow, std::string& error)
{
    return ChangeSettings(
        handle,
        [&](termios& settings) {
            ApplyFlowControl(flow, settings);
            return true;
        },
        error);
}

bool SetControl(Handle handle, Control which, bool on, std::string& error)
{
    const int fd = Fd(handle);
    int result = 0;
    if (which == Control::Break)
    {
        result = ::ioctl(fd, on ? TIOCSBRK : TIOCCBRK);
    }
    else
    {
        int line = which == Control::Dtr ? TIOCM_DTR : TIOCM_RTS;
        result = ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line);
    }
    if (result != 0)
        error = ErrnoText(errno);
    return result == 0;
}

bool GetOutputLines(Handle handle, bool& dtr, bool& rts)
{
    int lines = 0;
    if (::ioctl(Fd(handle), TIOCMGET, &lines) != 0)
        return false;
    dtr = lines & TIOCM_DTR;
    rts = lines & TIOCM_RTS;
    return true;
}

bool GetModemLines(Handle handle, SFile::ModemLines& lines, std::string& error)
{
    int bits = 0;
    if (::ioctl(Fd(handle), TIOCMGET, &bits) != 0)
    {
        error = ErrnoText(errno);
        return false;
    }
    lines.cts = bits & TIOCM_CTS;
    lines.dsr = bits & TIOCM_DSR;
    lines.ri = bits & TIOCM_RNG;
    lines.dcd = bits & TIOCM_CAR;
    return true;
}

bool DisableTimeouts(Handle, std::string&)
{
    // Reads here never block in the driver; every wait is a poll of our own.
    return true;
}

bool WaitsForGaps(Handle handle)
{
    // Not on a pseudo-terminal: Linux gives their slave sides the majors 136
    // to 143.
    constexpr unsigned kFirstPtyMajor = 136;
    constexpr unsigned kLastPtyMajor = 143;
    struct stat info;
    if (::fstat(Fd(handle), &info) != 0 || !S_ISCHR(info.st_mode))
        return true;
    const unsigned deviceMajor = major(info.st_rdev);
    return deviceMajor < kFirstPtyMajor || deviceMajor > kLastPtyMajor;
}

bool Purge(Handle handle, SFile::Queues which)
{
    const int queues = which == SFile::Queues::Input ? TCIFLUSH : which == SFile::Queues::Output ? TCOFLUSH : TCIOFLUSH;
    return ::tcflush(Fd(handle), queues) == 0;
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

bool WritesInFlight()
{
    return false;
}

bool TakeWritten(Handle, unsigned* written)
{
    *written = 0;
    return true;
}

void Close(Handle handle)
{
    const int fd = Fd(handle);
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

} // namespace sfile_os
