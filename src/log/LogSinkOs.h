#pragma once

// The operating-system side of the log's two sinks, the file and standard
// error: one implementation per platform (LogSinkPosix.cpp, LogSinkWin32.cpp),
// chosen by the build. A sink is a descriptor; kNoSink is none.

#include <cstddef>
#include <string>

namespace log_sink_os
{
constexpr int kNoSink = -1;

// Opens path for writing, created or emptied; kNoSink with the cause in
// error when that fails.
int OpenEmpty(const std::string& path, std::string& error);

// Renames the regular file from to to, replacing to; false when from is
// missing, is not a regular file or cannot be renamed.
bool MoveAside(const std::string& from, const std::string& to);

// Standard error, or kNoSink when the process has none. A pipe or a socket
// is made non-blocking, so that a reader who stops reading cannot stall the
// process.
int StandardError();

enum class WriteResult
{
    Written,
    Busy,  // a non-blocking sink is full: what it did not take is dropped
    Failed // the sink cannot be written any more
};
WriteResult Write(int sink, const char* data, std::size_t size);

void Close(int sink);
} // namespace log_sink_os
