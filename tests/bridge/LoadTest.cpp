#include "BridgeFixture.h"

#include <wx/timer.h>

#include <fcntl.h>

using namespace std::chrono_literals;

namespace
{
constexpr std::uint64_t kSixteenMegabytes = 16u << 20;
// Far faster than any serial port, slow enough that readers starved of the
// two cores for a moment do not fall a megabyte behind and get dropped.
constexpr std::uint64_t kDeviceRate = 16u << 20;
// Twenty clients multiply what is sent and checked: at 4 MB/s each it is
// still 80 MB/s in all, which leaves a slower machine room to spare.
constexpr std::uint64_t kFanOutRate = 4u << 20;

// Ticks while the event loop turns; the longest pause between two ticks
// shows whether anything froze the loop.
class LoopWatch
{
public:
    LoopWatch()
    {
        m_timer.Bind(wxEVT_TIMER, [this](wxTimerEvent&) { Tick(); });
        m_timer.Start(10);
    }

    std::chrono::milliseconds LongestPause() const
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(m_longest);
    }
    int Ticks() const { return m_ticks; }

private:
    void Tick()
    {
        const auto now = std::chrono::steady_clock::now();
        if (m_ticks++ > 0)
            m_longest = std::max(m_longest, now - m_last);
        m_last = now;
    }

    wxTimer m_timer;
    int m_ticks = 0;
    std::chrono::steady_clock::time_point m_last;
    std::chrono::steady_clock::duration m_longest{};
};

// Far more than the worst pause seen on a loaded machine, far less than a
// freeze behind one peer.
constexpr auto kFrozen = 2000ms;
} // namespace

TEST_F(BridgeTest, SixteenMegabytesReachTwentyClientsCompleteAndInOrder)
{
    StartBridge();
    std::vector<std::unique_ptr<TcpClient>> clients;
    std::vector<std::unique_ptr<PatternReader>> readers;
    ASSERT_TRUE(AdmitReaders(20, kSixteenMegabytes, clients, readers));
    PatternWriter device(pty.Master(), kSixteenMegabytes, kFanOutRate);

    const bool complete = PumpUntil([&] { return AllEnded(readers); }, 180s);
    ASSERT_TRUE(complete) << "first client has " << readers[0]->Received();
    std::size_t dropped = 0;
    for (const std::string& line : log.Messages())
        dropped += line.find("cannot keep up") != std::string::npos;
    EXPECT_EQ(dropped, 0u) << "clients were dropped for falling behind";
    for (auto& reader : readers)
    {
        EXPECT_FALSE(reader->Failed());
        EXPECT_EQ(reader->Received(), kSixteenMegabytes);
    }
    EXPECT_EQ(bridge->GetReadBytes(), static_cast<long long>(kSixteenMegabytes));
    EXPECT_EQ(observer.Last(UPDATE_READ), static_cast<long long>(kSixteenMegabytes));
    EXPECT_EQ(bridge->GetClientCount(), 20);
}

TEST_F(BridgeTest, SixteenMegabytesFromTheWriterReachTheSerialPortCompleteAndInOrder)
{
    StartBridge();
    TcpClient writer;
    ASSERT_TRUE(Admit(writer));
    PatternReader device(pty.Master(), kSixteenMegabytes);
    PatternWriter sender(writer.Fd(), kSixteenMegabytes);
    ASSERT_TRUE(PumpUntil([&] { return device.Done() || device.Failed(); }, 180s))
        << "the device has " << device.Received();
    EXPECT_FALSE(device.Failed());
    ASSERT_TRUE(PumpUntil([&] { return bridge->GetWriteBytes() == static_cast<long long>(kSixteenMegabytes); }));
    EXPECT_EQ(observer.Last(UPDATE_WRITE), static_cast<long long>(kSixteenMegabytes));
}

TEST_F(BridgeTest, AClientThatNeverReadsIsDroppedAndNobodyElseWaits)
{
    StartBridge();
    LoopWatch watch;
    TcpClient sleeper;
    ASSERT_TRUE(Admit(sleeper, "127.0.0.2", 4096));
    std::vector<std::unique_ptr<TcpClient>> clients;
    std::vector<std::unique_ptr<PatternReader>> readers;
    ASSERT_TRUE(AdmitReaders(3, kSixteenMegabytes, clients, readers));
    PatternWriter device(pty.Master(), kSixteenMegabytes, kDeviceRate);

    const bool complete = PumpUntil([&] { return AllEnded(readers); }, 180s);
    ASSERT_TRUE(complete);
    for (auto& reader : readers)
        EXPECT_FALSE(reader->Failed());
    EXPECT_EQ(bridge->GetClientCount(), 3) << "the sleeper is gone";
    bool named = false;
    for (const std::string& line : log.Messages())
        named = named || (line.find("127.0.0.2") != std::string::npos && line.find("cannot keep up") != std::string::npos);
    EXPECT_TRUE(named) << "the log names the dropped client";
    EXPECT_GT(watch.Ticks(), 10);
    EXPECT_LT(watch.LongestPause(), kFrozen);
}

TEST_F(BridgeTest, APortRunningAheadOfABusyBridgeWaitsAndItsClientKeepsUp)
{
    StartBridge();
    TcpClient client;
    ASSERT_TRUE(Admit(client));
    constexpr std::uint64_t kEightMegabytes = 8u << 20;
    PatternReader reader(client.Fd(), kEightMegabytes);
    PatternWriter device(pty.Master(), kEightMegabytes);
    // The bridge's thread is busy elsewhere for a while, the worker reads on:
    // what piled up meanwhile must not reach the client as one heap larger
    // than it may fall behind by.
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(PumpUntil([&] { return reader.Done() || reader.Failed(); }, 180s));
    EXPECT_FALSE(reader.Failed()) << "the client has " << reader.Received();
    EXPECT_EQ(bridge->GetClientCount(), 1);

    // Busy again, and stopped while the worker waits for it.
    PatternWriter more(pty.Master(), kEightMegabytes);
    std::this_thread::sleep_for(100ms);
    bridge->Stop();
    EXPECT_FALSE(bridge->IsSerialOpen());
}

TEST_F(BridgeTest, ASlowSerialPortHoldsTheWriterBackWithoutLosingAByte)
{
    StartBridge();
    LoopWatch watch;
    TcpClient writer;
    ASSERT_TRUE(Admit(writer));
    constexpr std::uint64_t kMegabyte = 1u << 20;
    PatternReader device(pty.Master(), kMegabyte, 2048, 1000us);
    PatternWriter sender(writer.Fd(), kMegabyte);
    ASSERT_TRUE(PumpUntil([&] { return device.Done() || device.Failed(); }, 120s))
        << "the device has " << device.Received();
    EXPECT_FALSE(device.Failed());
    EXPECT_TRUE(PumpUntil([&] { return bridge->GetWriteBytes() == static_cast<long long>(kMegabyte); }));
    EXPECT_GT(watch.Ticks(), 10);
    EXPECT_LT(watch.LongestPause(), kFrozen);
}

TEST_F(BridgeTest, StopAndStartAHundredTimesWhileDataFlows)
{
    StartBridge();
    PatternWriter device(pty.Master(), kSixteenMegabytes * 64);
    for (int round = 0; round < 100; ++round)
    {
        TcpClient client;
        ASSERT_TRUE(Admit(client)) << "round " << round;
        ASSERT_TRUE(client.Send("x"));
        PumpUntil([&] { return client.Poll() && !client.Received().empty(); }, 1s);
        bridge->Stop();
        bridge->Start();
        ASSERT_TRUE(bridge->IsListening()) << "round " << round << ": " << bridge->GetProblem();
        ASSERT_TRUE(bridge->IsSerialOpen()) << "round " << round << ": " << bridge->GetProblem();
    }
    bridge->Stop();
    EXPECT_EQ(bridge->GetClientCount(), 0);
}
