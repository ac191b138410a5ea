#pragma once

#include <wx/string.h>
#include <wx/timer.h>

#include <chrono>
#include <map>
#include <mutex>

// Keeps one cause that repeats (a port scanner, a client that retries for
// ever, a descriptor limit) from filling the log: at most kLinesPerWindow
// lines per cause in a window of time; the lines beyond are counted, and when
// the window ends one line says how many were left out. Allow may be called
// on any thread; the summary lines are written on the GUI thread.
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
    // Starts the timer that closes the windows, from any thread.
    void Arm();

    struct Window
    {
        std::chrono::steady_clock::time_point start;
        unsigned lines = 0;
        unsigned left = 0; // lines left out
    };

    const std::chrono::milliseconds m_window;
    std::mutex m_mutex;                  // guards the two below
    std::map<wxString, Window> m_causes; // with a window open
    bool m_armPosted = false;            // another thread asked this one to start the timer
};
