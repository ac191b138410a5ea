#pragma once

#include "SFile.h"

#include <vector>

// Work that shares a serial worker's thread with its port, where the
// platform lets one wait watch both (SFile::WaitsForOthers): the worker waits
// for the guest's descriptors together with the port, and lets the guest act
// before and after every wait. Both calls are on the worker; the port's
// bytes are delivered between them.
class WorkerGuest
{
public:
    virtual ~WorkerGuest() = default;
    // What to watch besides the port (others arrives empty), and how long
    // the wait may last at most: SFile::kForever for no limit.
    virtual unsigned BeforeWait(std::vector<SFile::OtherWait>& others) = 0;
    // The same others, each marked ready or not; after a wait that an
    // Interrupt or a time-out ended, or after the port's bytes went out.
    virtual void AfterWait(const std::vector<SFile::OtherWait>& others) = 0;
};
