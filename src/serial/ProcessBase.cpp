#include "ProcessBase.h"

#include "store/Logger.h"

#include <wx/utils.h>

namespace
{
// How often stop and Pause look whether the worker has done what they asked.
constexpr unsigned long kPollMs = 1;
} // namespace

// The worker: calls its owner's run until told to stop or run returns false.
class CommunicationThread : public wxThread
{
public:
    explicit CommunicationThread(ProcessBase* owner) : wxThread(wxTHREAD_DETACHED), m_owner(owner) {}

protected:
    ExitCode Entry() override
    {
        while (!TestDestroy() && m_owner->waitForWork())
        {
            if (!m_owner->run())
                break;
        }
        // The owner may be destroyed as soon as this returns, so this is the
        // last touch; the toolkit then deletes the thread object.
        m_owner->threadEnded();
        return nullptr;
    }

private:
    ProcessBase* m_owner;
};

ProcessBase::ProcessBase() : m_thread(nullptr), m_threadId(0), m_request(Request::Run), m_parked(false) {}

ProcessBase::~ProcessBase()
{
    wxASSERT_MSG(!m_thread, "a subclass must stop its worker before it goes");
}

void ProcessBase::start()
{
    {
        wxCriticalSectionLocker lock(m_lock);
        if (m_thread)
            return;
    }
    reset();
    auto* thread = new CommunicationThread(this);
    {
        wxCriticalSectionLocker lock(m_lock);
        m_thread = thread;
        m_threadId = 0;
        m_request = Request::Run;
        m_parked = false;
    }
    if (thread->Create() != wxTHREAD_NO_ERROR)
    {
        Logger::message("ProcessBase::start() Can't create thread!");
        // A thread that never runs would never clear m_thread and stop would
        // wait for it forever; forget it so that a later start tries again.
        {
            wxCriticalSectionLocker lock(m_lock);
            m_thread = nullptr;
        }
        delete thread;
        return;
    }
    thread->Run();
}

void ProcessBase::stop()
{
    {
        wxCriticalSectionLocker lock(m_lock);
        if (!m_thread)
            return;
        m_request = Request::Stop;
    }
    m_wake.Post();
    interrupt();
    if (onWorker())
        return;

    // The worker clears m_thread on its way out; no lock is held while it
    // does, so the two never wait on each other.
    for (;;)
    {
        {
            wxCriticalSectionLocker lock(m_lock);
            if (!m_thread)
                break;
        }
        Logger::message("ProcessBase::stop() WAIT TO NULL");
        wxMilliSleep(kPollMs);
    }
    Logger::message("ProcessBase::stop() FINISH");
    reset();
}

bool ProcessBase::isRunning()
{
    wxCriticalSectionLocker lock(m_lock);
    return m_thread && m_request == Request::Run && m_thread->IsRunning();
}

void ProcessBase::Pause()
{
    {
        wxCriticalSectionLocker lock(m_lock);
        if (!m_thread || m_request != Request::Run)
            return;
        m_request = Request::Pause;
    }
    interrupt();
    if (onWorker())
        return;
    for (;;)
    {
        {
            wxCriticalSectionLocker lock(m_lock);
            if (!m_thread || m_parked || m_request != Request::Pause)
                return;
        }
        wxMilliSleep(kPollMs);
    }
}

void ProcessBase::Resume()
{
    {
        wxCriticalSectionLocker lock(m_lock);
        if (!m_thread || m_request != Request::Pause)
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
    m_thread = nullptr;
    m_threadId = 0;
    m_parked = false;
}

bool ProcessBase::onWorker()
{
    wxCriticalSectionLocker lock(m_lock);
    return m_threadId != 0 && m_threadId == wxThread::GetCurrentId();
}
