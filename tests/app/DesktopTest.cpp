#include "support/ChildProcess.h"
#include "support/PtyPair.h"
#include "support/RawSqlite.h"
#include "support/TcpClient.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <sstream>

using namespace std::chrono_literals;

namespace
{
// Until the program has shown its window and listens for signals.
bool WaitUntilRunning(const TempDir& dir)
{
    return WaitFor([&] { return FileBytes(dir / "filelog.txt").find("serial-tcp-bridge runs") != std::string::npos; },
                   20s);
}

// Runs xdotool in a directory of its own; true when it succeeded in time.
bool Xdotool(const TempDir& dir, const std::vector<std::string>& arguments)
{
    const std::filesystem::path place = dir / "xdotool";
    std::filesystem::create_directory(place);
    ChildProcess tool(XDOTOOL, arguments, place.string());
    int status = -1;
    return tool.Wait(10s, status) && status == 0;
}
} // namespace

TEST(Desktop, ClosesWhenIdleAsWellAsWhenBusy)
{
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run under xvfb-run, as make test does";
    TempDir dir;
    ChildProcess program(SERIAL_TCP_BRIDGE, {}, dir.Path().string());
    ASSERT_TRUE(WaitUntilRunning(dir));
    program.Signal(SIGTERM);
    int status = -1;
    ASSERT_TRUE(program.Wait(2s, status)) << "an idle window must close too";
    EXPECT_EQ(status, 0) << program.StandardError();
}

TEST(Desktop, ServesTheStoredBridgeBehindItsWindowAndFreesThePortWhenClosed)
{
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run under xvfb-run, as make test does";
    TempDir dir;
    PtyPair pty;
    ASSERT_TRUE(pty.IsOk());
    const unsigned short port = FreeTcpPort();
    ASSERT_EQ(WriteStoreWithOneBridge(pty.SlavePath(), 9600, port), "");

    ChildProcess program(SERIAL_TCP_BRIDGE, {}, dir.Path().string());
    ASSERT_TRUE(WaitUntilRunning(dir)) << program.StandardError();
    TcpClient client;
    ASSERT_TRUE(WaitFor([&] { return client.Connect(port); }, 20s)) << program.StandardError();
    ASSERT_TRUE(client.Send("request"));
    EXPECT_EQ(pty.Receive(7), "request");
    ASSERT_TRUE(pty.Send("answer"));
    EXPECT_TRUE(WaitFor([&] { return client.Poll() && client.Received() == "answer"; }));

    // The signal closes the window as its close box would.
    const auto closing = std::chrono::steady_clock::now();
    program.Signal(SIGTERM);
    int status = -1;
    ASSERT_TRUE(program.Wait(5s, status));
    EXPECT_EQ(status, 0) << program.StandardError();
    EXPECT_LT(std::chrono::steady_clock::now() - closing, 2s);
    TcpClient late;
    EXPECT_FALSE(late.Connect(port));

    std::istringstream log(FileBytes(dir / "filelog.txt"));
    std::string first, second;
    std::getline(log, first);
    std::getline(log, second);
    EXPECT_NE(first.find("Logger::initLog() Finished!"), std::string::npos) << first;
    EXPECT_EQ(second.substr(second.size() - 9), ": initlog") << second;
}

// A message box runs a loop of its own that closing the window does not end.
TEST(Desktop, EndsOnASignalWhileAMessageBoxIsOpenAndFreesThePort)
{
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run under xvfb-run, as make test does";
    struct Case
    {
        const char* box;
        int signal;
        bool brokenStore; // shows its box at the start; the other is opened with F1
    };
    for (const Case& box : {Case{"^Bridge store$", SIGTERM, true}, Case{"^Welcome to\\.\\.\\.$", SIGINT, false}})
    {
        SCOPED_TRACE(box.box);
        TempDir dir;
        PtyPair pty;
        ASSERT_TRUE(pty.IsOk());
        const unsigned short port = FreeTcpPort();
        ASSERT_EQ(WriteStoreWithOneBridge(pty.SlavePath(), 9600, port), "");
        if (box.brokenStore) // the bridge is listed but, without its allow-list, not started
            ASSERT_EQ(RawSqlite("bridges.db").Execute("DROP TABLE ipfilters"), "");

        ChildProcess program(SERIAL_TCP_BRIDGE, {}, dir.Path().string());
        ASSERT_TRUE(WaitUntilRunning(dir)) << program.StandardError();
        const std::string pid = std::to_string(program.Pid());
        if (!box.brokenStore)
        {
            ASSERT_TRUE(Xdotool(dir, {"search", "--sync", "--onlyvisible", "--pid", pid, "--name",
                                      "^wxWidgets Application Template$", "windowfocus", "--sync", "key", "F1"}));
        }
        ASSERT_TRUE(Xdotool(dir, {"search", "--sync", "--onlyvisible", "--pid", pid, "--name", box.box}))
            << "the box is shown";
        TcpClient client;
        if (!box.brokenStore)
            ASSERT_TRUE(WaitFor([&] { return client.Connect(port); }, 10s)) << program.StandardError();

        const auto signalled = std::chrono::steady_clock::now();
        program.Signal(box.signal);
        int status = -1;
        ASSERT_TRUE(program.Wait(5s, status)) << "it did not end\n" << program.StandardError();
        EXPECT_LT(std::chrono::steady_clock::now() - signalled, 2s);
        EXPECT_EQ(status, 0) << program.StandardError();
        TcpClient late;
        EXPECT_FALSE(late.Connect(port)) << "the TCP port is free";
        if (!box.brokenStore)
            EXPECT_NE(FileBytes(dir / "filelog.txt").find("ProcessBase::stop() FINISH"), std::string::npos)
                << "the bridge's worker was joined";
    }
}
