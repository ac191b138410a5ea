#include "ProcessSetup.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace
{
void OpenClosedStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
    {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // open takes the lowest free number, which is fd: those below it are open by now.
        ::open("/dev/null", O_RDWR);
    }
}

void RaiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max)
        return;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit); // refused, the old limit stands, which still works
}
} // namespace

void PrepareProcess()
{
    // Every write checks its result; EPIPE is handled there.
    std::signal(SIGPIPE, SIG_IGN);
    OpenClosedStandardDescriptors();
    RaiseDescriptorLimit();
}
