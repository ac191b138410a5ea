#pragma once

#include <wx/string.h>

#include <cstdint>

// The process's log: every message goes to "filelog.txt" in the root
// directory (the working directory) and to standard error, one line each, in
// the toolkit's line format. Never instantiated.
//
// The previous run's file is kept as "filelog.txt.1", and so is the running
// file once it passes kRotateBytes, when a new one is started.
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
    static constexpr std::uint64_t kRotateBytes = 10 * 1024 * 1024;

    virtual ~Logger() = default;
    Logger() = delete;

    // Installs the log: the previous file moved aside, a new empty one and
    // standard error. Call once, before anything is logged; tests may give a
    // smaller rotation size.
    static void initLog(std::uint64_t rotateBytes = kRotateBytes);

    // text with each control character written as \n, \r, \t or \xHH, so
    // that a value from outside (a port name with a newline in it) can
    // neither split a line nor send a terminal commands. Every logged line
    // goes through it.
    static wxString EscapeControls(const wxString& text);

    // Logs text at the message level, as it stands.
    static void message(const wxString& text);

    // Formats printf-style, then logs at the message level.
    template <typename... Args>
    static void message(const wxFormatString& format, Args... args)
    {
        message(wxString::Format(format, args...));
    }
};
