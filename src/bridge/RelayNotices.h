#pragma once

#include <wx/event.h>
#include <wx/timer.h>

#include <chrono>

#include <functional>
#include <mutex>
#include <vector>

// Carries a bridge's change notifications from the thread its bytes move on
// to its observers on the GUI thread: every one, in order. The relay never
// waits for the GUI thread: one hand-over at a time is on its way, what is
// added meanwhile goes with it, and hand-overs come at most
// kHandOversPerSecond times a second, so that a busy bridge does not keep
// the GUI thread awake.
//
// Whoever reads the bridge on the GUI thread calls Flush first, so that what
// it reads was notified already. A notification added on the GUI thread is
// delivered at once, after those that wait.
class RelayNotices : public wxEvtHandler
{
public:
    static constexpr int kHandOversPerSecond = 20;
    // Past this many waiting, only the latest of each kind is kept: a GUI
    // thread held up for long must not make them a leak.
    static constexpr std::size_t kWaitingLimit = 65536;

    // deliver(value, kind) runs on the GUI thread.
    explicit RelayNotices(std::function<void(long long, int)> deliver);
    ~RelayNotices() override;

    // Any thread.
    void Add(long long value, int kind);
    // GUI thread: delivers what waits, unless a delivery is under way.
    void Flush();
    // GUI thread, once nothing adds any more: forgets those that wait.
    void Clear();

private:
    struct Notice
    {
        long long value;
        int kind;
    };

    // A hand-over: delivers now, or when its time has come.
    void HandOver();

    const std::function<void(long long, int)> m_deliver;
    std::mutex m_mutex;            // guards the two below
    std::vector<Notice> m_waiting;
    bool m_queued = false;         // a hand-over is queued to the GUI thread, or timed
    bool m_delivering = false;     // GUI thread's: inside Flush
    std::chrono::steady_clock::time_point m_lastHandOver; // GUI thread's
    wxTimer m_timer;               // runs while a hand-over waits for its time
};
