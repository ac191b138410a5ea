#pragma once

#include <cstddef>
#include <vector>

// A first-in first-out run of bytes: appended at the back, consumed from the
// front, contiguous so that the front can be handed to a single write.
// Not thread-safe; the owner guards it.
class ByteQueue
{
public:
    void Append(const void* bytes, std::size_t count);
    // Drops count bytes (at most Size()) from the front.
    void Consume(std::size_t count);
    void Clear();

    const unsigned char* Data() const { return m_bytes.data() + m_start; }
    std::size_t Size() const { return m_bytes.size() - m_start; }
    bool Empty() const { return Size() == 0; }

private:
    std::vector<unsigned char> m_bytes;
    std::size_t m_start = 0; // bytes before this are consumed
};
