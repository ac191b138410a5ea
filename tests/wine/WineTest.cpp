// The Windows programs under Wine, driven from here: their COM ports are
// pseudo-terminals whose far end the tests play, and their clients connect
// over loopback.
#include "support/PatternStream.h"
#include "support/PtyPair.h"
#include "support/RawSqlite.h"
#include "support/TcpClient.h"
#include "support/TempDir.h"
#include "support/WinePrefix.h"

#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <iostream>

using namespace std::chrono_literals;

namespace
{
// Starting a Windows program starts Wine's own services first.
constexpr auto kStartUp = 60s;
constexpr std::uint64_t kMegabyte = 1024 * 1024;

std::string Log(const TempDir& dir)
{
    return FileBytes(dir / "filelog.txt");
}

bool LogHas(const TempDir& dir, const std::string& part, std::chrono::milliseconds timeout = 20s)
{
    return WaitFor([&] { return Log(dir).find(part) != std::string::npos; }, timeout);
}

// Waits until the runner has admitted count clients in all.
bool Admitted(const TempDir& dir, std::size_t count)
{
    return WaitFor([&] { return CountOf(Log(dir), "New client connection accepted") >= count; }, 20s);
}

// Stores bridges as the desktop program would: COM port, TCP port and frame.
struct StoredBridge
{
    unsigned comPort;
    unsigned short tcpPort;
    int baud = 115200;
    const char* frame = "8N1";
};

std::string WriteStore(const std::vector<StoredBridge>& bridges)
{
    std::string sql = std::string(kBridgesSchema) + kIpFiltersSchema +
                      "ALTER TABLE bridges ADD COLUMN data_bits INTEGER NULL;"
                      "ALTER TABLE bridges ADD COLUMN parity VARCHAR(1) NULL;"
                      "ALTER TABLE bridges ADD COLUMN stop_bits INTEGER NULL;";
    for (const StoredBridge& bridge : bridges)
        sql += "insert into bridges (com_port, com_baud, tcp_port, data_bits, parity, stop_bits) values ('COM" +
               std::to_string(bridge.comPort) + "', " + std::to_string(bridge.baud) + ", " +
               std::to_string(bridge.tcpPort) + ", " + bridge.frame[0] + ", '" + bridge.frame[1] + "', " +
               bridge.frame[2] + ");";
    return RawSqlite("bridges.db").Execute(sql);
}

class WineTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(wine.IsOk()) << "no Wine prefix";
        ASSERT_TRUE(pty.IsOk());
        wine.MapComPort(12, pty.SlavePath());
    }

    void TearDown() override
    {
        if (HasFailure())
            std::cout << "The program's log:\n" << Log(dir);
    }

    // The console runner on one stored bridge: COM12, 115200 baud, the
    // frame given, TCP port port.
    ChildProcess ServeOneBridge(const char* frame = "8N1")
    {
        EXPECT_EQ(WriteStore({{12, port, 115200, frame}}), "");
        return wine.Start(SERIAL_TCP_BRIDGED_EXE, {}, dir.Path().string());
    }

    // Connects once the program has started and listens on port.
    bool ConnectOnceListening(TcpClient& client)
    {
        return WaitFor([&] { return client.Connect(port); }, kStartUp);
    }

    static void Stop(ChildProcess& program)
    {
        // Wine turns SIGINT into Ctrl+C for a console program.
        program.Signal(SIGINT);
        int status = -1;
        EXPECT_TRUE(program.Wait(20s, status)) << "it did not end by itself";
        EXPECT_EQ(status, 0);
    }

    TempDir dir;
    WinePrefix wine;
    PtyPair pty;
    const unsigned short port = FreeTcpPort();
};
} // namespace

TEST_F(WineTest, TheWindowsCodePathsPassTheirOwnTests)
{
    ChildProcess tests = wine.Start(WINDOWS_TESTS_EXE, {}, dir.Path().string(), {"SERIAL_TEST_PORT=COM12"});
    int status = -1;
    ASSERT_TRUE(tests.Wait(120s, status)) << tests.StandardOutput();
    EXPECT_EQ(status, 0) << tests.StandardOutput();
}

TEST_F(WineTest, TheRunnerRelaysEveryByteBothWaysInOrderWithTheStoredFrame)
{
    ChildProcess runner = ServeOneBridge("8N2");
    TcpClient writer;
    ASSERT_TRUE(ConnectOnceListening(writer)) << Log(dir);
    ASSERT_TRUE(LogHas(dir, "serves 1 bridges"));

    termios settings{};
    ASSERT_EQ(::tcgetattr(pty.Master(), &settings), 0);
    EXPECT_EQ(::cfgetospeed(&settings), static_cast<speed_t>(B115200));
    EXPECT_EQ(settings.c_cflag & CSTOPB, static_cast<tcflag_t>(CSTOPB));
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO), 0u) << "raw bytes";

    TcpClient reader1, reader2;
    ASSERT_TRUE(reader1.Connect(port));
    ASSERT_TRUE(reader2.Connect(port));
    ASSERT_TRUE(Admitted(dir, 3));

    // Every byte value, then a megabyte, to all three.
    const std::string values = AllByteValues();
    ASSERT_TRUE(pty.Send(values));
    for (TcpClient* client : {&writer, &reader1, &reader2})
        EXPECT_TRUE(WaitFor([&] { return client->Poll() && client->Received().size() >= values.size(); }, 10s));
    for (TcpClient* client : {&writer, &reader1, &reader2})
        EXPECT_EQ(client->Received(), values);
    {
        std::vector<std::unique_ptr<PatternReader>> readers;
        for (TcpClient* client : {&writer, &reader1, &reader2})
            readers.push_back(std::make_unique<PatternReader>(client->Fd(), kMegabyte));
        PatternWriter device(pty.Master(), kMegabyte);
        ASSERT_TRUE(WaitFor([&] { return AllEnded(readers); }, 60s));
        for (auto& reader : readers)
            EXPECT_FALSE(reader->Failed());
    }

    // The writer's megabyte reaches the device; the readers' bytes do not.
    ASSERT_TRUE(reader1.Send("reader's bytes"));
    {
        PatternReader device(pty.Master(), kMegabyte);
        PatternWriter sender(writer.Fd(), kMegabyte);
        ASSERT_TRUE(WaitFor([&] { return device.Done() || device.Failed(); }, 60s)) << device.Received();
        EXPECT_FALSE(device.Failed());
    }
    EXPECT_EQ(pty.ReceiveUntilQuiet(500ms), "");
    Stop(runner);
    EXPECT_TRUE(WaitFor([&] { return !writer.Poll(); })) << "its clients were disconnected";
}

TEST_F(WineTest, TheRunnerDropsOnlyTheClientsThatFailAndAHeldBackWriterLosesNothing)
{
    ChildProcess runner = ServeOneBridge();
    TcpClient writer;
    ASSERT_TRUE(ConnectOnceListening(writer)) << Log(dir);

    // A client that never reads is dropped, one that resets just goes, and
    // a reader that keeps up gets every byte.
    TcpClient sleeper, resetter, keeper;
    ASSERT_TRUE(sleeper.Connect(port, "127.0.0.1", 4096));
    ASSERT_TRUE(resetter.Connect(port));
    ASSERT_TRUE(keeper.Connect(port));
    ASSERT_TRUE(Admitted(dir, 4));
    resetter.Reset();
    {
        PatternReader reader(keeper.Fd(), 4 * kMegabyte);
        PatternReader writerReads(writer.Fd(), 4 * kMegabyte);
        PatternWriter device(pty.Master(), 4 * kMegabyte);
        ASSERT_TRUE(WaitFor([&] { return (reader.Done() || reader.Failed()) && writerReads.Done(); }, 90s))
            << reader.Received();
        EXPECT_FALSE(reader.Failed());
    }
    EXPECT_TRUE(LogHas(dir, "cannot keep up, disconnected"));
    EXPECT_TRUE(WaitFor([&] { return !sleeper.Drain(); }, 10s)) << "the sleeper was disconnected";
    keeper.Close(); // the next client to come is the writer once the writer has gone

    // The device reads nothing for a while, so the port takes no more: the
    // writer sends more than the bridge holds for the port, and hangs up.
    const std::size_t filled = pty.FillUnread();
    // What the bridge queues for the port, and more that waits unread.
    const std::uint64_t sent = 80 * 1024;
    {
        PatternWriter sender(writer.Fd(), sent);
        ASSERT_TRUE(WaitFor(
            [&] {
                int unsent = -1;
                ::ioctl(writer.Fd(), TIOCOUTQ, &unsent);
                return sender.Done() && unsent == 0;
            },
            30s));
    }
    writer.Close();
    EXPECT_TRUE(LogHas(dir, "hung up; what it sent is still written", 5s))
        << "the hang-up is noticed while its bytes still wait";

    TcpClient next;
    ASSERT_TRUE(next.Connect(port));
    ASSERT_TRUE(Admitted(dir, 5));
    ASSERT_TRUE(next.Send(PatternBytes(sent, 4)));
    ASSERT_EQ(pty.Receive(filled, 10s).size(), filled);
    PatternReader device(pty.Master(), sent + 4);
    EXPECT_TRUE(WaitFor([&] { return device.Done() || device.Failed(); }, 30s)) << device.Received();
    EXPECT_FALSE(device.Failed()) << "all the old writer sent, then the new writer's bytes";
    Stop(runner);
}

TEST_F(WineTest, TheRunnerWaitsForAVanishedPortAndUsesItAgainWhenItIsBack)
{
    ChildProcess runner = ServeOneBridge();
    TcpClient client;
    ASSERT_TRUE(ConnectOnceListening(client)) << Log(dir);
    ASSERT_TRUE(LogHas(dir, "serves 1 bridges"));

    pty.CloseMaster();
    ASSERT_TRUE(LogHas(dir, "serial port COM12 lost")) << Log(dir);
    EXPECT_TRUE(client.Poll()) << "the client stays";

    PtyPair replugged;
    ASSERT_TRUE(replugged.IsOk());
    wine.RemapComPort(12, replugged.SlavePath());
    ASSERT_TRUE(LogHas(dir, "serial port COM12 is back", 30s)) << Log(dir);
    ASSERT_TRUE(client.Send("again"));
    EXPECT_EQ(replugged.Receive(5, 10s), "again");
    ASSERT_TRUE(replugged.Send("answer"));
    EXPECT_TRUE(WaitFor([&] { return client.Poll() && client.Received() == "answer"; }, 10s));
    Stop(runner);
}

TEST_F(WineTest, ATcpPortThatAnotherRunnerListensOnIsInUseUntilItIsFree)
{
    PtyPair second;
    ASSERT_TRUE(second.IsOk());
    wine.MapComPort(13, second.SlavePath());
    ChildProcess runner = ServeOneBridge();
    TcpClient client;
    ASSERT_TRUE(ConnectOnceListening(client)) << Log(dir);

    // Windows would let a socket that asks to reuse the address share a port
    // that another program listens on; the second runner must not.
    TempDir other;
    ASSERT_EQ(WriteStore({{13, port}}), "");
    ChildProcess late = wine.Start(SERIAL_TCP_BRIDGED_EXE, {}, other.Path().string());
    ASSERT_TRUE(LogHas(other, "cannot listen on TCP port " + std::to_string(port), kStartUp)) << Log(other);
    TcpClient another;
    ASSERT_TRUE(another.Connect(port));
    ASSERT_TRUE(another.Send("to the first"));
    ASSERT_TRUE(client.Send("from the first"));
    EXPECT_EQ(pty.Receive(14, 10s), "from the first") << "connections still reach the first runner";

    Stop(runner);
    EXPECT_TRUE(LogHas(other, "listening on TCP port " + std::to_string(port) + " at last", 30s)) << Log(other);
    TcpClient next;
    ASSERT_TRUE(WaitFor([&] { return next.Connect(port); }, 10s));
    ASSERT_TRUE(next.Send("to the second"));
    EXPECT_EQ(second.Receive(13, 10s), "to the second");
    Stop(late);
}

TEST_F(WineTest, TheDesktopProgramServesItsBridgesAndEndsCleanlyWhenItsWindowCloses)
{
    // A second bridge whose TCP port another program holds shows its problem.
    const unsigned short taken = FreeTcpPort();
    PtyPair second;
    ASSERT_TRUE(second.IsOk());
    wine.MapComPort(13, second.SlavePath());
    TcpClient holder;
    ASSERT_TRUE(holder.Listen(taken));
    ASSERT_EQ(WriteStore({{12, port}, {13, taken}}), "");
    ChildProcess desktop = wine.Start(SERIAL_TCP_BRIDGE_EXE, {}, dir.Path().string());
    TcpClient client;
    ASSERT_TRUE(ConnectOnceListening(client)) << Log(dir);
    ASSERT_TRUE(LogHas(dir, "serial-tcp-bridge runs 2 bridges"));
    EXPECT_TRUE(LogHas(dir, "cannot listen on TCP port " + std::to_string(taken)));

    ASSERT_TRUE(client.Send("to the device"));
    EXPECT_EQ(pty.Receive(13, 10s), "to the device");
    ASSERT_TRUE(pty.Send("to the client"));
    EXPECT_TRUE(WaitFor([&] { return client.Poll() && client.Received() == "to the client"; }, 10s));

    // Asked to close, as Windows asks a program whose window is closed from
    // the taskbar or at log-off.
    const std::filesystem::path elsewhere = dir / "taskkill";
    std::filesystem::create_directory(elsewhere);
    ChildProcess close = wine.Start("taskkill", {"/im", "serial-tcp-bridge.exe"}, elsewhere.string());
    int closed = -1;
    ASSERT_TRUE(close.Wait(30s, closed));
    ASSERT_EQ(closed, 0) << close.StandardOutput();
    int status = -1;
    ASSERT_TRUE(desktop.Wait(30s, status)) << "it did not end after its window closed";
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(WaitFor([&] { return !client.Poll(); })) << "its client was disconnected";
    TcpClient late;
    EXPECT_FALSE(late.Connect(port)) << "the TCP port is free again";
}
