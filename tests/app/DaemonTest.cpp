#include "support/ChildProcess.h"
#include "support/PatternStream.h"
#include "support/PtyPair.h"
#include "support/RawSqlite.h"
#include "support/TcpClient.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
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
    EXPECT_NE(help.StandardOutput().find("reads bridges.db again on SIGHUP"), std::string::npos)
        << help.StandardOutput();

    ChildProcess version = Run({"--version"});
    ASSERT_TRUE(version.Wait(10s, status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(version.StandardOutput().rfind("serial-tcp-bridged ", 0), 0u) << version.StandardOutput();

    const std::pair<std::vector<std::string>, const char*> wrong[] = {
        {{"--port", "4242"}, "unknown option --port"},
        {{"-x"}, "unknown option -x"},
        {{"serve"}, "unknown command \"serve\""},
        {{"list", "extra"}, "list takes no arguments"},
        {{"add", "/dev/ttyS0", "9600"}, "add takes SERIAL BAUD TCPPORT"},
        {{"remove", "1", "--baud", "9600"}, "remove takes no --baud"},
        {{"set", "1", "--baud", "9600", "--baud", "300"}, "--baud is given twice"},
        {{"list", "--dir"}, "--dir needs a value"},
    };
    for (const auto& [arguments, reason] : wrong)
    {
        ChildProcess refused = Run(arguments);
        ASSERT_TRUE(refused.Wait(10s, status));
        EXPECT_EQ(status, 2);
        EXPECT_EQ(refused.StandardError(),
                  std::string("serial-tcp-bridged: ") + reason + " (see serial-tcp-bridged --help)\n");
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "filelog.txt")) << "arguments alone touch no file";
    EXPECT_FALSE(std::filesystem::exists(dir / "bridges.db"));

    // Output that could not be written is no success.
    ASSERT_TRUE(RunsToSuccess(SERIAL_TCP_BRIDGED, {"add", "/dev/ttyS0", "9600", "4001"}, dir.Path().string()));
    for (const char* command : {"--help", "--version", "list", "ports"})
    {
        ChildProcess full("/bin/sh", {"-c", "exec \"$0\" \"$1\" >/dev/full", SERIAL_TCP_BRIDGED, command},
                          dir.Path().string());
        ASSERT_TRUE(full.Wait(10s, status));
        EXPECT_EQ(status, 1) << command;
        EXPECT_EQ(full.StandardError(),
                  "serial-tcp-bridged: standard output cannot be written: No space left on device\n");
    }
}

TEST_F(DaemonTest, ManagesTheStoredBridgesFromTheShell)
{
    struct Outcome
    {
        int status = -1;
        std::string out, err;
    };
    // Each runs from the test's directory with --dir, before or after the command.
    const auto command = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.size() % 2 ? arguments.begin() : arguments.end(), {"--dir", dir.Path().string()});
        ChildProcess child(SERIAL_TCP_BRIDGED, arguments, "/");
        Outcome outcome;
        EXPECT_TRUE(child.Wait(10s, outcome.status));
        outcome.out = child.StandardOutput();
        outcome.err = child.StandardError();
        return outcome;
    };
    const std::string store = (dir / "bridges.db").string();
    const auto rows = [&] {
        return RawSqlite(store).Rows("select b.id, com_port, com_baud, tcp_port, data_bits, parity, stop_bits, "
                                     "listen_address, "
                                     "(select group_concat(ip_address) from (select ip_address from ipfilters "
                                     "where bridge_id = b.id order by ip_address)) from bridges b order by b.id");
    };
    using Rows = std::vector<std::vector<std::string>>;

    Outcome listed = command({"list"});
    EXPECT_EQ(listed.status, 1);
    EXPECT_EQ(listed.err, "serial-tcp-bridged: " + store + " does not exist (add makes it)\n");
    EXPECT_FALSE(std::filesystem::exists(store)) << "only add makes the store";

    Outcome added = command({"add", "/dev/ttyUSB7", "9600", "4001", "--listen", "127.0.0.1"});
    EXPECT_EQ(added.status, 0) << added.err;
    EXPECT_EQ(added.out,
              "Added bridge 1: /dev/ttyUSB7 at 9600 baud 8N1, TCP port 4001 of 127.0.0.1, any address may connect\n"
              "A running serial-tcp-bridged applies this when reloaded: systemctl reload serial-tcp-bridged\n");
    added = command({"add", "/dev/ttyS3", "115200", "4002", "--frame", "7e2", "--allow", "10.0.0.2", "--allow=10.0.0.1",
                     "--trace", " t.log "});
    EXPECT_EQ(added.status, 0) << added.err;
    EXPECT_EQ(added.out.substr(0, added.out.find('\n')),
              "Added bridge 2: /dev/ttyS3 at 115200 baud 7E2, TCP port 4002, admits 10.0.0.2, 10.0.0.1, traced to t.log");
    EXPECT_EQ(rows(), (Rows{{"1", "/dev/ttyUSB7", "9600", "4001", "8", "N", "1", "127.0.0.1", "NULL"},
                            {"2", "/dev/ttyS3", "115200", "4002", "7", "E", "2", "NULL", "10.0.0.1,10.0.0.2"}}));

    // What the options dialog refuses is refused here, and nothing is written.
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"add", "/dev/ttyS0", "12345", "4003"}, "\"12345\" is not a baud rate offered: 150 300 600"},
        {{"add", "/dev/ttyS0", "9600", "65536"}, "the TCP port must be a number from 1 to 65535, not \"65536\""},
        {{"add", " ", "9600", "4003"}, "the serial port is empty"},
        {{"set", "2", "--frame", "9N1"}, "\"9N1\" is not a character frame such as 8N1"},
        {{"set", "2", "--allow", "10.0.0.256"}, "\"10.0.0.256\" is not an IP address such as 192.168.0.10"},
        {{"set", "2", "--allow", "1::2::3"}, "\"1::2::3\" is not an IP address"},
        {{"set", "2", "--listen", "[::1]"}, "\"[::1]\" is written with brackets"},
        {{"set", "2", "--listen", "2001:db8::1%eth0"}, "\"2001:db8::1%eth0\" has a zone"},
        {{"set", "2", "--listen", "ff02::1"}, "\"ff02::1\" is a broadcast or multicast address"},
        {{"set", "2", "--allow-all", "--allow", "10.0.0.3"}, "--allow-all and --allow exclude each other"},
        {{"set", "2", "--trace", "u.log", "--no-trace"}, "--no-trace and --trace exclude each other"},
        {{"add", "/dev/ttyS0", "9600", "4003", "--no-trace"}, "add takes no --no-trace"},
        {{"set", "2", "--trace", "t\xff.log"}, "the value of --trace is not UTF-8 text"},
        {{"set", "2"}, "set changes nothing without an option such as --baud 9600"},
        {{"set", "2", "--listen", "224.0.0.1"}, "\"224.0.0.1\" is a broadcast or multicast address"},
        {{"set", "2", "--listen", "255.255.255.255"}, "\"255.255.255.255\" is a broadcast or multicast address"},
        // Stored as nothing, this would listen on every address.
        {{"set", "2", "--listen", "127.0.0.1\xff"}, "the value of --listen is not UTF-8 text"},
        {{"set", "2", "--allow=10.0.0.1\xc3"}, "the value of --allow is not UTF-8 text"},
        {{"add", "/dev/tty\xff", "9600", "4003"}, "argument 2 is not UTF-8 text"},
        {{"reload"}, "reload is for Windows; here a running serial-tcp-bridged reads bridges.db again on SIGHUP"},
    };
    for (const auto& [arguments, reason] : refused)
    {
        const Outcome outcome = command(arguments);
        EXPECT_EQ(outcome.status, 2) << arguments[0];
        EXPECT_EQ(outcome.err.rfind("serial-tcp-bridged: " + reason, 0), 0u) << outcome.err;
    }
    const Outcome unknown = command({"remove", "9"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.err, "serial-tcp-bridged: no bridge has the id \"9\" in " + store + "\n");

    EXPECT_EQ(command({"set", "2", "--baud", "19200", "--tcp", "4012", "--allow", "10.0.0.9"}).status, 0);
    // Stored as the dialog stores it, with a word of warning.
    const Outcome shared = command({"add", "/dev/ttyS4", "9600", "4012", "--listen", "127.0.0.1"});
    EXPECT_EQ(shared.status, 0);
    EXPECT_EQ(shared.err, "serial-tcp-bridged: warning: TCP port 4012 is bridge 2's too; only the bridge that starts "
                          "first can listen on it\n");
    EXPECT_EQ(command({"add", "/dev/ttyS5", "9600", "4013"}).err, "") << "another port is no warning";
    // A stored TCP port that cannot be used is mended only on purpose.
    RawSqlite(store).Execute("update bridges set tcp_port = 0 where id = 3;");
    const Outcome unmended = command({"set", "3", "--baud", "300"});
    EXPECT_EQ(unmended.status, 2);
    EXPECT_EQ(unmended.err, "serial-tcp-bridged: bridge 3 has no valid TCP port; give one with --tcp\n");
    EXPECT_EQ(RawSqlite(store).Rows("select com_baud, tcp_port from bridges where id = 3"),
              (Rows{{"9600", "0"}}));
    EXPECT_EQ(command({"remove", "3"}).status, 0);
    EXPECT_EQ(command({"remove", "4"}).status, 0);
    EXPECT_EQ(command({"set", "1", "--serial", "/dev/ttyUSB8", "--frame", "8O1", "--listen", "0.0.0.0"}).status, 0);
    EXPECT_EQ(command({"set", "2", "--listen", "127.0.0.1", "--protocol", "rfc2217"}).status, 0);
    EXPECT_EQ(rows(), (Rows{{"1", "/dev/ttyUSB8", "9600", "4001", "8", "O", "1", "NULL", "NULL"},
                            {"2", "/dev/ttyS3", "19200", "4012", "7", "E", "2", "127.0.0.1", "10.0.0.9"}}));
    EXPECT_EQ(command({"set", "2", "--allow-all"}).status, 0);
    const Outcome removed = command({"remove", "1"});
    EXPECT_EQ(removed.status, 0);
    EXPECT_EQ(removed.out.rfind("Removed bridge 1: /dev/ttyUSB8 at 9600 baud 8O1", 0), 0u) << removed.out;

    listed = command({"list"});
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(listed.out, "ID  #  SERIAL PORT  BAUD   FRAME  TCP PORT  LISTEN     PROTOCOL  ALLOW\n"
                          "2   0  /dev/ttyS3   19200  7E2    4012      127.0.0.1  rfc2217   any\n"
                          "       trace: t.log\n")
        << "a port that is not there has no description";
    EXPECT_EQ(command({"set", "2", "--no-trace"}).status, 0);
    EXPECT_EQ(RawSqlite(store).Rows("select trace_file from bridges"), (Rows{{"NULL"}}));
    // Odd values keep the table a table: widths in characters, controls
    // escaped, and a very long value cut.
    RawSqlite(store).Execute("insert into bridges (com_port, com_baud, tcp_port) values "
                             "('/dev/ttyÜ\n1', 9600, 4100), ('/dev/' || printf('%.200c', 'x'), 9600, 4101);");
    listed = command({"list"});
    const auto cell = [](const std::string& text, std::size_t characters) {
        return text + std::string(100 + 2 - characters, ' ');
    };
    EXPECT_EQ(listed.out, "ID  #  " + cell("SERIAL PORT", 11) + "BAUD   FRAME  TCP PORT  LISTEN     PROTOCOL  ALLOW\n" +
                              "2   0  " + cell("/dev/ttyS3", 10) + "19200  7E2    4012      127.0.0.1  rfc2217   any\n" +
                              "5   1  " + cell("/dev/ttyÜ\\n1", 12) + "9600   8N1    4100      all        raw       any\n" +
                              "6   2  " + cell("/dev/" + std::string(94, 'x') + "…", 100) +
                              "9600   8N1    4101      all        raw       any\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "filelog.txt")) << "the service's log is not the shell's";

    // IPv6 addresses are stored in canonical text, an IPv4 one written as
    // IPv6 as IPv4, and :: means every address, as 0.0.0.0 does.
    EXPECT_EQ(command({"set", "2", "--listen", "::1", "--allow", "2001:DB8:0::1", "--allow", "::ffff:10.0.0.5"}).status,
              0);
    const auto ofBridge2 = [&] {
        return RawSqlite(store).Rows("select listen_address, (select group_concat(ip_address) from (select ip_address "
                                     "from ipfilters where bridge_id = 2 order by ip_address)) from bridges "
                                     "where id = 2");
    };
    EXPECT_EQ(ofBridge2(), (Rows{{"::1", "10.0.0.5,2001:db8::1"}}));
    EXPECT_EQ(command({"set", "2", "--listen", "::"}).status, 0);
    EXPECT_EQ(ofBridge2(), (Rows{{"NULL", "10.0.0.5,2001:db8::1"}}));

    std::ofstream(store, std::ios::trunc) << "not a database";
    listed = command({"list"});
    EXPECT_EQ(listed.status, 1);
    EXPECT_EQ(listed.err, "serial-tcp-bridged: Cannot read the bridges from bridges.db: file is not a database\n");
}

TEST_F(DaemonTest, ReloadKeepsUnchangedBridgesWithTheirClientsAndAppliesTheRest)
{
    PtyPair kept, changed, added;
    ASSERT_TRUE(kept.IsOk() && changed.IsOk() && added.IsOk());
    const unsigned short keptPort = FreeTcpPort(), changedPort = FreeTcpPort(), addedPort = FreeTcpPort();
    const auto shell = [&](const std::vector<std::string>& arguments) {
        return RunsToSuccess(SERIAL_TCP_BRIDGED, arguments, dir.Path().string());
    };
    ASSERT_TRUE(shell({"add", kept.SlavePath(), "115200", std::to_string(keptPort), "--allow", "127.0.0.1"}));
    ASSERT_TRUE(shell({"add", changed.SlavePath(), "115200", std::to_string(changedPort)}));

    // As systemd would start it: it says when it is ready.
    const std::string notifyPath = (dir / "notify").string();
    const int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un notifyAddress{};
    notifyAddress.sun_family = AF_UNIX;
    std::strncpy(notifyAddress.sun_path, notifyPath.c_str(), sizeof notifyAddress.sun_path - 1);
    ASSERT_EQ(::bind(notify, reinterpret_cast<sockaddr*>(&notifyAddress), sizeof notifyAddress), 0);
    ::setenv("NOTIFY_SOCKET", notifyPath.c_str(), 1);
    ChildProcess daemon = Run();
    ::unsetenv("NOTIFY_SOCKET");
    char state[64] = {};
    EXPECT_TRUE(WaitFor([&] { return ::recv(notify, state, sizeof state - 1, 0) > 0; }, 10s));
    ::close(notify);
    EXPECT_STREQ(state, "READY=1");
    TcpClient keptClient, changedClient;
    ASSERT_TRUE(WaitFor([&] { return keptClient.Connect(keptPort); }, 10s)) << daemon.StandardError();
    ASSERT_TRUE(WaitFor([&] { return changedClient.Connect(changedPort); }, 10s));
    // What the device sends before a client is admitted reaches nobody.
    ASSERT_TRUE(WaitFor([&] { return CountOf(FileBytes(dir / "filelog.txt"), "connection accepted") == 2; }));
    // The device streams to the kept bridge's client across both reloads.
    constexpr std::uint64_t kStream = 512 * 1024;
    PatternReader reader(keptClient.Fd(), kStream);
    PatternWriter writer(kept.Master(), kStream, 256 * 1024);
    const auto reloads = [&] {
        return CountOf(FileBytes(dir / "filelog.txt"), "read " + (dir / "bridges.db").string());
    };

    ASSERT_TRUE(shell({"set", "2", "--baud", "9600"}));
    ASSERT_TRUE(shell({"add", added.SlavePath(), "9600", std::to_string(addedPort)}));
    // A trace turned on is no reason to drop the kept bridge's client.
    ASSERT_TRUE(shell({"set", "1", "--trace", "kept.log"}));
    daemon.Signal(SIGHUP);
    ASSERT_TRUE(WaitFor([&] { return reloads() == 1; })) << FileBytes(dir / "filelog.txt");
    EXPECT_TRUE(WaitFor([&] { return !changedClient.Poll(); })) << "the changed bridge restarted";
    TcpClient addedClient, restartedClient;
    EXPECT_TRUE(WaitFor([&] { return addedClient.Connect(addedPort); }));
    EXPECT_TRUE(WaitFor([&] { return restartedClient.Connect(changedPort); }));
    EXPECT_TRUE(restartedClient.Send("at 9600"));
    EXPECT_EQ(changed.Receive(7), "at 9600");

    // A store that cannot be read changes nothing, and one emptied by
    // mistake does not stop every bridge.
    std::filesystem::rename(dir / "bridges.db", dir / "kept.db");
    std::size_t refusals = 0;
    for (const char* content : {"not a database", ""})
    {
        std::ofstream(dir / "bridges.db", std::ios::trunc) << content;
        daemon.Signal(SIGHUP);
        ++refusals;
        ASSERT_TRUE(WaitFor([&] { return CountOf(FileBytes(dir / "filelog.txt"), "stay as they are") == refusals; }));
    }
    EXPECT_EQ(CountOf(FileBytes(dir / "filelog.txt"), "Cannot read the bridges from bridges.db: it has no bridges table"),
              1u);
    std::filesystem::rename(dir / "kept.db", dir / "bridges.db");

    EXPECT_TRUE(WaitFor([&] { return reader.Done() || reader.Failed(); }, 10s));
    EXPECT_FALSE(reader.Failed()) << "after " << reader.Received() << " bytes";
    EXPECT_TRUE(keptClient.Send("still the writer"));
    EXPECT_EQ(kept.Receive(16), "still the writer");
    // The trace, relative to the store's directory, has both ways since the reload.
    ASSERT_TRUE(kept.Send("traced\r\n"));
    EXPECT_TRUE(WaitFor([&] {
        const std::string trace = FileBytes(dir / "kept.log");
        return CountOf(trace, " serial -> clients, 8 bytes\n  0000  74 72 61 63 65 64 0d 0a") == 1 &&
               CountOf(trace, " -> serial, 16 bytes\n") == 1;
    })) << FileBytes(dir / "kept.log");

    ASSERT_TRUE(shell({"remove", "1"}));
    daemon.Signal(SIGHUP);
    ASSERT_TRUE(WaitFor([&] { return reloads() == 2; }));
    EXPECT_TRUE(WaitFor([&] { return !keptClient.Poll(); })) << "the removed bridge's client was disconnected";
    EXPECT_TRUE(addedClient.Poll()) << "the unchanged ones go on";
    const std::string log = FileBytes(dir / "filelog.txt");
    EXPECT_EQ(CountOf(log, "1 bridges unchanged, 1 restarted, 1 started, 0 stopped"), 1u) << log;
    EXPECT_EQ(CountOf(log, "2 bridges unchanged, 0 restarted, 0 started, 1 stopped"), 1u) << log;

    daemon.Signal(SIGTERM);
    int status = -1;
    ASSERT_TRUE(daemon.Wait(5s, status));
    EXPECT_EQ(status, 0);
}
