#include "support/ChildProcess.h"
#include "support/PtyPair.h"
#include "support/TcpClient.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

using namespace std::chrono_literals;

namespace
{
const char kPackage[] = "serial-tcp-bridge";
const char kUser[] = "serial-tcp-bridged";
const char kInstalledRunner[] = "/usr/bin/serial-tcp-bridged";
const std::filesystem::path kStateDir = "/var/lib/serial-tcp-bridged";
const std::filesystem::path kUnit = "/usr/lib/systemd/system/serial-tcp-bridged.service";
const std::filesystem::path kEnabledLink = "/etc/systemd/system/multi-user.target.wants/serial-tcp-bridged.service";
// Work trees on one machine take turns: each installs and purges the same package.
const char kMachineLock[] = "/run/lock/serial-tcp-bridge-package-test";

struct Result
{
    int status = -1; // -1: killed after the time-out
    std::string out;
    std::string err;
};

// Runs a command as an administrator's shell would find it, in the working
// directory, which receives its output files.
Result Command(std::vector<std::string> words, std::chrono::seconds timeout = 150s)
{
    words.insert(words.begin(), {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "DEBIAN_FRONTEND=noninteractive"});
    ChildProcess child("/usr/bin/env", words, std::filesystem::current_path().string());
    Result result;
    if (!child.Wait(timeout, result.status))
        result.status = -1;
    result.out = child.StandardOutput();
    result.err = child.StandardError();
    return result;
}

bool PackageIsOnTheMachine()
{
    const Result query = Command({"dpkg-query", "-W", "-f=${db:Status-Status}", kPackage});
    return query.status == 0 && query.out != "not-installed";
}

// Another waiting apt (another build installing what it needs) holds dpkg's lock a while.
Result Apt(const std::string& action, const std::string& what)
{
    return Command({"apt-get", action, "-y", "--no-install-recommends", "-o", "DPkg::Lock::Timeout=120", what});
}

// The package made by make deb, installed for the length of a test and purged
// afterwards, also when a check fails. A machine where the package, or the
// service's directory, is there already is left alone.
class DebianPackageTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "installing a package takes root";
        if (!std::filesystem::exists("/usr/bin/dpkg"))
            GTEST_SKIP() << "no dpkg: not a Debian system";
        if (!std::filesystem::exists(SERIAL_TCP_BRIDGE_DEB))
            GTEST_SKIP() << "no package '" SERIAL_TCP_BRIDGE_DEB "': make deb makes it, a sanitizer build none";
        m_lock = ::open(kMachineLock, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(m_lock, 0) << kMachineLock << ": " << std::strerror(errno);
        ASSERT_TRUE(WaitFor([&] { return ::flock(m_lock, LOCK_EX | LOCK_NB) == 0; }, 180s))
            << "another work tree's test held " << kMachineLock << " for three minutes";
        if (PackageIsOnTheMachine())
            GTEST_SKIP() << kPackage << " is installed on this machine, and stays as it is";
        if (std::filesystem::exists(kStateDir))
            GTEST_SKIP() << kStateDir << " exists, and a purge would remove it";
        m_userExisted = ::getpwnam(kUser) != nullptr;

        m_installed = true; // a half-done installation is purged too
        const Result install = Apt("install", SERIAL_TCP_BRIDGE_DEB);
        ASSERT_EQ(install.status, 0) << install.out << install.err;
    }

    void TearDown() override
    {
        if (m_installed)
        {
            const Result purge = Apt("purge", kPackage);
            EXPECT_EQ(purge.status, 0) << purge.out << purge.err;
        }
        // The package keeps its user on a purge, as files elsewhere may be its.
        if (!m_userExisted && ::getpwnam(kUser) != nullptr)
            EXPECT_EQ(Command({"userdel", kUser}).status, 0);
        if (m_lock >= 0)
            ::close(m_lock);
    }

    TempDir m_work; // the working directory of every command
    bool m_installed = false;
    bool m_userExisted = true;
    int m_lock = -1;
};
} // namespace

TEST_F(DebianPackageTest, TheInstalledRunnerServesTheBridgeAddedAndAPurgeLeavesNothing)
{
    // The service: its user and directory made, its unit accepted by systemd, nothing enabled.
    struct stat state = {};
    ASSERT_EQ(::stat(kStateDir.c_str(), &state), 0) << "the package makes the service's directory";
    const passwd* user = ::getpwnam(kUser);
    ASSERT_NE(user, nullptr) << "the package makes the service's user";
    EXPECT_EQ(state.st_uid, user->pw_uid);
    EXPECT_EQ(state.st_mode & 07777, 02750u);
    const Result verify = Command({"systemd-analyze", "verify", "--man=no", kUnit.string()});
    EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
    EXPECT_EQ((verify.out + verify.err).find("serial-tcp-bridged"), std::string::npos) << verify.out << verify.err;
    EXPECT_FALSE(std::filesystem::is_symlink(kEnabledLink)) << "installing enables nothing";

    // An administrator adds a bridge from another directory, lists it and serves it.
    TempDir store;
    PtyPair pty;
    ASSERT_TRUE(pty.IsOk());
    const unsigned short port = FreeTcpPort();
    auto runner = [&](const std::vector<std::string>& arguments) {
        return ChildProcess(kInstalledRunner, arguments, m_work.Path().string());
    };
    int status = -1;
    ChildProcess add = runner({"--dir", store.Path().string(), "add", pty.SlavePath(), "9600", std::to_string(port)});
    ASSERT_TRUE(add.Wait(10s, status));
    ASSERT_EQ(status, 0) << add.StandardOutput() << add.StandardError();
    EXPECT_TRUE(std::filesystem::exists(store / "bridges.db"));
    EXPECT_FALSE(std::filesystem::exists(m_work / "bridges.db"));

    ChildProcess list = runner({"list", "--dir", store.Path().string()});
    ASSERT_TRUE(list.Wait(10s, status));
    EXPECT_EQ(status, 0) << list.StandardError();
    for (const std::string& shown : {pty.SlavePath(), std::string("9600"), std::string("8N1"), std::to_string(port)})
        EXPECT_NE(list.StandardOutput().find(shown), std::string::npos) << shown << " in:\n" << list.StandardOutput();

    ChildProcess daemon = runner({"--dir", store.Path().string()});
    TcpClient client;
    ASSERT_TRUE(WaitFor([&] { return client.Connect(port); }, 10s)) << FileBytes(store / "filelog.txt");
    ASSERT_TRUE(client.Send("ping"));
    EXPECT_EQ(pty.Receive(4), "ping");
    ASSERT_TRUE(pty.Send("pong"));
    EXPECT_TRUE(WaitFor([&] { return client.Poll() && client.Received() == "pong"; }));
    daemon.Signal(SIGTERM);
    ASSERT_TRUE(daemon.Wait(5s, status)) << "it did not end within five seconds";
    EXPECT_EQ(status, 0);
    EXPECT_NE(FileBytes(store / "filelog.txt").find("serial-tcp-bridged stops on signal 15"), std::string::npos)
        << "the log is kept beside the store";

    // Enabled by the administrator, then removed: the bridges stay until the purge, which leaves nothing.
    const Result enable = Command({"systemctl", "enable", "serial-tcp-bridged.service"});
    EXPECT_EQ(enable.status, 0) << enable.err;
    EXPECT_TRUE(std::filesystem::is_symlink(kEnabledLink));
    const Result remove = Apt("remove", kPackage);
    ASSERT_EQ(remove.status, 0) << remove.out << remove.err;
    EXPECT_FALSE(std::filesystem::exists(kInstalledRunner));
    EXPECT_TRUE(std::filesystem::exists(kStateDir)) << "a removal keeps the bridges";
    const Result purge = Apt("purge", kPackage);
    ASSERT_EQ(purge.status, 0) << purge.out << purge.err;
    m_installed = false;
    EXPECT_FALSE(std::filesystem::exists(kStateDir));
    EXPECT_FALSE(std::filesystem::is_symlink(kEnabledLink)) << "the service's links go with the purge";
    EXPECT_FALSE(PackageIsOnTheMachine());
}
