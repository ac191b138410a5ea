#include "serial/SerialPortHandler.h"
#include "support/LogRecorder.h"
#include "support/PatternStream.h"
#include "support/PtyPair.h"

#include <gtest/gtest.h>

#include <termios.h>

#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace
{
constexpr int kChunkSize = 128;
constexpr int kEventId = 1;

// Plays the bridge: takes the chunks on the worker thread and keeps a copy.
class ChunkCollector : public wxEvtHandler
{
public:
    ChunkCollector()
    {
        Bind(EVT_SERIAL_PORT, &ChunkCollector::OnSerialData, this, kEventId);
        Bind(EVT_SERIAL_WRITTEN, &ChunkCollector::OnWritten, this, kEventId);
    }

    std::string Bytes() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bytes;
    }

    std::vector<unsigned> ChunkSizes() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_sizes;
    }

    unsigned WrittenReports() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_written;
    }

    unsigned DroppedReports() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_dropped;
    }

    std::string LastText() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lastText;
    }

    bool SawWrongSender() const { return m_wrongSender; }

    bool WaitForBytes(size_t count, std::chrono::milliseconds timeout = 5s) const
    {
        return WaitFor([&] { return Bytes().size() >= count; }, timeout);
    }

    const wxObject* expectedSender = nullptr;

private:
    void OnSerialData(SerialPortEvent& event)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bytes.append(reinterpret_cast<const char*>(event.GetData()), event.GetLength());
        m_sizes.push_back(event.GetLength());
        m_lastText = event.GetText().utf8_string();
        if (event.GetEventObject() != expectedSender || event.GetId() != kEventId)
            m_wrongSender = true;
    }

    void OnWritten(wxThreadEvent& event)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_written += static_cast<unsigned>(event.GetInt());
        m_dropped += static_cast<unsigned>(event.GetExtraLong());
    }

    mutable std::mutex m_mutex; // protects the fields below
    unsigned m_written = 0;
    unsigned m_dropped = 0;
    std::string m_bytes;
    std::vector<unsigned> m_sizes;
    std::string m_lastText;
    bool m_wrongSender = false;
};

std::string Pattern(size_t size)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

class SerialPortHandlerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pty.IsOk());
        collector.expectedSender = &handler;
    }

    LogRecorder log;
    PtyPair pty;
    ChunkCollector collector;
    SerialPortHandler handler{kChunkSize, kEventId, &collector};
};
} // namespace

TEST_F(SerialPortHandlerTest, OneByteAloneArrivesAsAOneByteChunk)
{
    ASSERT_TRUE(handler.Open(pty.SlavePath(), 9600));
    ASSERT_TRUE(pty.Send("A"));
    ASSERT_TRUE(collector.WaitForBytes(1));
    EXPECT_EQ(collector.Bytes(), "A");
    EXPECT_EQ(collector.ChunkSizes(), std::vector<unsigned>{1});
    EXPECT_FALSE(collector.SawWrongSender());
}

TEST_F(SerialPortHandlerTest, BackToBackBytesArriveInFullChunksInOrder)
{
    ASSERT_TRUE(handler.Open(pty.SlavePath(), 115200));
    const std::string bytes = Pattern(300);
    ASSERT_TRUE(pty.Send(bytes));
    ASSERT_TRUE(collector.WaitForBytes(bytes.size()));
    EXPECT_EQ(collector.Bytes(), bytes);
    for (unsigned size : collector.ChunkSizes())
    {
        EXPECT_GE(size, 1u);
        EXPECT_LE(size, static_cast<unsigned>(kChunkSize));
    }
    EXPECT_EQ(handler.GetRead(), 300);
}

TEST_F(SerialPortHandlerTest, AMegabyteStreamsThroughCompleteAndInOrder)
{
    ASSERT_TRUE(handler.Open(pty.SlavePath(), 921600));
    const std::string bytes = Pattern(1 << 20);
    std::thread sender([&] {
        for (size_t sent = 0; sent < bytes.size(); sent += 4096)
            pty.Send(bytes.substr(sent, 4096));
    });
    const bool complete = collector.WaitForBytes(bytes.size(), 60s);
    sender.join();
    ASSERT_TRUE(complete) << "received " << collector.Bytes().size();
    EXPECT_TRUE(collector.Bytes() == bytes) << "the stream arrived altered";
    size_t largest = 0;
    for (unsigned size : collector.ChunkSizes())
        largest = std::max<size_t>(largest, size);
    EXPECT_LE(largest, static_cast<size_t>(kChunkSize));
}

TEST_F(SerialPortHandlerTest, EventTextCarriesBothCounters)
{
    ASSERT_TRUE(handler.Open(pty.SlavePath(), 9600));
    ASSERT_TRUE(handler.Write("0123456789", 10));
    EXPECT_EQ(pty.Receive(10), "0123456789");
    ASSERT_TRUE(pty.Send(Pattern(300)));
    ASSERT_TRUE(collector.WaitForBytes(300));
    EXPECT_EQ(collector.LastText(), "w=10,r=300");
}

TEST_F(SerialPortHandlerTest, OpenLogsTheDeviceAndLineSettings)
{
    EXPECT_FALSE(handler.Open("COM12", 9600));
    EXPECT_TRUE(log.Contains("SerialPortHandler::Open() - port: /dev/COM12, baud: 9600"));
    EXPECT_TRUE(log.Contains("SerialPortHandler::Open() - m_dataBits: 8, m_parity: N, m_stopBits: 1"));
    EXPECT_TRUE(log.Contains("SerialPortHandler::Open() - cannot open COM12: No such file or directory"));
    EXPECT_FALSE(handler.IsOpen());
    EXPECT_TRUE(handler.isRunning()) << "the worker idles without a port";
    EXPECT_EQ(handler.GetPortName(), "COM12");
}

TEST_F(SerialPortHandlerTest, WriteWithThePortClosedFailsButCounts)
{
    EXPECT_FALSE(handler.Write("abc", 3));
    EXPECT_EQ(handler.GetWritten(), 3);
    handler.Open("/dev/does-not-exist", 9600);
    EXPECT_FALSE(handler.Write("abcd", 4));
    EXPECT_EQ(handler.GetWritten(), 4) << "Open resets the counters";
}

TEST_F(SerialPortHandlerTest, WritesReachThePort)
{
    ASSERT_TRUE(handler.Open(pty.SlavePath(), 9600));
    const std::string bytes = Pattern(1000);
    ASSERT_TRUE(handler.Write(bytes.data(), static_cast<unsigned>(bytes.size())));
    EXPECT_EQ(pty.Receive(bytes.size()), bytes);
    EXPECT_EQ(handler.GetWritten(), 1000);
}

TEST_F(SerialPortHandlerTest, QueuedOutputIsWrittenInOrderAndReported)
{
    EXPECT_EQ(handler.QueueWrite("x", 1), 0u) << "nothing is taken while the port is closed";
    ASSERT_TRUE(handler.Open(pty.SlavePath(), 115200));
    EXPECT_EQ(handler.GetWriteRoom(), SerialPortHandler::kWriteQueueBytes);

    // Nobody reads the far end yet: the queue takes its fill and no more.
    const std::string bytes = Pattern(SerialPortHandler::kWriteQueueBytes * 8);
    size_t queued = 0;
    while (queued < bytes.size())
    {
        const unsigned taken = handler.QueueWrite(bytes.data() + queued, static_cast<unsigned>(bytes.size() - queued));
        if (taken == 0)
            break;
        queued += taken;
    }
    EXPECT_LT(queued, bytes.size());
    EXPECT_EQ(handler.GetWriteRoom(), 0u);

    // Drained, the rest follows as room comes back.
    std::string received;
    const bool complete = WaitFor(
        [&] {
            received += pty.Receive(bytes.size() - received.size(), 10ms);
            if (queued < bytes.size())
                queued += handler.QueueWrite(bytes.data() + queued, static_cast<unsigned>(bytes.size() - queued));
            return received.size() == bytes.size();
        },
        20s);
    ASSERT_TRUE(complete) << received.size();
    EXPECT_TRUE(received == bytes);
    EXPECT_TRUE(WaitFor([&] { return collector.WrittenReports() == bytes.size(); }));
    EXPECT_EQ(handler.GetWriteRoom(), SerialPortHandler::kWriteQueueBytes);
    EXPECT_EQ(handler.GetWritten(), static_cast<int>(bytes.size()));
}

TEST_F(SerialPortHandlerTest, CloseParksTheWorkerAndReopenResumesIt)
{
    ASSERT_TRUE(handler.Open(pty.SlavePath(), 9600));
    handler.Close();
    EXPECT_FALSE(handler.IsOpen());
    EXPECT_FALSE(handler.isRunning());
    handler.Close();
    EXPECT_FALSE(handler.IsOpen());

    ASSERT_TRUE(handler.Open(pty.SlavePath(), 9600));
    EXPECT_TRUE(handler.isRunning());
    ASSERT_TRUE(pty.Send("again"));
    ASSERT_TRUE(collector.WaitForBytes(5));
    EXPECT_EQ(collector.Bytes(), "again");
}

TEST_F(SerialPortHandlerTest, AFailedOpenCanBeFollowedByAGoodOne)
{
    EXPECT_FALSE(handler.Open("/dev/does-not-exist", 9600));
    ASSERT_TRUE(WaitFor([&] { return handler.isRunning(); }));
    ASSERT_TRUE(handler.Open(pty.SlavePath(), 9600));
    ASSERT_TRUE(pty.Send("late"));
    ASSERT_TRUE(collector.WaitForBytes(4));
    EXPECT_EQ(collector.Bytes(), "late");
}

TEST_F(SerialPortHandlerTest, AVanishedPortDoesNotStopTheHandler)
{
    ASSERT_TRUE(handler.Open(pty.SlavePath(), 9600));
    ASSERT_TRUE(pty.Send("before"));
    ASSERT_TRUE(collector.WaitForBytes(6));
    pty.CloseMaster();
    EXPECT_TRUE(WaitFor([&] { return handler.IsLost(); }));
    EXPECT_TRUE(handler.isRunning());
    handler.Close();
    EXPECT_FALSE(handler.IsOpen());
}

TEST_F(SerialPortHandlerTest, TheLineChangesWhileBytesFlowBothWaysAndNoneIsLost)
{
    ASSERT_TRUE(handler.Open(pty.SlavePath(), 9600));
    constexpr std::uint64_t kBytes = 1 << 20;
    constexpr unsigned kPiece = 4096;
    const struct
    {
        int baud;
        unsigned stopBits;
        speed_t speed;
    } steps[] = {{19200, 2, B19200}, {115200, 1, B115200}, {300, 2, B300}, {921600, 2, B921600}, {57600, 1, B57600}};
    PatternWriter device(pty.Master(), kBytes);
    PatternReader deviceReads(pty.Master(), kBytes);
    std::uint64_t queued = 0;
    std::size_t step = 0;
    const bool flowed = WaitFor(
        [&] {
            if (queued < kBytes)
                queued += handler.QueueWrite(PatternBytes(queued, kPiece).data(), kPiece);
            // Each change lands while both streams are under way.
            if (step < std::size(steps) && collector.Bytes().size() > step * kBytes / std::size(steps))
            {
                const auto& next = steps[step++];
                EXPECT_TRUE(handler.SetLine({next.baud, 8, 'N', next.stopBits}));
                termios held{};
                EXPECT_EQ(::tcgetattr(pty.Slave(), &held), 0);
                EXPECT_EQ(::cfgetospeed(&held), next.speed) << next.baud;
                EXPECT_EQ((held.c_cflag & CSTOPB) != 0, next.stopBits == 2) << next.baud;
                EXPECT_EQ(handler.GetLine(), (SFile::LineSettings{next.baud, 8, 'N', next.stopBits}));
            }
            return step == std::size(steps) && collector.Bytes().size() >= kBytes &&
                   (deviceReads.Done() || deviceReads.Failed());
        },
        60s);
    ASSERT_TRUE(flowed) << "step " << step << ", received " << collector.Bytes().size() << ", sent "
                        << deviceReads.Received();
    EXPECT_TRUE(collector.Bytes() == PatternBytes(0, kBytes)) << "the device's stream arrived altered";
    EXPECT_FALSE(deviceReads.Failed()) << "the queued stream arrived altered";

    // Asked for 7E, the terminal holds 8N, and says so.
    EXPECT_TRUE(handler.SetLine({57600, 7, 'E', 1}));
    EXPECT_EQ(handler.GetLine(), (SFile::LineSettings{57600, 8, 'N', 1}));
    EXPECT_FALSE(handler.SetLine({14400, 8, 'N', 1}));
    EXPECT_EQ(log.CountContaining("refused the line settings: unsupported baud rate 14400"), 1);
    EXPECT_EQ(handler.GetLine().baud, 57600);
}

TEST_F(SerialPortHandlerTest, ControlsAreKeptForTheNextOpenAndAPurgeDropsWhatIsQueued)
{
    // Kept while closed, applied by Open; the terminal refuses DTR.
    EXPECT_TRUE(handler.SetLine({19200, 8, 'N', 2}));
    EXPECT_TRUE(handler.SetFlowControl({false, true}));
    EXPECT_TRUE(handler.SetDtr(true));
    EXPECT_EQ(handler.GetControlLines().dtr, SFile::Signal::On);
    EXPECT_FALSE(handler.SetBreak(true)) << "a break is not kept";
    ASSERT_TRUE(handler.Open(pty.SlavePath(), 19200));
    termios held{};
    ASSERT_EQ(::tcgetattr(pty.Slave(), &held), 0);
    EXPECT_EQ(held.c_cflag & CSTOPB, static_cast<tcflag_t>(CSTOPB));
    EXPECT_EQ(held.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_TRUE(handler.GetFlowControl().software);
    EXPECT_EQ(log.CountContaining("refused DTR on: Inappropriate ioctl for device"), 1);
    EXPECT_EQ(handler.GetControlLines().dtr, SFile::Signal::Unknown);
    SFile::ModemLines lines;
    EXPECT_FALSE(handler.GetModemLines(lines));
    EXPECT_TRUE(handler.SetBreak(true));
    EXPECT_TRUE(handler.SetBreak(false));
    ASSERT_TRUE(handler.SetFlowControl({false, false}));

    // The device reads nothing for a while: what is queued meanwhile waits,
    // and a purge of output drops it, reported as dropped, with what the
    // terminal holds beyond what its far end has taken in.
    const std::size_t filled = pty.FillUnread();
    const std::string doomed = Pattern(3000);
    ASSERT_EQ(handler.QueueWrite(doomed.data(), static_cast<unsigned>(doomed.size())), doomed.size());
    ASSERT_TRUE(handler.Purge(SFile::Queues::Output));
    EXPECT_EQ(collector.WrittenReports() + collector.DroppedReports(), doomed.size());
    EXPECT_EQ(handler.GetWriteRoom(), SerialPortHandler::kWriteQueueBytes);
    ASSERT_EQ(handler.QueueWrite("after", 5), 5u);
    std::string received;
    ASSERT_TRUE(WaitFor([&] {
        received += pty.ReceiveAvailable();
        return received.size() >= 5 && received.compare(received.size() - 5, 5, "after") == 0;
    }));
    EXPECT_EQ(received.find_first_not_of('\0'), received.size() - 5) << "only zeros come first";
    EXPECT_LT(received.size() - 5, filled) << "the terminal's output was purged too";
    EXPECT_TRUE(handler.Purge(SFile::Queues::Input));

    // A line set while the port is lost is what it comes back with.
    pty.CloseMaster();
    ASSERT_TRUE(WaitFor([&] { return handler.IsLost(); }));
    EXPECT_TRUE(handler.SetLine({4800, 8, 'N', 1}));
    EXPECT_EQ(handler.GetLine().baud, 4800);
    PtyPair replugged;
    ASSERT_TRUE(handler.Open(replugged.SlavePath(), handler.GetBaud()));
    ASSERT_EQ(::tcgetattr(replugged.Slave(), &held), 0);
    EXPECT_EQ(::cfgetospeed(&held), static_cast<speed_t>(B4800));
    EXPECT_EQ(held.c_cflag & CSTOPB, 0u);
}

TEST(SerialPortHandlerAlone, WithoutATargetTheHandlerConsumesItsOwnEvents)
{
    PtyPair pty;
    ASSERT_TRUE(pty.IsOk());
    SerialPortHandler handler(kChunkSize, -1, nullptr);
    EXPECT_NE(handler.GetEventId(), -1);
    ASSERT_TRUE(handler.Open(pty.SlavePath(), 9600));
    ASSERT_TRUE(pty.Send("ignored"));
    EXPECT_TRUE(WaitFor([&] { return handler.GetRead() == 7; }));
}

TEST(SerialPortHandlerTables, CheckBaudKeepsListedRatesOnly)
{
    for (int rate : {150, 300, 9600, 57600, 921600})
        EXPECT_EQ(SerialPortHandler::CheckBaud(rate), rate);
    for (int rate : {14400, 0, -1, 1000000, 76800})
        EXPECT_EQ(SerialPortHandler::CheckBaud(rate), 9600);
}

TEST(SerialPortHandlerTables, BaudListIsTheFourteenRatesInOrder)
{
    const wxArrayString list = SerialPortHandler::GetBaudList();
    const std::vector<std::string> expected = {"150",   "300",   "600",    "1200",   "2400",   "4800",   "9600",
                                               "19200", "38400", "57600", "115200", "230400", "460800", "921600"};
    ASSERT_EQ(list.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(list[i].utf8_string(), expected[i]);
}

TEST(SerialPortHandlerTables, GapWaitIsTwoCharacterTimesWithinBounds)
{
    EXPECT_EQ(SerialPortHandler::GapWaitMicros(9600), 1000u);
    EXPECT_EQ(SerialPortHandler::GapWaitMicros(150), 1000u);
    EXPECT_EQ(SerialPortHandler::GapWaitMicros(115200), 173u);
    EXPECT_EQ(SerialPortHandler::GapWaitMicros(230400), 86u);
    EXPECT_EQ(SerialPortHandler::GapWaitMicros(921600), 50u);
    EXPECT_EQ(SerialPortHandler::GapWaitMicros(0), 1000u);
    EXPECT_EQ(SerialPortHandler::GapWaitMicros(-9600), 1000u);
}
