// The Windows programs under Wine, driven from here: their COM ports are
// pseudo-terminals whose far end the tests play, and their clients connect
// over loopback.
#include "support/PatternStream.h"
#include "support/PtyPair.h"
#include "support/RawSqlite.h"
#include "support/TcpClient.h"
#include "support/TempDir.h"
#include "support/TraceParse.h"
#include "support/WinePrefix.h"

#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <iostream>

using namespace std::chrono_literals;

namespace
{
// Starting a Windows program starts Wine's own services first.
constexpr auto kStartUp = 60s;
constexpr std::uint64_t kMegabyte = 1024 * 1024;

std::string Log(const std::filesystem::path& folder)
{
    return FileBytes(folder / "filelog.txt");
}

std::string Log(const TempDir& dir)
{
    return Log(dir.Path());
}

bool LogHas(const std::filesystem::path& folder, const std::string& part, std::chrono::milliseconds timeout = 20s)
{
    return WaitFor([&] { return Log(folder).find(part) != std::string::npos; }, timeout);
}

bool LogHas(const TempDir& dir, const std::string& part, std::chrono::milliseconds timeout = 20s)
{
    return LogHas(dir.Path(), part, timeout);
}

// Waits until the runner has admitted count clients in all.
bool Admitted(const TempDir& dir, std::size_t count)
{
    return WaitFor([&] { return CountOf(Log(dir), "New client connection accepted") >= count; }, 20s);
}

// Stores bridges as the desktop program would: COM port, TCP port and frame.
struct StoredBridge
{
    std::string comPort;
    unsigned short tcpPort;
    int baud = 115200;
    const char* frame = "8N1";
    std::string traceFile; // none when empty
};

// Another test program's output as part of this test's failure. ctest takes
// GoogleTest's mark of a skipped test in a test's output for this test's own
// and would report the failure as a skip.
std::string OtherTestsOutput(std::string output)
{
    const std::string skipped = "[  SKIPPED ]";
    for (auto at = output.find(skipped); at != std::string::npos; at = output.find(skipped, at))
        output.replace(at, skipped.size(), "[ skipped ]");
    return output;
}

std::string WriteStore(const std::vector<StoredBridge>& bridges)
{
    std::string sql = std::string(kBridgesSchema) + kIpFiltersSchema +
                      "ALTER TABLE bridges ADD COLUMN data_bits INTEGER NULL;"
                      "ALTER TABLE bridges ADD COLUMN parity VARCHAR(1) NULL;"
                      "ALTER TABLE bridges ADD COLUMN stop_bits INTEGER NULL;"
                      "ALTER TABLE bridges ADD COLUMN trace_file TEXT NULL;";
    for (const StoredBridge& bridge : bridges)
        sql += "insert into bridges (com_port, com_baud, tcp_port, data_bits, parity, stop_bits, trace_file) "
               "values ('" + bridge.comPort + "', " + std::to_string(bridge.baud) + ", " + std::to_string(bridge.tcpPort) + ", " +
               bridge.frame[0] + ", '" + bridge.frame[1] + "', " + bridge.frame[2] + ", '" + bridge.traceFile + "');";
    return RawSqlite("bridges.db").Execute(sql);
}

// A runner command run to its end.
struct CommandResult
{
    int status = -1;
    std::string out, err;
};

// Runs xdotool on the display the programs use: empty when it succeeded in
// time, else what it said. A search meets windows that a closing dialog
// destroys meanwhile (BadWindow): that search is made again.
std::string Xdotool(const TempDir& dir, const std::vector<std::string>& arguments)
{
    const std::filesystem::path place = dir / "xdotool";
    std::filesystem::create_directories(place);
    std::string error;
    for (int attempt = 0; attempt < 3; ++attempt)
    {
        ChildProcess tool(XDOTOOL, arguments, place.string());
        int status = -1;
        if (tool.Wait(20s, status) && status == 0)
            return std::string();
        error = "xdotool " + arguments.back() + " failed (" + std::to_string(status) + "): " + tool.StandardError();
        if (error.find("BadWindow") == std::string::npos)
            break;
    }
    return error;
}

// How many windows with that title are shown now.
std::size_t ShownWindows(const TempDir& dir, const std::string& title)
{
    const std::filesystem::path place = dir / "xdotool";
    std::filesystem::create_directories(place);
    ChildProcess search(XDOTOOL, {"search", "--onlyvisible", "--name", "^" + title + "$"}, place.string());
    int status = -1;
    search.Wait(10s, status);
    return CountOf(search.StandardOutput(), "\n");
}

// Counts the times a file is opened, as a program that tries a port again
// opens its device each time.
class OpenCounter
{
public:
    explicit OpenCounter(const std::filesystem::path& file)
        : m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
          m_watch(::inotify_add_watch(m_fd, file.c_str(), IN_OPEN))
    {
    }
    ~OpenCounter() { ::close(m_fd); }

    bool IsOk() const { return m_fd >= 0 && m_watch >= 0; }
    std::size_t Count()
    {
        alignas(inotify_event) char buffer[4096];
        ssize_t got;
        while ((got = ::read(m_fd, buffer, sizeof buffer)) > 0)
        {
            for (char* at = buffer; at < buffer + got; at += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(at)->len)
                ++m_opens;
        }
        return m_opens;
    }

private:
    int m_fd;
    int m_watch;
    std::size_t m_opens = 0;
};

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
    ChildProcess ServeOneBridge(const char* frame = "8N1", const std::string& traceFile = std::string())
    {
        EXPECT_EQ(WriteStore({{"COM12", port, 115200, frame, traceFile}}), "");
        return wine.Start(SERIAL_TCP_BRIDGED_EXE, {}, dir.Path().string());
    }

    // Connects once the program has started and listens on port.
    bool ConnectOnceListening(TcpClient& client)
    {
        return WaitFor([&] { return client.Connect(port); }, kStartUp);
    }

    // Stops the runner serving directory with Ctrl+C.
    static void Stop(ChildProcess& program, const std::filesystem::path& directory)
    {
        // Wine turns SIGINT into Ctrl+C for a console program.
        program.Signal(SIGINT);
        int status = -1;
        EXPECT_TRUE(program.Wait(20s, status)) << "it did not end by itself";
        EXPECT_EQ(status, 0);
        EXPECT_EQ(CountOf(Log(directory), "serial-tcp-bridged stops on Ctrl+C"), 1u) << Log(directory);
    }

    CommandResult RunRunner(const std::vector<std::string>& arguments, const std::string& directory,
                            const std::vector<std::string>& environment = {})
    {
        ChildProcess command = wine.Start(SERIAL_TCP_BRIDGED_EXE, arguments, directory, environment);
        CommandResult result;
        EXPECT_TRUE(command.Wait(kStartUp, result.status)) << "it did not end by itself";
        result.out = command.StandardOutput();
        result.err = command.StandardError();
        return result;
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
    ASSERT_TRUE(tests.Wait(120s, status)) << OtherTestsOutput(tests.StandardOutput());
    EXPECT_EQ(status, 0) << OtherTestsOutput(tests.StandardOutput());
}

TEST_F(WineTest, TheRunnerRelaysEveryByteBothWaysInOrderWithTheStoredFrame)
{
    ChildProcess runner = ServeOneBridge("8N2", "relay.trace");
    TcpClient writer;
    ASSERT_TRUE(ConnectOnceListening(writer)) << Log(dir);
    ASSERT_TRUE(LogHas(dir, "serves 1 bridges"));

    termios settings{};
    ASSERT_EQ(::tcgetattr(pty.Master(), &settings), 0);
    EXPECT_EQ(::cfgetospeed(&settings), static_cast<speed_t>(B115200));
    EXPECT_EQ(settings.c_cflag & CSTOPB, static_cast<tcflag_t>(CSTOPB));
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO), 0u) << "raw bytes";

    // One reader over IPv6: the runner listens on both families.
    TcpClient reader1, reader2;
    ASSERT_TRUE(reader1.Connect(port));
    ASSERT_TRUE(reader2.Connect(port, "127.0.0.1", 0, "::1")) << "no IPv6 listener";
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
    Stop(runner, dir.Path());
    EXPECT_TRUE(WaitFor([&] { return !writer.Poll(); })) << "its clients were disconnected";

    // Its trace, written by the Windows file API, holds both streams.
    std::vector<ParsedRecord> traced;
    std::string why;
    ASSERT_TRUE(ParseTrace(FileBytes(dir / "relay.trace"), traced, why)) << why;
    EXPECT_TRUE(DeviceStream(traced) == values + PatternBytes(0, kMegabyte)) << "the device's stream differs";
    EXPECT_TRUE(ClientStream(traced) == PatternBytes(0, kMegabyte)) << "the writer's stream differs";
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
    Stop(runner, dir.Path());
}

TEST_F(WineTest, TheRunnerWaitsForAVanishedPortAndARefusingOneAndUsesThemWhenTheyWork)
{
    // COM13 is there but refuses to open (it is no serial device) until it
    // is plugged in again; the runner tries it every 1, 2, 4, ... seconds.
    const std::filesystem::path notSerial = dir / "not-a-serial-port";
    std::ofstream(notSerial).put('\n');
    OpenCounter opens(notSerial);
    ASSERT_TRUE(opens.IsOk());
    wine.MapComPort(13, notSerial.string());
    const unsigned short otherPort = FreeTcpPort();
    ASSERT_EQ(WriteStore({{"COM12", port}, {"COM13", otherPort}}), "");
    ChildProcess runner = wine.Start(SERIAL_TCP_BRIDGED_EXE, {}, dir.Path().string());
    TcpClient client;
    ASSERT_TRUE(ConnectOnceListening(client)) << Log(dir);
    ASSERT_TRUE(LogHas(dir, "serves 2 bridges"));

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

    // Said once when it fails and once when it opens, however often it was tried.
    ASSERT_TRUE(WaitFor([&] { return opens.Count() >= 4; }, 30s)) << "tried " << opens.Count() << " times";
    PtyPair pluggedIn;
    ASSERT_TRUE(pluggedIn.IsOk());
    wine.RemapComPort(13, pluggedIn.SlavePath());
    ASSERT_TRUE(LogHas(dir, "serial port COM13 is open now", 40s)) << Log(dir);
    EXPECT_EQ(CountOf(Log(dir), "serial port COM13: "), 1u) << Log(dir);
    TcpClient second;
    ASSERT_TRUE(second.Connect(otherPort));
    ASSERT_TRUE(second.Send("to COM13"));
    EXPECT_EQ(pluggedIn.Receive(8, 10s), "to COM13");
    Stop(runner, dir.Path());
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
    ASSERT_EQ(WriteStore({{"COM13", port}}), "");
    ChildProcess late = wine.Start(SERIAL_TCP_BRIDGED_EXE, {}, other.Path().string());
    ASSERT_TRUE(LogHas(other,
                       "cannot listen on TCP port " + std::to_string(port) + ": address already in use; it is tried again",
                       kStartUp))
        << Log(other);
    EXPECT_TRUE(LogHas(other, "serial-tcp-bridged serves 0 bridges; 1 more do not listen")) << Log(other);
    TcpClient another;
    ASSERT_TRUE(another.Connect(port));
    ASSERT_TRUE(another.Send("to the first"));
    ASSERT_TRUE(client.Send("from the first"));
    EXPECT_EQ(pty.Receive(14, 10s), "from the first") << "connections still reach the first runner";

    Stop(runner, dir.Path());
    EXPECT_TRUE(LogHas(other, "listening on TCP port " + std::to_string(port) + " at last", 30s)) << Log(other);
    TcpClient next;
    ASSERT_TRUE(WaitFor([&] { return next.Connect(port); }, 10s));
    ASSERT_TRUE(next.Send("to the second"));
    EXPECT_EQ(second.Receive(13, 10s), "to the second");
    Stop(late, other.Path());
}

TEST_F(WineTest, TheDesktopProgramServesItsBridgesAndEndsCleanlyWhenItsWindowCloses)
{
    // Six bridges: the first stored by an older program as com12, the
    // second on a TCP port that another program holds, which shows as its
    // problem, then one on a port that no Windows has, one on a port that is
    // not there now and one without a port.
    const unsigned short taken = FreeTcpPort();
    const unsigned short third = FreeTcpPort();
    PtyPair second, last;
    ASSERT_TRUE(second.IsOk());
    ASSERT_TRUE(last.IsOk());
    wine.MapComPort(13, second.SlavePath());
    wine.MapComPort(14, last.SlavePath());
    TcpClient holder;
    ASSERT_TRUE(holder.Listen(taken));
    ASSERT_EQ(WriteStore({{"com12", port},
                          {"COM13", taken},
                          {"COM14", third},
                          {"COM 5", FreeTcpPort()},
                          {"COM99", FreeTcpPort()},
                          {"", FreeTcpPort()}}),
              "");
    ChildProcess desktop = wine.Start(SERIAL_TCP_BRIDGE_EXE, {}, dir.Path().string());
    TcpClient client;
    ASSERT_TRUE(ConnectOnceListening(client)) << Log(dir);
    ASSERT_TRUE(LogHas(dir, "serial-tcp-bridge runs 6 bridges"));
    EXPECT_TRUE(LogHas(dir, "cannot listen on TCP port " + std::to_string(taken)));

    ASSERT_TRUE(client.Send("to the device"));
    EXPECT_EQ(pty.Receive(13, 10s), "to the device");
    ASSERT_TRUE(pty.Send("to the client"));
    EXPECT_TRUE(WaitFor([&] { return client.Poll() && client.Received() == "to the client"; }, 10s));

    // Enter in the options dialog presses OK: ...
    const auto edit = [&](const std::vector<std::string>& keys) {
        std::vector<std::string> select = {"search", "--sync", "--onlyvisible", "--name",
                                           "^wxWidgets Application Template$", "windowfocus", "--sync", "key"};
        select.insert(select.end(), keys.begin(), keys.end());
        select.push_back("F7");
        // The dialog takes the focus itself, maybe into one of its controls,
        // which windowfocus --sync would wait for in vain.
        std::string error = Xdotool(dir, select);
        if (error.empty())
            error = Xdotool(dir, {"search", "--sync", "--onlyvisible", "--name", "^Bridge options$"});
        return error.empty() ? Xdotool(dir, {"key", "Return"}) : error;
    };
    const auto storedPort = [&](int id) {
        const auto rows =
            RawSqlite((dir / "bridges.db").string()).Rows("select com_port from bridges where id = " + std::to_string(id));
        return rows.size() == 1 ? rows[0][0] : std::string("no such bridge");
    };
    // ... a name that no Windows port has, or none, is refused in a
    // message box, ...
    for (const std::vector<std::string>& keys : {std::vector<std::string>{"End", "Up", "Up"}, {"End"}})
    {
        ASSERT_EQ(edit(keys), "");
        EXPECT_TRUE(WaitFor([&] { return ShownWindows(dir, "Bridge options") == 2; }, 10s)) << "the refusal shows";
        ASSERT_EQ("", Xdotool(dir, {"key", "Return"}));
        ASSERT_TRUE(WaitFor([&] { return ShownWindows(dir, "Bridge options") == 1; }, 10s));
        ASSERT_EQ("", Xdotool(dir, {"key", "Escape"}));
        ASSERT_TRUE(WaitFor([&] { return ShownWindows(dir, "Bridge options") == 0; }, 10s));
    }
    EXPECT_EQ(storedPort(4), "COM 5");
    EXPECT_EQ(storedPort(6), "");
    // ... a port that is not there now is kept, ...
    ASSERT_EQ(edit({"End", "Up"}), "");
    EXPECT_TRUE(WaitFor([&] { return ShownWindows(dir, "Bridge options") == 0; }, 10s)) << "COM99 was kept";
    EXPECT_EQ(storedPort(5), "COM99");
    // ... and one in another case is stored as Windows names it.
    ASSERT_EQ(edit({"Home"}), "");
    EXPECT_TRUE(WaitFor([&] { return storedPort(1) == "COM12"; }, 10s)) << "the dialog took Enter for OK";
    TcpClient after;
    ASSERT_TRUE(WaitFor([&] { return after.Connect(port); }, 10s)) << "the changed bridge listens again";

    // Alt+F4 ends it as the close box does.
    ASSERT_EQ("", Xdotool(dir, {"search", "--sync", "--onlyvisible", "--name", "^wxWidgets Application Template$",
                                "windowfocus", "--sync", "key", "alt+F4"}));
    int status = -1;
    ASSERT_TRUE(desktop.Wait(30s, status)) << "it did not end after Alt+F4";
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(WaitFor([&] { return !after.Poll(); })) << "its client was disconnected";
    TcpClient late;
    EXPECT_FALSE(late.Connect(port)) << "the TCP port is free again";

    // Asked to close, as Windows asks a program whose window is closed from
    // the taskbar or at log-off.
    ChildProcess again = wine.Start(SERIAL_TCP_BRIDGE_EXE, {}, dir.Path().string());
    TcpClient next;
    ASSERT_TRUE(ConnectOnceListening(next)) << Log(dir);
    const std::filesystem::path elsewhere = dir / "taskkill";
    std::filesystem::create_directory(elsewhere);
    ChildProcess close = wine.Start("taskkill", {"/im", "serial-tcp-bridge.exe"}, elsewhere.string());
    int closed = -1;
    ASSERT_TRUE(close.Wait(30s, closed));
    ASSERT_EQ(closed, 0) << close.StandardOutput();
    ASSERT_TRUE(again.Wait(30s, status)) << "it did not end after its window closed";
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(WaitFor([&] { return !next.Poll(); })) << "its client was disconnected";
    EXPECT_FALSE(late.Connect(port)) << "the TCP port is free again";
}

TEST_F(WineTest, TheRunnersCommandsTakeAnyPortCaseAndUnicodeFoldersAndReachTheRunnerServingThem)
{
    // Wine hands a program a Unix command line in the locale's character set.
    const std::vector<std::string> utf8 = {"LC_ALL=C.UTF-8"};
    const std::filesystem::path folder = dir / "Donn\u00e9es";
    std::filesystem::create_directory(folder);
    std::string windowsFolder = "Z:" + folder.string();
    std::replace(windowsFolder.begin(), windowsFolder.end(), '/', '\\');
    const std::string here = dir.Path().string();

    const CommandResult added = RunRunner({"--dir", windowsFolder, "add", "com12", "115200", std::to_string(port)}, here, utf8);
    ASSERT_EQ(added.status, 0) << added.err;
    EXPECT_NE(added.out.find("Added bridge 1: COM12 at 115200 baud"), std::string::npos) << added.out;
    EXPECT_NE(added.out.find("A running serial-tcp-bridged applies this when reloaded: serial-tcp-bridged --dir \"" +
                             windowsFolder + "\" reload"),
              std::string::npos)
        << added.out;
    EXPECT_TRUE(std::filesystem::exists(folder / "bridges.db"));
    for (const std::string& name : {std::string("COM 5"), std::string("/dev/ttyS0"), std::string(300, 'A')})
    {
        const CommandResult refused = RunRunner({"--dir", windowsFolder, "add", name, "9600", "4000"}, here, utf8);
        EXPECT_EQ(refused.status, 2) << name;
        EXPECT_NE(refused.err.find("is not a Windows serial port name such as COM3"), std::string::npos) << refused.err;
    }
    const CommandResult wrongSet = RunRunner({"--dir", windowsFolder, "set", "1", "--serial", "COM 5"}, here, utf8);
    EXPECT_EQ(wrongSet.status, 2) << wrongSet.out;
    const CommandResult nobody = RunRunner({"--dir", windowsFolder, "reload"}, here, utf8);
    EXPECT_EQ(nobody.status, 1);
    EXPECT_NE(nobody.err.find("no serial-tcp-bridged serves " + windowsFolder), std::string::npos) << nobody.err;

    // Served from that folder, the port typed in lower case is COM12.
    ChildProcess runner = wine.Start(SERIAL_TCP_BRIDGED_EXE, {"--dir", windowsFolder}, here, utf8);
    TcpClient client;
    ASSERT_TRUE(ConnectOnceListening(client)) << Log(folder);
    ASSERT_TRUE(client.Send("lower case"));
    EXPECT_EQ(pty.Receive(10, 10s), "lower case");

    // A change reaches it by reload, with the folder written in any case.
    const CommandResult changed = RunRunner({"--dir", windowsFolder, "set", "1", "--baud", "9600"}, here, utf8);
    ASSERT_EQ(changed.status, 0) << changed.err;
    std::string shouted = windowsFolder;
    std::transform(shouted.begin(), shouted.end(), shouted.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; });
    const CommandResult reloaded = RunRunner({"--dir", shouted + "\\", "reload"}, here, utf8);
    EXPECT_EQ(reloaded.status, 0) << reloaded.err;
    EXPECT_NE(reloaded.out.find("has read bridges.db again"), std::string::npos) << reloaded.out;
    EXPECT_TRUE(LogHas(folder, "0 bridges unchanged, 1 restarted")) << Log(folder);
    EXPECT_TRUE(WaitFor(
        [&] {
            termios settings{};
            return ::tcgetattr(pty.Master(), &settings) == 0 && ::cfgetospeed(&settings) == B9600;
        },
        10s));
    Stop(runner, folder);
}

TEST_F(WineTest, ARunnerThatCannotInitialiseSocketsEndsSayingWhy)
{
    ASSERT_EQ(WriteStore({{"COM12", port}}), "");
    // Without a display Wine gives the program no window station, which the
    // toolkit's Windows sockets need.
    ChildProcess runner = wine.Start(SERIAL_TCP_BRIDGED_EXE, {}, dir.Path().string(), {"DISPLAY="});
    int status = -1;
    ASSERT_TRUE(runner.Wait(kStartUp, status)) << "it went on as if it served: " << Log(dir);
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(LogHas(dir, "serial-tcp-bridged cannot serve: the system's sockets cannot be initialised", 1s))
        << Log(dir);
    EXPECT_EQ(CountOf(Log(dir), "serial-tcp-bridged serves"), 0u) << Log(dir);
}

TEST(WindowsZip, ItsReadmeHasWindowsLineEnds)
{
    TempDir dir;
    ASSERT_TRUE(RunsToSuccess(CMAKE_COMMAND, {"-E", "tar", "xf", WINDOWS_ZIP}, dir.Path().string()));
    const std::string readme = FileBytes(dir / "README.txt");
    ASSERT_FALSE(readme.empty());
    EXPECT_EQ(CountOf(readme, "\r\n"), CountOf(readme, "\n")) << "every line ends in CR LF";
    EXPECT_EQ(CountOf(readme, "\r\r"), 0u);
}
