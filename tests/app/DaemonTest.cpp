#include "support/ChildProcess.h"
#include "support/PtyPair.h"
#include "support/RawSqlite.h"
#include "support/TcpClient.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <sstream>

using namespace std::chrono_literals;

namespace
{
class DaemonTest : public ::testing::Test
{
protected:
    ChildProcess Run(const std::vector<std::string>& arguments = {},
                     ChildProcess::ErrorOutput errorOutput = ChildProcess::ErrorOutput::File)
    {
        return ChildProcess(SERIAL_TCP_BRIDGED, arguments, dir.Path().string(), errorOutput);
    }

    TempDir dir;
};

// Lowers this process's soft limit on descriptors while it lives, so that a
// child started meanwhile inherits a soft limit below the hard one.
class LoweredDescriptorLimit
{
public:
    LoweredDescriptorLimit()
    {
        ::getrlimit(RLIMIT_NOFILE, &m_saved);
        rlimit lowered = m_saved;
        lowered.rlim_cur = m_saved.rlim_max / 2;
        ::setrlimit(RLIMIT_NOFILE, &lowered);
    }
    ~LoweredDescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &m_saved); }

private:
    rlimit m_saved{};
};

// The soft and the hard limit on open descriptors of another process.
std::pair<std::string, std::string> DescriptorLimits(pid_t pid)
{
    std::ifstream limits("/proc/" + std::to_string(pid) + "/limits");
    std::pair<std::string, std::string> both;
    for (std::string line; std::getline(limits, line);)
    {
        if (line.rfind("Max open files", 0) == 0)
            std::istringstream(line.substr(sizeof "Max open files")) >> both.first >> both.second;
    }
    return both;
}
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

TEST_F(DaemonTest, RunsOnWhateverItsStandardErrorIsWithEveryDescriptorItMayHave)
{
    PtyPair pty;
    ASSERT_TRUE(pty.IsOk());
    const unsigned short port = FreeTcpPort();
    ASSERT_EQ(WriteStoreWithOneBridge(pty.SlavePath(), 115200, port), "");
    constexpr size_t kClients = 100;
    using Output = ChildProcess::ErrorOutput;

    const std::pair<Output, const char*> kinds[] = {{Output::Closed, "closed"},
                                                    {Output::PipeWithoutReader, "a pipe without reader"},
                                                    {Output::UnreadPipe, "a pipe nobody reads"}};
    for (const auto& [output, kind] : kinds)
    {
        SCOPED_TRACE(std::string("standard error: ") + kind);
        auto start = [&, output = output] {
            LoweredDescriptorLimit lowered;
            return Run({}, output);
        };
        ChildProcess daemon = start();
        ASSERT_TRUE(daemon.IsStarted());
        for (size_t n = 0; n < kClients; ++n)
        {
            TcpClient client;
            ASSERT_TRUE(WaitFor([&] { return client.Connect(port); }, 10s)) << "client " << n;
        }
        EXPECT_TRUE(WaitFor([&] {
            return CountOf(FileBytes(dir / "filelog.txt"), "New client connection accepted") == kClients;
        }, 10s)) << FileBytes(dir / "filelog.txt");
        const auto [soft, hard] = DescriptorLimits(daemon.Pid());
        EXPECT_FALSE(hard.empty());
        EXPECT_EQ(soft, hard) << "the soft limit was raised to the hard one";

        daemon.Signal(SIGTERM);
        int status = -1;
        ASSERT_TRUE(daemon.Wait(2s, status)) << "it did not end within two seconds";
        EXPECT_EQ(status, 0);
        // A log file opened as descriptor 2 would get every line twice.
        const std::string log = FileBytes(dir / "filelog.txt");
        EXPECT_EQ(CountOf(log, "Logger::initLog() Finished!"), 1u) << log;
        EXPECT_EQ(CountOf(log, "serial-tcp-bridged stops on signal 15"), 1u) << log;
        EXPECT_GT(log.size(), static_cast<size_t>(::getpagesize())) << "more than the unread pipe holds";
    }
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

TEST_F(DaemonTest, AMissingStoreEndsItWithWhereItLookedAndIsNotCreated)
{
    const std::string expected =
        "Cannot read the bridges: " + (std::filesystem::current_path() / "bridges.db").string() + " does not exist";
    for (const bool danglingLink : {false, true})
    {
        SCOPED_TRACE(danglingLink ? "a dangling link" : "no file");
        if (danglingLink)
            std::filesystem::create_symlink(dir / "gone.db", dir / "bridges.db");
        ChildProcess daemon = Run();
        int status = -1;
        ASSERT_TRUE(daemon.Wait(10s, status));
        EXPECT_EQ(status, 1);
        EXPECT_NE(daemon.StandardError().find(expected), std::string::npos) << daemon.StandardError();
        EXPECT_NE(FileBytes(dir / "filelog.txt").find(expected), std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(dir / "bridges.db")) << "nothing was created";
    }
}

TEST_F(DaemonTest, KnowsHelpAndVersionAndRefusesEverythingElse)
{
    int status = -1;
    ChildProcess help = Run({"--help"});
    ASSERT_TRUE(help.Wait(10s, status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(help.StandardOutput().rfind("Usage: serial-tcp-bridged", 0), 0u) << help.StandardOutput();
    EXPECT_NE(help.StandardOutput().find("bridges.db must exist"), std::string::npos) << help.StandardOutput();

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
