#pragma once

#include <wx/event.h>
#include <wx/timer.h>

#include <chrono>
#include <functional>

// A repeating timer whose ticks run where its bridge relays: a toolkit timer
// when that is the GUI thread, otherwise a deadline that the serial worker's
// wait keeps (MicrosLeft, TickIfDue). Used on that thread only.
class RelayTimer : public wxEvtHandler
{
public:
    using Clock = std::chrono::steady_clock;

    RelayTimer(bool onWorker, std::function<void()> tick);

    void Start(int intervalMs);
    void Stop();
    bool IsRunning() const;

    // On the worker: microseconds until the next tick, SFile::kForever when
    // stopped; and the tick, when it is due.
    unsigned MicrosLeft(Clock::time_point now) const;
    void TickIfDue(Clock::time_point now);

private:
    const bool m_onWorker;
    const std::function<void()> m_tick;
    wxTimer m_timer;
    bool m_running = false;
    Clock::duration m_interval{};
    Clock::time_point m_due;
};
