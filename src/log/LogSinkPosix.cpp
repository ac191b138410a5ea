#include "LogSinkOs.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace log_sink_os
{
int OpenEmpty(const std::string& path, std::string& error)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
    {
        error = std::strerror(errno);
        return kNoSink;
    }
    return fd;
}

bool MoveAside(const std::string& from, const std::string& to)
{
    struct stat facts{};
    return ::stat(from.c_str(), &facts) == 0 && S_ISREG(facts.st_mode) && std::rename(from.c_str(), to.c_str()) == 0;
}

int StandardError()
{
    struct stat facts{};
    if (::fstat(STDERR_FILENO, &facts) != 0)
        return kNoSink;
    if (S_ISFIFO(facts.st_mode) || S_ISSOCK(facts.st_mode))
    {
        const int flags = ::fcntl(STDERR_FILENO, F_GETFL);
        if (flags != -1)
            ::fcntl(STDERR_FILENO, F_SETFL, flags | O_NONBLOCK);
    }
    return STDERR_FILENO;
}

WriteResult Write(int sink, const char* data, std::size_t size)
{
    while (size > 0)
    {
        const ssize_t written = ::write(sink, data, size);
        if (written > 0)
        {
            data += written;
            size -= static_cast<std::size_t>(written);
        }
        else if (written < 0 && errno == EINTR)
            continue;
        else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return WriteResult::Busy;
        else
            return WriteResult::Failed;
    }
    return WriteResult::Written;
}

void Close(int sink)
{
    ::close(sink);
}
} // namespace log_sink_os
