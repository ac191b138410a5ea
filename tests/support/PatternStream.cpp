#include "PatternStream.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace
{
constexpr int kPollMs = 50;
}

std::string PatternBytes(std::uint64_t offset, std::size_t count)
{
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<char>(PatternByte(offset + i));
    return bytes;
}

PatternReader::PatternReader(int fd, std::uint64_t expected, std::size_t readLimit, std::chrono::microseconds pause)
    : m_fd(fd), m_expected(expected), m_readLimit(readLimit), m_pause(pause), m_thread(&PatternReader::Run, this)
{
}

PatternReader::~PatternReader()
{
    m_stop = true;
    m_thread.join();
}

void PatternReader::Run()
{
    std::vector<unsigned char> buffer(m_readLimit);
    std::uint64_t offset = 0;
    while (!m_stop && offset < m_expected && !m_failed)
    {
        const ssize_t got = ::read(m_fd, buffer.data(), buffer.size());
        if (got > 0)
        {
            for (ssize_t i = 0; i < got; ++i)
            {
                if (buffer[static_cast<std::size_t>(i)] != PatternByte(offset + static_cast<std::uint64_t>(i)))
                    m_failed = true;
            }
            offset += static_cast<std::uint64_t>(got);
            m_received = offset;
            if (m_pause.count() > 0)
                std::this_thread::sleep_for(m_pause);
            continue;
        }
        if (got == 0 || (errno != EAGAIN && errno != EINTR))
        {
            m_failed = true;
            break;
        }
        pollfd entry{m_fd, POLLIN, 0};
        ::poll(&entry, 1, kPollMs);
    }
}

bool AllEnded(const std::vector<std::unique_ptr<PatternReader>>& readers)
{
    for (const auto& reader : readers)
    {
        if (!reader->Done() && !reader->Failed())
            return false;
    }
    return true;
}

PatternWriter::PatternWriter(int fd, std::uint64_t count, std::uint64_t bytesPerSecond, std::uint64_t first)
    : m_fd(fd), m_count(count), m_bytesPerSecond(bytesPerSecond), m_first(first), m_thread(&PatternWriter::Run, this)
{
}

PatternWriter::~PatternWriter()
{
    m_stop = true;
    m_thread.join();
}

void PatternWriter::Run()
{
    constexpr std::size_t kBlock = 65536;
    const auto started = std::chrono::steady_clock::now();
    std::uint64_t offset = m_first;
    std::string block;
    std::size_t blockStart = 0;
    while (!m_stop && offset < m_count)
    {
        if (m_bytesPerSecond > 0)
        {
            const auto due = started + std::chrono::microseconds((offset - m_first) * 1000000 / m_bytesPerSecond);
            std::this_thread::sleep_until(due);
        }
        if (blockStart == block.size())
        {
            block = PatternBytes(offset, static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, m_count - offset)));
            blockStart = 0;
        }
        const ssize_t put = ::write(m_fd, block.data() + blockStart, block.size() - blockStart);
        if (put > 0)
        {
            blockStart += static_cast<std::size_t>(put);
            offset += static_cast<std::uint64_t>(put);
            m_sent = offset;
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EINTR)
        {
            m_failed = true;
            break;
        }
        pollfd entry{m_fd, POLLOUT, 0};
        ::poll(&entry, 1, kPollMs);
    }
}
