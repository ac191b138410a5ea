#include "LogThrottle.h"

#include "Logger.h"

#include <wx/thread.h>

LogThrottle::LogThrottle(std::chrono::milliseconds window) : m_window(window) {}

LogThrottle::~LogThrottle()
{
    Stop();
}

bool LogThrottle::Allow(const wxString& cause)
{
    const auto now = std::chrono::steady_clock::now();
    const std::lock_guard<std::mutex> lock(m_mutex);
    Window& window = m_causes[cause];
    if (window.lines == 0)
        window.start = now;
    if (window.lines < kLinesPerWindow)
    {
        ++window.lines;
        Arm();
        return true;
    }
    ++window.left;
    return false;
}

void LogThrottle::Arm()
{
    if (wxThread::IsMain())
    {
        if (!IsRunning())
            Start(static_cast<int>(m_window.count()), wxTIMER_ONE_SHOT);
        return;
    }
    // A timer starts on the GUI thread only.
    if (m_armPosted)
        return;
    m_armPosted = true;
    CallAfter([this] {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_armPosted = false;
        Arm();
    });
}

void LogThrottle::Notify()
{
    const auto now = std::chrono::steady_clock::now();
    const std::lock_guard<std::mutex> lock(m_mutex);
    auto next = m_window;
    for (auto cause = m_causes.begin(); cause != m_causes.end();)
    {
        const auto age = std::chrono::duration_cast<std::chrono::milliseconds>(now - cause->second.start);
        if (age < m_window)
        {
            next = std::min(next, m_window - age);
            ++cause;
            continue;
        }
        if (cause->second.left > 0)
        {
            const wxString span = m_window == std::chrono::minutes(1)
                                      ? wxString("minute")
                                      : wxString::Format("%lld ms", static_cast<long long>(m_window.count()));
            Logger::message("%s: %u more in the last %s", cause->first, cause->second.left, span);
        }
        cause = m_causes.erase(cause);
    }
    if (!m_causes.empty())
        Start(static_cast<int>(std::max<long long>(next.count(), 1)), wxTIMER_ONE_SHOT);
}
