#pragma once

#include <chrono>

// Runs the toolkit's event loop once: waits at most waitMs for an event,
// dispatches what came, processes queued events and idle work (which is
// where destroyed sockets are deleted).
void PumpOnce(int waitMs = 1);
// Processes the events queued to this thread, without waiting.
void ProcessQueued();

// Pumps until done() holds or timeout passes; true when it held.
template <typename Condition>
bool PumpUntil(Condition done, std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done())
    {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        PumpOnce();
    }
    // What another thread queued here before done() could hold (a bridge's
    // notifications) is handled too.
    ProcessQueued();
    return true;
}

// Pumps for a while; for checks that something does not happen.
void PumpFor(std::chrono::milliseconds duration);
