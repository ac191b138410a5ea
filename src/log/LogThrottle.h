#pragma once

#include <wx/string.h>
#include <wx/timer.h>

#include <chrono>
#include <map>

// Keeps one cause that repeats (a port scanner, a client that retries for
// ever, a descriptor limit) from filling the log: at most kLinesPerWindow
// lines per cause in a window of time; the lines beyond are counted, and when
// the window ends one line says how many were left out. GUI thread only.
class LogThrottle : private wxTimer
{
public:
    static constexpr unsigned kLinesPerWindow = 10;

    explicit LogThrottle(std::chrono::milliseconds window = std::chrono::minutes(1));
    ~LogThrottle() override;

    // Whether a line of this cause may be written now. cause names it in the
    // summary line: "<cause>: 25 more in the last minute".
    bool Allow(const wxString& cause);

private:
    void Notify() override;

    struct Window
    {
        std::chrono::steady_clock::time_point start;
        unsigned lines = 0;
        unsigned left = 0; // lines left out
    };

    const std::chrono::milliseconds m_window;
    std::map<wxString, Window> m_causes; // with a window open
};
