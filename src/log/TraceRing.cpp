#include "TraceRing.h"

namespace
{
// What a record costs beyond its bytes, so that a flood of events is bounded too.
constexpr std::size_t kRecordCost = 64;
} // namespace

TraceRing::TraceRing(std::size_t limitBytes)
    : m_limitBytes(limitBytes)
{
}

void TraceRing::Add(const TraceRecord& record)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.push_back(record);
    m_bytes += record.bytes.size() + kRecordCost;
    // The newest record always stays, however large.
    while (m_bytes > m_limitBytes && m_records.size() > 1)
    {
        m_bytes -= m_records.front().bytes.size() + kRecordCost;
        m_records.pop_front();
        ++m_missed;
    }
}

std::vector<TraceRecord> TraceRing::Take(std::size_t& missed)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<TraceRecord> taken(std::make_move_iterator(m_records.begin()), std::make_move_iterator(m_records.end()));
    m_records.clear();
    m_bytes = 0;
    missed = m_missed;
    m_missed = 0;
    return taken;
}
