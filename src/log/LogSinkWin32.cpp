// The log's sinks on the C runtime's descriptors. Windows offers no
// non-blocking mode for them: standard error is written as it is, and a GUI
// program there usually has none.

#include "LogSinkOs.h"

#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

namespace log_sink_os
{
int OpenEmpty(const std::string& path, std::string& error)
{
    const int fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
                         _S_IREAD | _S_IWRITE);
    if (fd < 0)
    {
        error = std::strerror(errno);
        return kNoSink;
    }
    return fd;
}

bool MoveAside(const std::string& from, const std::string& to)
{
    const DWORD attributes = GetFileAttributesA(from.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

int StandardError()
{
    const int fd = _fileno(stderr);
    return fd >= 0 ? fd : kNoSink;
}

WriteResult Write(int sink, const char* data, std::size_t size)
{
    while (size > 0)
    {
        const unsigned chunk = size > INT_MAX ? INT_MAX : static_cast<unsigned>(size);
        const int written = _write(sink, data, chunk);
        if (written <= 0)
            return WriteResult::Failed;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return WriteResult::Written;
}

void Close(int sink)
{
    _close(sink);
}
} // namespace log_sink_os
