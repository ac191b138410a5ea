#include "ProcessBase.h"

#include "log/Logger.h"

#include <wx/utils.h>

namespace
{
// How often stop and Pause look whether the worker has done what they asked.
constexpr unsigned long kPollMs = 1;
} // namespace

// The worker: calls its owner's run until told to stop or run returns false.
// Joinable rather than detached: a detached thread still runs toolkit code
// after it has said goodbye, and a process that ends meanwhile crashes in it.
class CommunicationThread : public wxThread
{
public:
    explicit CommunicationThread(ProcessBase* owner) : wxThread(wxTHREAD_JOINABLE), m_owner(owner) {}

protected:
    ExitCode Entry() override
    {
        while (!TestDestroy() && m_owner->waitForWork())
        {
            if (!m_owner->run())
                break;
        }
        m_owner->threadEnded();
        return nullptr;
    }

private:
    ProcessBase* m_owner;
};

ProcessBase::ProcessBase()
    : m_thread(nullptr), m_threadId(0), m_request(Request::Run), m_parked(false), m_ended(false)
{
}

ProcessBase::~ProcessBase()
{
    wxASSERT_MSG(!m_thread, "a subclass must stop its worker before it goes");
}

void ProcessBase::start()
{
    if (hasLiveThread())
        return;
    reapThread();
    reset();
    auto* thread = new CommunicationThread(this);
    {
        wxCriticalSectionLocker lock(m_lock);
        m_thread = thread;
        m_threadId = 0;
        m_request = Request::Run;
        m_parked = false;
        m_ended = false;
    }
    if (thread->Create() != wxTHREAD_NO_ERROR || thread->Run() != wxTHREAD_NO_ERROR)
    {
        Logger::message("ProcessBase::start() Can't create thread!");
        // A thread that never runs would never end, and stop would wait for
        // it forever; forget it so that a later start tries again.
        {
            wxCriticalSectionLocker lock(m_lock);
            m_thread = nullptr;
        }
        delete thread;
    }
}

void ProcessBase::stop()
{
    bool endedByItself = false;
    {
        wxCriticalSectionLocker lock(m_lock);
        if (!m_thread)
            return;
        endedByItself = m_ended;
        m_request = Request::Stop;
    }
    if (endedByItself)
    {
        reapThread(); // quietly: from the caller's view there was no worker
        return;
    }
    m_wake.Post();
    interrupt();
    if (onWorker())
        return;

    // No lock is held while the worker finishes its pass, so the two never
    // wait on each other.
    for (;;)
    {
        {
            wxCriticalSectionLocker lock(m_lock);
            if (m_ended)
                break;
        }
        Logger::message("ProcessBase::stop() WAIT TO NULL");
        wxMilliSleep(kPollMs);
    }
    reapThread();
    Logger::message("ProcessBase::stop() FINISH");
    reset();
}

bool ProcessBase::isRunning()
{
    wxCriticalSectionLocker lock(m_lock);
    return m_thread && !m_ended && m_request == Request::Run && m_thread->IsRunning();
}

void ProcessBase::Pause()
{
    // The worker is between two steps of its own already; asking it to park
    // would also tell the owner's own Pause that it is parked.
    if (onWorker())
        return;
    {
        wxCriticalSectionLocker lock(m_lock);
        if (!m_thread || m_ended || m_request != Request::Run)
            return;
        m_request = Request::Pause;
    }
    interrupt();
    for (;;)
    {
        {
            wxCriticalSectionLocker lock(m_lock);
            if (m_ended || m_parked || m_request != Request::Pause)
                return;
        }
        wxMilliSleep(kPollMs);
    }
}

void ProcessBase::Resume()
{
    if (onWorker())
        return;
    {
        wxCriticalSectionLocker lock(m_lock);
        if (!m_thread || m_ended || m_request != Request::Pause)
            return;
        m_request = Request::Run;
    }
    m_wake.Post();
}

bool ProcessBase::waitForWork()
{
    for (;;)
    {
        {
            wxCriticalSectionLocker lock(m_lock);
            m_threadId = wxThread::GetCurrentId();
            if (m_request == Request::Stop)
                return false;
            m_parked = m_request == Request::Pause;
            if (!m_parked)
                return true;
        }
        m_wake.Wait();
    }
}

void ProcessBase::threadEnded()
{
    wxCriticalSectionLocker lock(m_lock);
    m_ended = true;
    m_parked = false;
}

bool ProcessBase::onWorker()
{
    wxCriticalSectionLocker lock(m_lock);
    return m_threadId != 0 && m_threadId == wxThread::GetCurrentId();
}

bool ProcessBase::hasLiveThread()
{
    wxCriticalSectionLocker lock(m_lock);
    return m_thread && !m_ended;
}

void ProcessBase::reapThread()
{
    CommunicationThread* thread = nullptr;
    {
        wxCriticalSectionLocker lock(m_lock);
        if (!m_thread || !m_ended)
            return;
        thread = m_thread;
    }
    thread->Wait();
    delete thread;
    wxCriticalSectionLocker lock(m_lock);
    m_thread = nullptr;
    m_threadId = 0;
}
