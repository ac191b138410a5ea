#include "EventLoop.h"

#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/log.h>

void PumpOnce(int waitMs)
{
    wxEventLoopBase* loop = wxEventLoopBase::GetActive();
    if (loop)
        loop->DispatchTimeout(waitMs);
    wxTheApp->ProcessPendingEvents();
    wxTheApp->ProcessIdle();
}

void ProcessQueued()
{
    wxTheApp->ProcessPendingEvents();
    wxLog::FlushActive();
}

void PumpFor(std::chrono::milliseconds duration)
{
    const auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end)
        PumpOnce();
}
