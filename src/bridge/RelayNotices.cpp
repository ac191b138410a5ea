#include "RelayNotices.h"

#include <wx/app.h>
#include <wx/thread.h>

#include <algorithm>

RelayNotices::RelayNotices(std::function<void(long long, int)> deliver) : m_deliver(std::move(deliver)), m_timer(this)
{
    Bind(wxEVT_TIMER, [this](wxTimerEvent&) { HandOver(); }, m_timer.GetId());
}

RelayNotices::~RelayNotices()
{
    Clear();
}

void RelayNotices::Add(long long value, int kind)
{
    const bool here = wxThread::IsMain();
    bool queue = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_waiting.size() >= kWaitingLimit)
        {
            std::vector<Notice> latest;
            for (const Notice& notice : m_waiting)
            {
                const auto same = std::find_if(latest.begin(), latest.end(),
                                               [&notice](const Notice& kept) { return kept.kind == notice.kind; });
                if (same == latest.end())
                    latest.push_back(notice);
                else
                    *same = notice;
            }
            m_waiting.swap(latest);
        }
        m_waiting.push_back({value, kind});
        queue = !here && !m_queued;
        m_queued = m_queued || queue;
    }
    if (here)
        Flush();
    else if (queue)
        CallAfter(&RelayNotices::HandOver);
}

void RelayNotices::Flush()
{
    // A nested delivery would overtake the older ones still in hand.
    if (m_delivering)
        return;
    std::vector<Notice> waiting;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        waiting.swap(m_waiting);
    }
    m_delivering = true;
    for (const Notice& notice : waiting)
        m_deliver(notice.value, notice.kind);
    m_delivering = false;
}

void RelayNotices::HandOver()
{
    const auto now = std::chrono::steady_clock::now();
    const auto spacing = std::chrono::milliseconds(1000 / kHandOversPerSecond);
    if (now - m_lastHandOver < spacing)
    {
        if (!m_timer.IsRunning())
            m_timer.StartOnce(static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(spacing - (now - m_lastHandOver)).count() + 1));
        return;
    }
    m_lastHandOver = now;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queued = false;
    }
    Flush();
}

void RelayNotices::Clear()
{
    m_timer.Stop();
    if (wxTheApp)
        wxTheApp->RemovePendingEventHandler(this);
    DeletePendingEvents();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_waiting.clear();
    m_queued = false;
}
