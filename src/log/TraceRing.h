#pragma once

#include "TraceRecord.h"

#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

// The traffic waiting for one viewer: the bridge adds records as they happen
// and the viewer takes them when it draws. Bounded: past about limitBytes
// the oldest records go, and the viewer learns how many it missed. The bridge
// never waits for the viewer beyond a copy under a lock. Any thread.
class TraceRing
{
public:
    static constexpr std::size_t kDefaultLimitBytes = 64 * 1024;

    explicit TraceRing(std::size_t limitBytes = kDefaultLimitBytes);

    void Add(const TraceRecord& record);

    // What was added since the last call, oldest first; missed counts the
    // records that were pushed out before they were taken.
    std::vector<TraceRecord> Take(std::size_t& missed);

private:
    const std::size_t m_limitBytes;
    std::mutex m_mutex;
    std::deque<TraceRecord> m_records;
    std::size_t m_bytes = 0;
    std::size_t m_missed = 0;
};
