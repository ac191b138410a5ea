#pragma once

// Internal to the Windows serial backend, and visible to its tests.

#include "SFileOs.h"

#include <windows.h>

#include <string>
#include <vector>

namespace sfile_os
{
// Turns the settings read from a port into those of a mode string: its speed,
// data bits, parity and stop bits, binary bytes both ways, no hardware or
// software flow control, DTR and RTS held off. False, with the reason in
// error, when the system refuses the mode.
bool ApplyMode(const std::string& mode, DCB& control, std::string& error);

// An auto-reset event that ends a wait.
struct Waker
{
    HANDLE event;
};

// An open port. The wait's read with its byte and the write in flight are
// touched only by the thread that reads and writes, or while no other thread
// is inside the device. The other fields belong to the thread that changes
// the port: every control block written must repeat them, or a new baud rate
// would drop DTR.
struct Port
{
    HANDLE handle = INVALID_HANDLE_VALUE;
    // The events of the reading thread's transfers (waits included) and of
    // the worker's writes, made once: under Wine each one made and closed
    // costs two calls to its server.
    HANDLE readEvent = nullptr;
    HANDLE writeEvent = nullptr;
    // The worker's write in flight: the port owns these bytes from the call
    // that took them until the write ends, while the worker waits for other
    // things meanwhile.
    OVERLAPPED writing{};
    std::vector<unsigned char> inFlight;
    std::size_t inFlightDone = 0;
    bool writePending = false;
    unsigned writtenUntold = 0; // ended writes' bytes, for TakeWritten
    // A wait's one-byte read: it stays posted across waits that end for
    // something else, and is settled before the port is read.
    OVERLAPPED waiting{};
    bool waitPending = false;
    bool hasWaitedByte = false;
    unsigned char waitedByte = 0;
    bool dtr = false;
    bool rts = false;
    bool hardwareFlow = false;
};

inline Port& PortOf(Handle handle)
{
    return *reinterpret_cast<Port*>(handle);
}

// Whole milliseconds, at least the time asked for; INFINITE for kForever.
DWORD MillisecondsFor(unsigned micros);
// Ends the wait's read, keeping a byte it got; returns how it ended
// (ERROR_OPERATION_ABORTED when cancelled).
DWORD SettleWaitRead(Port& port, bool cancel);
} // namespace sfile_os
