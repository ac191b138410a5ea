#pragma once

#include <chrono>

// Runs the toolkit's event loop once: waits at most waitMs for an event,
// dispatches what came, processes queued events and idle work (which is
// where destroyed sockets are deleted).
void PumpOnce(int waitMs = 1);

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
    return true;
}

// Pumps for a while; for checks that something does not happen.
void PumpFor(std::chrono::milliseconds duration);
