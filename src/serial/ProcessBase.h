#pragma once

#include <wx/thread.h>

class CommunicationThread;

// Base of objects that do their work in passes on a worker thread of their
// own. The subclass supplies one pass (run); the base starts the worker,
// parks it between two passes (Pause), wakes it (Resume) and ends it (stop).
//
// Threads: start, stop, Pause, Resume and isRunning belong to the owner's
// thread; run is called on the worker, without any lock held. Requests take
// effect between two passes, never inside one, so a pass that may wait
// should wait in a way that interrupt() can cut short.
//
// The worker thread is joinable and owned here: stop returns only when the
// thread has ended completely, so nothing of it outlives its owner or the
// toolkit. A subclass must call stop() in its destructor, before anything
// that run uses goes away.
class ProcessBase
{
public:
    ProcessBase();
    virtual ~ProcessBase();
    ProcessBase(const ProcessBase&) = delete;
    ProcessBase& operator=(const ProcessBase&) = delete;

    // One pass of work, on the worker; false ends the worker.
    virtual bool run() = 0;
    // Starts a worker unless one exists; calls reset() first.
    virtual void start();
    // Ends the worker and returns once it has gone, then calls reset(). Does
    // nothing without a worker, or when the worker already ended by itself.
    // Called on the worker itself, it only asks.
    virtual void stop();
    // Called by start before a worker is made and by stop after it went.
    virtual void reset() = 0;
    // True while a worker exists and is neither parked nor asked to park.
    virtual bool isRunning();

    // Returns once the worker is parked between two passes. Called on the
    // worker, which is between two steps of its own, both do nothing.
    void Pause();
    // Lets a parked worker go on.
    void Resume();

protected:
    // Called on the owner's thread after a request, so that a pass waiting
    // inside run can return early. The default does nothing.
    virtual void interrupt() {}

private:
    friend class CommunicationThread;
    enum class Request
    {
        Run,
        Pause,
        Stop
    };

    // On the worker: parks while a pause is asked for; false once a stop is.
    bool waitForWork();
    // On the worker, as its last touch of this object.
    void threadEnded();
    bool onWorker();
    bool hasLiveThread();
    // Joins a thread that has ended and forgets it; owner's thread only.
    void reapThread();

    wxCriticalSection m_lock;
    CommunicationThread* m_thread; // owned; protected by m_lock
    wxThreadIdType m_threadId;     // protected by m_lock
    Request m_request;             // protected by m_lock
    bool m_parked;                 // protected by m_lock
    bool m_ended;                  // the worker left its loop; protected by m_lock
    wxSemaphore m_wake;            // posted whenever m_request leaves Pause
};
