#include "support/ChildProcess.h"
#include "support/PtyPair.h"
#include "support/RawSqlite.h"
#include "support/TcpClient.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

using namespace std::chrono_literals;

namespace
{
class DaemonTest : public ::testing::Test
{
protected:
    ChildProcess Run(const std::vector<std::string>& arguments = {})
    {
        return ChildProcess(SERIAL_TCP_BRIDGED, arguments, dir.Path().string());
    }

    TempDir dir;
};
} // namespace

TEST_F(DaemonTest, ServesTheStoredBridgeUntilTerminated)
{
    PtyPair pty;
    ASSERT_TRUE(pty.IsOk());
    const unsigned short port = FreeTcpPort();
    ASSERT_EQ(WriteStoreWithOneBridge(pty.SlavePath(), 115200, port), "");

    ChildProcess daemon = Run();
    ASSERT_TRUE(daemon.IsStarted());
    TcpClient client;
    ASSERT_TRUE(WaitFor([&] { return client.Connect(port); }, 10s)) << daemon.StandardError();

    ASSERT_TRUE(client.Send("ping"));
    EXPECT_EQ(pty.Receive(4), "ping");
    ASSERT_TRUE(pty.Send("pong"));
    EXPECT_TRUE(WaitFor([&] { return client.Poll() && client.Received() == "pong"; }));

    daemon.Signal(SIGTERM);
    int status = -1;
    ASSERT_TRUE(daemon.Wait(2s, status)) << "it did not end within two seconds";
    EXPECT_EQ(status, 0) << daemon.StandardError();
    TcpClient late;
    EXPECT_FALSE(late.Connect(port)) << "the TCP port is free again";
    EXPECT_TRUE(WaitFor([&] { return !client.Poll(); })) << "its client was disconnected";

    const std::string log = FileBytes(dir / "filelog.txt");
    EXPECT_NE(log.find("Logger::initLog() Finished!"), std::string::npos);
    EXPECT_NE(log.find("initlog"), std::string::npos);
    EXPECT_EQ(daemon.StandardError(), log) << "standard error carries the same lines";
}

TEST_F(DaemonTest, AStoreItCannotReadEndsItWithAReason)
{
    std::ofstream("bridges.db") << "this is not a database, though it has a database's name";
    ChildProcess daemon = Run();
    int status = -1;
    ASSERT_TRUE(daemon.Wait(10s, status));
    EXPECT_EQ(status, 1);
    EXPECT_NE(daemon.StandardError().find("Cannot read the bridges from bridges.db: file is not a database"),
              std::string::npos)
        << daemon.StandardError();
}

TEST_F(DaemonTest, KnowsHelpAndVersionAndRefusesEverythingElse)
{
    int status = -1;
    ChildProcess help = Run({"--help"});
    ASSERT_TRUE(help.Wait(10s, status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(help.StandardOutput().rfind("Usage: serial-tcp-bridged", 0), 0u) << help.StandardOutput();

    ChildProcess version = Run({"--version"});
    ASSERT_TRUE(version.Wait(10s, status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(version.StandardOutput().rfind("serial-tcp-bridged ", 0), 0u) << version.StandardOutput();

    for (const std::vector<std::string>& wrong : {std::vector<std::string>{"--port", "4242"},
                                                  std::vector<std::string>{"-h"}, {"--help", "--version"}})
    {
        ChildProcess refused = Run(wrong);
        ASSERT_TRUE(refused.Wait(10s, status));
        EXPECT_EQ(status, 2);
        EXPECT_EQ(refused.StandardError(), "Usage: serial-tcp-bridged [--help | --version]\n");
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "filelog.txt")) << "arguments alone touch no file";
    EXPECT_FALSE(std::filesystem::exists(dir / "bridges.db"));
}
