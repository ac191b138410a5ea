#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <memory>
#include <thread>
#include <vector>

// The n-th byte of a long stream that no shift of a chunk maps onto itself,
// so that lost, repeated or reordered bytes show.
inline unsigned char PatternByte(std::uint64_t n)
{
    return static_cast<unsigned char>((n * 131u + (n >> 11)) & 0xFF);
}

std::string PatternBytes(std::uint64_t offset, std::size_t count);

// Every byte value once, 0 to 255.
inline std::string AllByteValues()
{
    std::string bytes;
    for (int value = 0; value < 256; ++value)
        bytes += static_cast<char>(value);
    return bytes;
}

// Reads a pattern stream of expected bytes from a non-blocking descriptor on
// a thread of its own, checking every byte. readLimit and pause make a slow
// reader.
class PatternReader
{
public:
    PatternReader(int fd, std::uint64_t expected, std::size_t readLimit = 65536,
                  std::chrono::microseconds pause = std::chrono::microseconds(0));
    ~PatternReader();

    std::uint64_t Received() const { return m_received; }
    bool Done() const { return m_received >= m_expected; }
    // A wrong byte came, or the stream ended early.
    bool Failed() const { return m_failed; }

private:
    void Run();

    int m_fd;
    std::uint64_t m_expected;
    std::size_t m_readLimit;
    std::chrono::microseconds m_pause;
    std::atomic<std::uint64_t> m_received{0};
    std::atomic<bool> m_failed{false};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// True when every reader has its whole stream or has failed.
bool AllEnded(const std::vector<std::unique_ptr<PatternReader>>& readers);

// Writes the pattern stream up to byte count to a non-blocking descriptor on
// a thread of its own, from byte first on, at most bytesPerSecond fast when
// that is not 0.
class PatternWriter
{
public:
    PatternWriter(int fd, std::uint64_t count, std::uint64_t bytesPerSecond = 0, std::uint64_t first = 0);
    ~PatternWriter();

    std::uint64_t Sent() const { return m_sent; }
    bool Done() const { return m_sent >= m_count; }
    bool Failed() const { return m_failed; }

private:
    void Run();

    int m_fd;
    std::uint64_t m_count;
    std::uint64_t m_bytesPerSecond;
    std::uint64_t m_first;
    std::atomic<std::uint64_t> m_sent{0};
    std::atomic<bool> m_failed{false};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
