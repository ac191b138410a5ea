// Waits on Windows: one wait for the port's one-byte read, its write in
// flight, the event that interrupts it, and the events of whatever else the
// caller watches beside them.

#include "SFileWin32.h"

#include <algorithm>
#include <vector>

namespace sfile_os
{
// Ends the wait's read, keeping a byte it got; returns how it ended
// (ERROR_OPERATION_ABORTED when cancelled).
DWORD SettleWaitRead(Port& port, bool cancel)
{
    if (!port.waitPending)
        return ERROR_SUCCESS;
    port.waitPending = false;
    DWORD done = 0;
    if (cancel)
        CancelIoEx(port.handle, &port.waiting);
    const DWORD error = GetOverlappedResult(port.handle, &port.waiting, &done, TRUE) ? ERROR_SUCCESS : GetLastError();
    if (done == 1)
        port.hasWaitedByte = true;
    return error;
}

// Not measured under Wine: an idle port is looked at once a second, as ever,
// by a read posted anew after each time-out.
bool WaitsSeeLostPorts()
{
    return false;
}

// The others are events that their owners have tied to what they wait for
// (a worker's clients share one), so one wait covers the port, the waker and
// them.
bool WaitsForOthers()
{
    return true;
}

namespace
{
// The waker's event and the others' events, each once, after the first
// fixed entries; where the others start.
DWORD AddWaited(HANDLE* events, DWORD count, Waker* waker, const std::vector<SFile::OtherWait>* others)
{
    if (waker)
        events[count++] = waker->event;
    if (!others)
        return count;
    for (const SFile::OtherWait& other : *others)
    {
        const HANDLE event = reinterpret_cast<HANDLE>(other.handle);
        if (count < MAXIMUM_WAIT_OBJECTS && std::find(events, events + count, event) == events + count)
            events[count++] = event;
    }
    return count;
}

// Marks the others whose event fired: the one the wait returned, and those
// whose event is signalled too (which this takes); whether there were any.
bool MarkOthers(std::vector<SFile::OtherWait>* others, HANDLE fired)
{
    if (!others)
        return false;
    bool any = false;
    for (SFile::OtherWait& other : *others)
    {
        const HANDLE event = reinterpret_cast<HANDLE>(other.handle);
        if (other.ready || (event != fired && WaitForSingleObject(event, 0) != WAIT_OBJECT_0))
            continue;
        for (SFile::OtherWait& same : *others)
            same.ready = same.ready || same.handle == other.handle;
        any = true;
    }
    return any;
}
} // namespace

SFile::WaitResult Wait(Handle handle, Waker* waker, unsigned timeoutMicros, bool forOutput,
                       std::vector<SFile::OtherWait>* others)
{
    const DWORD timeoutMs = MillisecondsFor(timeoutMicros);
    if (others)
    {
        for (SFile::OtherWait& other : *others)
            other.ready = false;
    }
    HANDLE events[MAXIMUM_WAIT_OBJECTS];
    if (handle == SFile::kInvalidHandle)
    {
        const DWORD count = AddWaited(events, 0, waker, others);
        if (count == 0)
        {
            Sleep(timeoutMs);
            return SFile::WaitResult::TimedOut;
        }
        const DWORD outcome = WaitForMultipleObjects(count, events, FALSE, timeoutMs);
        if (outcome >= WAIT_OBJECT_0 + count)
            return SFile::WaitResult::TimedOut;
        if (waker && outcome == WAIT_OBJECT_0)
            return SFile::WaitResult::Interrupted;
        return MarkOthers(others, events[outcome - WAIT_OBJECT_0]) ? SFile::WaitResult::Other
                                                                    : SFile::WaitResult::TimedOut;
    }

    Port& port = PortOf(handle);
    // Output is welcome at once while no write is in flight.
    const bool forWrite = forOutput && port.writePending;
    if (InQueue(handle) > 0 || (forOutput && !forWrite))
    {
        MarkOthers(others, nullptr);
        return InQueue(handle) > 0 ? SFile::WaitResult::Readable : SFile::WaitResult::Writable;
    }

    for (;;)
    {
        if (!port.waitPending)
        {
            port.waiting = OVERLAPPED{};
            port.waiting.hEvent = port.readEvent;
            DWORD done = 0;
            if (ReadFile(port.handle, &port.waitedByte, 1, &done, &port.waiting))
            {
                // A read that ends without a byte: the port is gone.
                port.hasWaitedByte = done == 1;
                return port.hasWaitedByte ? SFile::WaitResult::Readable : SFile::WaitResult::Failed;
            }
            if (GetLastError() != ERROR_IO_PENDING)
                return SFile::WaitResult::Failed;
            port.waitPending = true;
        }
        events[0] = port.readEvent;
        DWORD count = 1;
        const DWORD writeAt = forWrite ? count++ : MAXIMUM_WAIT_OBJECTS;
        if (forWrite)
            events[writeAt] = port.writeEvent;
        const DWORD wakerAt = waker ? count : MAXIMUM_WAIT_OBJECTS;
        count = AddWaited(events, count, waker, others);
        // The read stays posted whatever else ends the wait, but a time-out.
        const DWORD outcome = WaitForMultipleObjects(count, events, FALSE, timeoutMs);
        const DWORD index = outcome - WAIT_OBJECT_0;
        if (outcome == WAIT_TIMEOUT)
        {
            // A driver may leave a read waiting on a port that is gone, and
            // refuse only the next one: post it anew then (WaitsSeeLostPorts).
            SettleWaitRead(port, true);
            return SFile::WaitResult::TimedOut;
        }
        if (index == writeAt)
            return SFile::WaitResult::Writable;
        if (index == wakerAt)
            return SFile::WaitResult::Interrupted;
        if (index != 0)
        {
            if (index < count)
                return MarkOthers(others, events[index]) ? SFile::WaitResult::Other : SFile::WaitResult::TimedOut;
            return SFile::WaitResult::Failed;
        }
        const DWORD error = SettleWaitRead(port, false);
        if (port.hasWaitedByte)
            return SFile::WaitResult::Readable;
        // A read that ends without a byte: the port is gone, unless it was
        // cancelled (a purge, or the thread that posted it ended): post anew.
        if (error != ERROR_OPERATION_ABORTED)
            return SFile::WaitResult::Failed;
    }
}

Waker* CreateWaker()
{
    const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return event ? new Waker{event} : nullptr;
}

void DestroyWaker(Waker* waker)
{
    if (!waker)
        return;
    CloseHandle(waker->event);
    delete waker;
}

void Wake(Waker* waker)
{
    if (waker)
        SetEvent(waker->event);
}
} // namespace sfile_os
