#include "ByteQueue.h"

#include <algorithm>

namespace
{
// Consumed bytes are moved out once they are this many and at least half.
constexpr std::size_t kCompactAt = 64 * 1024;
} // namespace

void ByteQueue::Append(const void* bytes, std::size_t count)
{
    const auto* first = static_cast<const unsigned char*>(bytes);
    m_bytes.insert(m_bytes.end(), first, first + count);
}

void ByteQueue::Consume(std::size_t count)
{
    m_start += std::min(count, Size());
    if (m_start == m_bytes.size())
    {
        Clear();
    }
    else if (m_start >= kCompactAt && m_start * 2 >= m_bytes.size())
    {
        m_bytes.erase(m_bytes.begin(), m_bytes.begin() + static_cast<std::ptrdiff_t>(m_start));
        m_start = 0;
    }
}

void ByteQueue::Clear()
{
    m_bytes.clear();
    m_start = 0;
}
