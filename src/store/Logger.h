#pragma once

#include <wx/string.h>

// The process's log: every message goes to "filelog.txt" in the root
// directory (the working directory) and to standard error, one line each, in
// the toolkit's line format. Never instantiated.
//
// A sink that fails (a full disk, a closed pipe) is dropped without a word
// and the other goes on; a pipe or socket as standard error that cannot take
// a line at once loses that line rather than stall the process.
//
// Threads: messages logged on the main thread are written at once; the
// toolkit buffers those of other threads until the main thread's next idle
// time.
class Logger
{
public:
    virtual ~Logger() = default;
    Logger() = delete;

    // Installs the log: the file (emptied) and standard error. Call once,
    // before anything is logged.
    static void initLog();

    // Logs text at the message level, as it stands.
    static void message(const wxString& text);

    // Formats printf-style, then logs at the message level.
    template <typename... Args>
    static void message(const wxFormatString& format, Args... args)
    {
        message(wxString::Format(format, args...));
    }
};
