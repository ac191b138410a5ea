#include "RelayTimer.h"

#include "serial/SFile.h"

#include <algorithm>

RelayTimer::RelayTimer(bool onWorker, std::function<void()> tick)
    : m_onWorker(onWorker), m_tick(std::move(tick)), m_timer(this)
{
    Bind(wxEVT_TIMER, [this](wxTimerEvent&) { m_tick(); }, m_timer.GetId());
}

void RelayTimer::Start(int intervalMs)
{
    if (!m_onWorker)
    {
        m_timer.Start(intervalMs);
        return;
    }
    m_running = true;
    m_interval = std::chrono::milliseconds(intervalMs);
    m_due = Clock::now() + m_interval;
}

void RelayTimer::Stop()
{
    if (m_onWorker)
        m_running = false;
    else
        m_timer.Stop();
}

bool RelayTimer::IsRunning() const
{
    return m_onWorker ? m_running : m_timer.IsRunning();
}

unsigned RelayTimer::MicrosLeft(Clock::time_point now) const
{
    if (!m_running)
        return SFile::kForever;
    if (m_due <= now)
        return 0;
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(m_due - now).count();
    // Rounded up, so that the wait does not end just short of the tick.
    return static_cast<unsigned>(std::min<long long>(left + 1, SFile::kForever - 1));
}

void RelayTimer::TickIfDue(Clock::time_point now)
{
    if (!m_running || m_due > now)
        return;
    m_due = now + m_interval;
    m_tick();
}
