// Waits on POSIX: one poll for the port, the pipe that interrupts it, and
// whatever else the caller watches beside them.

#include "SFileOs.h"
#include "SFilePosix.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <vector>

namespace sfile_os
{
struct Waker
{
    int readFd;
    int writeFd;
};

namespace
{
constexpr unsigned long kTimerSlackNanos = 1000;

void Drain(int fd)
{
    char scratch[64];
    while (::read(fd, scratch, sizeof scratch) > 0)
    {
    }
}
} // namespace

// A device that goes (a USB adapter pulled out, a pseudo-terminal's far end
// closed) hangs up its descriptor, which poll reports.
bool WaitsSeeLostPorts()
{
    return true;
}

bool WaitsForOthers()
{
    return true;
}

SFile::WaitResult Wait(Handle handle, Waker* waker, unsigned timeoutMicros, bool forOutput,
                       std::vector<SFile::OtherWait>* others)
{
#ifdef PR_SET_TIMERSLACK
    // The waits between characters last tens of microseconds; the default
    // timer slack of 50 us would double them. Once per waiting thread.
    static thread_local const bool tightTimers = ::prctl(PR_SET_TIMERSLACK, kTimerSlackNanos) == 0;
    (void)tightTimers;
#endif
    // Kept from wait to wait, so that a worker's waits allocate nothing.
    static thread_local std::vector<pollfd> entries;
    entries.clear();
    const bool hasDevice = handle != SFile::kInvalidHandle;
    if (hasDevice)
        entries.push_back(pollfd{static_cast<int>(handle), static_cast<short>(POLLIN | (forOutput ? POLLOUT : 0)), 0});
    const std::size_t wakerAt = entries.size();
    if (waker)
        entries.push_back(pollfd{waker->readFd, POLLIN, 0});
    const std::size_t othersAt = entries.size();
    if (others)
    {
        for (const SFile::OtherWait& other : *others)
            entries.push_back(pollfd{static_cast<int>(other.handle),
                                     static_cast<short>((other.input ? POLLIN : 0) | (other.output ? POLLOUT : 0)),
                                     0});
    }

    const timespec timeout{static_cast<time_t>(timeoutMicros / 1000000),
                           static_cast<long>(timeoutMicros % 1000000) * 1000};
    const int ready =
        ::ppoll(entries.data(), entries.size(), timeoutMicros == SFile::kForever ? nullptr : &timeout, nullptr);
    bool otherReady = false;
    if (others)
    {
        for (std::size_t i = 0; i < others->size(); ++i)
        {
            (*others)[i].ready = ready > 0 && entries[othersAt + i].revents != 0;
            otherReady = otherReady || (*others)[i].ready;
        }
    }
    if (ready < 0)
        return errno == EINTR ? SFile::WaitResult::TimedOut : SFile::WaitResult::Failed;
    if (ready == 0)
        return SFile::WaitResult::TimedOut;
    if (waker && entries[wakerAt].revents)
    {
        Drain(waker->readFd);
        return SFile::WaitResult::Interrupted;
    }
    const short events = hasDevice ? entries[0].revents : 0;
    if (events == 0)
        return otherReady ? SFile::WaitResult::Other : SFile::WaitResult::TimedOut;
    // A hang-up may still leave bytes behind; hand those out first.
    if ((events & (POLLHUP | POLLERR | POLLNVAL)) && QueuedBytes(static_cast<int>(handle)) == 0)
        return SFile::WaitResult::Failed;
    if (!(events & POLLIN) && (events & POLLOUT))
        return SFile::WaitResult::Writable;
    return SFile::WaitResult::Readable;
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
