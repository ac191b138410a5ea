// Measures this project's bridge programs against ser2net and socat on the
// same machine in one run: pseudo-terminals play the serial devices, loopback
// sockets the clients. Prints one table and writes the figures as JSON. The
// full run measures the traffic three times over and reports the medians.
//
//   bridge_bench --programs DIR [--windows DIR] [--quick] [--json FILE] [--only SYSTEM,...]
//                [--cases CASE,...]
//   cases: one, many, tcp, echo, idle, startup

#include "support/WinePrefix.h"

#include <sqlite3.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kBaud = 115200;
constexpr std::size_t kPatternPeriod = 1048573; // prime: no chunk size lines up with it
constexpr double kMegabyte = 1e6;

// ---------------------------------------------------------------------------
// Plumbing

double Seconds(Clock::duration duration)
{
    return std::chrono::duration<double>(duration).count();
}

const std::vector<unsigned char>& Pattern()
{
    static const std::vector<unsigned char> pattern = [] {
        std::vector<unsigned char> bytes(kPatternPeriod);
        std::uint32_t state = 2463534242u;
        for (unsigned char& byte : bytes)
        {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            byte = static_cast<unsigned char>(state);
        }
        return bytes;
    }();
    return pattern;
}

// True when bytes equal the pattern stream from offset on.
bool MatchesPattern(const unsigned char* bytes, std::size_t count, std::uint64_t offset)
{
    const std::vector<unsigned char>& pattern = Pattern();
    while (count > 0)
    {
        const std::size_t at = static_cast<std::size_t>(offset % kPatternPeriod);
        const std::size_t run = std::min(count, kPatternPeriod - at);
        if (std::memcmp(bytes, pattern.data() + at, run) != 0)
            return false;
        bytes += run;
        count -= run;
        offset += run;
    }
    return true;
}

void SetNonBlocking(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

struct Pty
{
    int master = -1;
    int slave = -1;
    std::string path;

    Pty()
    {
        char name[256] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) == 0)
        {
            path = name;
            SetNonBlocking(master);
            termios raw{};
            ::tcgetattr(slave, &raw);
            ::cfmakeraw(&raw);
            ::tcsetattr(slave, TCSANOW, &raw);
        }
    }
    ~Pty()
    {
        ::close(master);
        ::close(slave);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    // Whatever is waiting on the master, thrown away.
    void Drain(std::chrono::milliseconds quiet = 100ms) const
    {
        char scratch[65536];
        pollfd entry{master, POLLIN, 0};
        while (::poll(&entry, 1, static_cast<int>(quiet.count())) > 0 && ::read(master, scratch, sizeof scratch) > 0)
        {
        }
    }
};

unsigned short FreePort()
{
    static std::set<unsigned short> handedOut;
    for (;;)
    {
        const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        ::bind(probe, reinterpret_cast<sockaddr*>(&any), sizeof any);
        socklen_t length = sizeof any;
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&any), &length);
        ::close(probe);
        if (handedOut.insert(ntohs(any.sin_port)).second)
            return ntohs(any.sin_port);
    }
}

int TryConnect(unsigned short port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0)
        return fd;
    ::close(fd);
    return -1;
}

int Connect(unsigned short port, std::chrono::milliseconds timeout = 10s)
{
    const auto deadline = Clock::now() + timeout;
    for (;;)
    {
        const int fd = TryConnect(port);
        if (fd >= 0)
        {
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            return fd;
        }
        if (Clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(5ms);
    }
}

bool WriteAll(int fd, const unsigned char* bytes, std::size_t count, Clock::time_point deadline)
{
    while (count > 0)
    {
        const ssize_t put = ::write(fd, bytes, count);
        if (put > 0)
        {
            bytes += put;
            count -= static_cast<std::size_t>(put);
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (Clock::now() >= deadline)
            return false;
        pollfd entry{fd, POLLOUT, 0};
        ::poll(&entry, 1, 50);
    }
    return true;
}

// Writes count pattern bytes to fd, on a thread of its own.
std::thread PatternWriter(int fd, std::uint64_t count, Clock::time_point deadline, std::atomic<bool>& failed)
{
    return std::thread([fd, count, deadline, &failed] {
        std::vector<unsigned char> block(65536);
        for (std::uint64_t offset = 0; offset < count;)
        {
            const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), count - offset));
            for (std::size_t i = 0; i < size; ++i)
                block[i] = Pattern()[(offset + i) % kPatternPeriod];
            if (!WriteAll(fd, block.data(), size, deadline))
            {
                failed = true;
                return;
            }
            offset += size;
        }
    });
}

// Reads from every descriptor until each has delivered count pattern bytes.
// Returns the time of the last byte, or nothing when one went wrong.
bool ReadPatterns(const std::vector<int>& fds, std::uint64_t count, Clock::time_point deadline,
                  Clock::time_point& lastByte, std::string& problem)
{
    const int poller = ::epoll_create1(0);
    std::vector<std::uint64_t> received(fds.size(), 0);
    for (std::size_t i = 0; i < fds.size(); ++i)
    {
        SetNonBlocking(fds[i]);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = i;
        ::epoll_ctl(poller, EPOLL_CTL_ADD, fds[i], &event);
    }
    std::vector<unsigned char> buffer(1 << 20);
    std::size_t complete = 0;
    bool ok = true;
    while (complete < fds.size() && ok)
    {
        if (Clock::now() >= deadline)
        {
            problem = "time-out with " + std::to_string(complete) + " of " + std::to_string(fds.size()) + " complete";
            ok = false;
            break;
        }
        epoll_event events[64];
        const int ready = ::epoll_wait(poller, events, 64, 100);
        for (int e = 0; e < ready && ok; ++e)
        {
            const std::size_t i = events[e].data.u64;
            for (;;)
            {
                const ssize_t got = ::read(fds[i], buffer.data(), buffer.size());
                if (got > 0)
                {
                    if (received[i] + static_cast<std::uint64_t>(got) > count ||
                        !MatchesPattern(buffer.data(), static_cast<std::size_t>(got), received[i]))
                    {
                        problem = "bytes lost, altered or out of order";
                        ok = false;
                        break;
                    }
                    received[i] += static_cast<std::uint64_t>(got);
                    lastByte = Clock::now();
                    if (received[i] == count)
                    {
                        ++complete;
                        ::epoll_ctl(poller, EPOLL_CTL_DEL, fds[i], nullptr);
                        break;
                    }
                    continue;
                }
                if (got == 0 || (errno != EAGAIN && errno != EINTR))
                {
                    problem = "a stream ended early";
                    ok = false;
                }
                break;
            }
        }
    }
    ::close(poller);
    return ok;
}

// ---------------------------------------------------------------------------
// The programs under test

struct ProcessStats
{
    double cpuSeconds = 0;
    long contextSwitches = 0;
    long rssKb = 0;
};

ProcessStats ReadStats(pid_t pid)
{
    ProcessStats stats;
    // The process's CPU clock counts nanoseconds; /proc counts 10-ms ticks,
    // too coarse for a short run.
    clockid_t clock{};
    timespec used{};
    if (::clock_getcpuclockid(pid, &clock) == 0 && ::clock_gettime(clock, &used) == 0)
        stats.cpuSeconds = static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* dir = ::opendir(tasks.c_str()))
    {
        while (const dirent* entry = ::readdir(dir))
        {
            if (entry->d_name[0] == '.')
                continue;
            std::ifstream status(tasks + "/" + entry->d_name + "/status");
            for (std::string line; std::getline(status, line);)
            {
                if (line.find("ctxt_switches:") != std::string::npos)
                    stats.contextSwitches += std::stol(line.substr(line.find(':') + 1));
            }
        }
        ::closedir(dir);
    }
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
    {
        if (line.rfind("VmRSS:", 0) == 0)
            stats.rssKb = std::stol(line.substr(6));
    }
    return stats;
}

pid_t Spawn(const std::vector<std::string>& command, const std::string& directory)
{
    const pid_t pid = ::fork();
    if (pid == 0)
    {
        if (::chdir(directory.c_str()) != 0)
            ::_exit(127);
        const int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, STDOUT_FILENO);
        ::dup2(quiet, STDERR_FILENO);
        std::vector<char*> argv;
        for (const std::string& part : command)
            argv.push_back(const_cast<char*>(part.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

void Terminate(pid_t pid)
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 300; ++i)
    {
        if (::waitpid(pid, nullptr, WNOHANG) == pid)
            return;
        std::this_thread::sleep_for(10ms);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

std::string MakeTempDir()
{
    char pattern[] = "/tmp/bridge-bench-XXXXXX";
    return ::mkdtemp(pattern) ? pattern : "/tmp";
}

struct Bridges
{
    std::vector<std::unique_ptr<Pty>> ptys;
    std::vector<unsigned short> ports;

    explicit Bridges(int count)
    {
        for (int i = 0; i < count; ++i)
        {
            ptys.push_back(std::make_unique<Pty>());
            ports.push_back(FreePort());
        }
    }
};

class System
{
public:
    virtual ~System()
    {
        Stop();
        std::error_code ignored;
        std::filesystem::remove_all(m_directory, ignored);
    }
    virtual std::string Name() const = 0;
    virtual bool ManyClients() const { return true; }
    virtual bool ManyBridges() const { return true; }
    // Measured for its serial-to-client and client-to-serial throughput only.
    virtual bool ThroughputOnly() const { return false; }
    // The bytes its traces said they lost since the last call; their files go.
    virtual std::uint64_t TakeNotTraced() { return 0; }
    // Starts serving the bridges; returns at once, ports may not listen yet.
    virtual bool Start(const Bridges& bridges) = 0;
    virtual void Stop()
    {
        for (pid_t pid : m_pids)
            Terminate(pid);
        m_pids.clear();
    }
    ProcessStats Stats() const
    {
        ProcessStats total;
        for (pid_t pid : m_pids)
        {
            const ProcessStats one = ReadStats(pid);
            total.cpuSeconds += one.cpuSeconds;
            total.contextSwitches += one.contextSwitches;
            total.rssKb += one.rssKb;
        }
        return total;
    }

protected:
    std::vector<pid_t> m_pids;
    std::string m_directory = MakeTempDir();
};

// This project's programs: a store in a directory of their own; traced, each
// bridge traces its traffic to a file there.
class BridgeProgram : public System
{
public:
    BridgeProgram(std::string name, std::string program, bool traced = false)
        : m_name(std::move(name)), m_program(std::move(program)), m_traced(traced)
    {
    }
    std::string Name() const override { return m_name; }
    bool ThroughputOnly() const override { return m_traced; }

    std::uint64_t TakeNotTraced() override
    {
        std::uint64_t lost = 0;
        for (const auto& entry : std::filesystem::directory_iterator(m_directory))
        {
            if (entry.path().filename().string().find(".trace") == std::string::npos)
                continue;
            std::ifstream trace(entry.path());
            for (std::string line; std::getline(trace, line);)
            {
                const std::size_t at = line.find(" trace: ");
                if (at == 26 && line.find(" not traced") != std::string::npos)
                    lost += std::stoull(line.substr(at + 8));
            }
            trace.close();
            std::filesystem::remove(entry.path());
        }
        return lost;
    }

    bool Start(const Bridges& bridges) override
    {
        const std::string file = m_directory + "/bridges.db";
        ::unlink(file.c_str());
        sqlite3* database = nullptr;
        if (sqlite3_open(file.c_str(), &database) != SQLITE_OK)
            return false;
        std::string sql = "CREATE TABLE [bridges] ([id] INTEGER  NOT NULL PRIMARY KEY AUTOINCREMENT,[com_port] "
                          "VARCHAR(8)  NULL,[com_baud] INTEGER  NULL,[tcp_port] INTEGER  NULL);"
                          "CREATE TABLE [ipfilters] ([id] INTEGER  NOT NULL PRIMARY KEY AUTOINCREMENT,"
                          "[bridge_id] INTEGER  NULL,[ip_address] VARCHAR(15)  NULL);";
        if (m_traced)
            sql += "alter table bridges add column trace_file TEXT NULL;";
        for (std::size_t i = 0; i < bridges.ptys.size(); ++i)
        {
            sql += "insert into bridges (com_port, com_baud, tcp_port) values ('" + PortName(i, *bridges.ptys[i]) + "', " +
                   std::to_string(kBaud) + ", " + std::to_string(bridges.ports[i]) + ");";
            if (m_traced)
                sql += "update bridges set trace_file = 'bridge" + std::to_string(i) +
                       ".trace' where id = last_insert_rowid();";
        }
        const bool written = sqlite3_exec(database, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
        sqlite3_close(database);
        if (written)
            m_pids.push_back(Spawn(Command(m_program), m_directory));
        return written;
    }

protected:
    virtual std::string PortName(std::size_t, const Pty& pty) const { return pty.path; }
    virtual std::vector<std::string> Command(const std::string& program) const { return {program}; }

private:
    std::string m_name;
    std::string m_program;
    bool m_traced;
};

// The Windows runner under Wine, its COM ports the pseudo-terminals. Each
// start has a Wine configuration and server of its own.
class WineProgram : public BridgeProgram
{
public:
    explicit WineProgram(const std::string& program) : BridgeProgram("serial-tcp-bridged.exe", program) {}
    bool ManyClients() const override { return false; }
    bool ManyBridges() const override { return false; }

    bool Start(const Bridges& bridges) override
    {
        m_prefix = std::make_unique<WinePrefix>();
        if (!m_prefix->IsOk())
            return false;
        for (std::size_t i = 0; i < bridges.ptys.size(); ++i)
            m_prefix->MapComPort(static_cast<unsigned>(i + 1), bridges.ptys[i]->path);
        return BridgeProgram::Start(bridges);
    }

    void Stop() override
    {
        m_prefix.reset(); // ends its server and so every program in it
        BridgeProgram::Stop();
    }

protected:
    std::string PortName(std::size_t index, const Pty&) const override { return "COM" + std::to_string(index + 1); }
    std::vector<std::string> Command(const std::string& program) const override
    {
        return {"env", "WINEPREFIX=" + m_prefix->Path().string(), "WINEDEBUG=-all", "WINEDLLOVERRIDES=mscoree,mshtml=",
                "/usr/lib/wine/wine64", program};
    }

private:
    std::unique_ptr<WinePrefix> m_prefix;
};

class Ser2net : public System
{
public:
    std::string Name() const override { return "ser2net"; }

    bool Start(const Bridges& bridges) override
    {
        const std::string file = m_directory + "/ser2net.yaml";
        std::ofstream config(file);
        for (std::size_t i = 0; i < bridges.ptys.size(); ++i)
        {
            config << "connection: &con" << i << "\n"
                   << "    accepter: tcp," << bridges.ports[i] << "\n"
                   << "    connector: serialdev," << bridges.ptys[i]->path << "," << kBaud << "n81,local\n"
                   << "    options:\n      max-connections: 64\n\n";
        }
        config.close();
        m_pids.push_back(Spawn({"ser2net", "-n", "-u", "-c", file}, m_directory));
        return true;
    }
};

// One connection per bridge, one bridge per process.
class Socat : public System
{
public:
    std::string Name() const override { return "socat"; }
    bool ManyClients() const override { return false; }
    bool ManyBridges() const override { return false; }

    bool Start(const Bridges& bridges) override
    {
        for (std::size_t i = 0; i < bridges.ptys.size(); ++i)
        {
            m_pids.push_back(Spawn({"socat", "TCP-LISTEN:" + std::to_string(bridges.ports[i]) + ",reuseaddr",
                                    "FILE:" + bridges.ptys[i]->path + ",raw,echo=0"},
                                   m_directory));
        }
        return true;
    }
};

// ---------------------------------------------------------------------------
// The measures

struct Settings
{
    std::uint64_t serialToOne;
    std::uint64_t serialToMany;
    int manyClients;
    std::uint64_t clientToSerial;
    int echoes;
    int idleBridges;
    std::chrono::seconds idleWindow;
    int startupBridges;
    // The traffic cases run this many times, the systems taking turns, and
    // each figure is the median: the machine's drift then falls on every
    // system alike.
    int rounds;
};

using Results = std::map<std::string, double>; // measure -> value; absent when not measured

// Connects the clients and waits until serial bytes reach every one of them,
// so that the stream that follows is whole from its first byte.
bool ConnectReceivers(const Pty& pty, unsigned short port, int count, std::vector<int>& clients)
{
    for (int i = 0; i < count; ++i)
    {
        const int fd = Connect(port);
        if (fd < 0)
            return false;
        clients.push_back(fd);
    }
    std::vector<bool> heard(clients.size(), false);
    const auto deadline = Clock::now() + 10s;
    while (std::count(heard.begin(), heard.end(), true) < static_cast<long>(heard.size()))
    {
        if (Clock::now() >= deadline)
            return false;
        const unsigned char probe = 'W';
        [[maybe_unused]] ssize_t ignored = ::write(pty.master, &probe, 1);
        std::this_thread::sleep_for(20ms);
        for (std::size_t i = 0; i < clients.size(); ++i)
        {
            char scratch[4096];
            if (::recv(clients[i], scratch, sizeof scratch, MSG_DONTWAIT) > 0)
                heard[i] = true;
        }
    }
    // Everything of the warm-up has arrived once nothing came for a while.
    for (bool quiet = false; !quiet;)
    {
        std::this_thread::sleep_for(150ms);
        quiet = true;
        for (int fd : clients)
        {
            char scratch[65536];
            while (::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT) > 0)
                quiet = false;
        }
    }
    return true;
}

void CloseAll(std::vector<int>& fds)
{
    for (int fd : fds)
        ::close(fd);
    fds.clear();
}

void MeasureSerialToClients(System& system, int clientCount, std::uint64_t payload, const std::string& prefix,
                            Results& results)
{
    Bridges bridges(1);
    if (!system.Start(bridges))
        return;
    std::vector<int> clients;
    if (!ConnectReceivers(*bridges.ptys[0], bridges.ports[0], clientCount, clients))
    {
        std::cerr << system.Name() << ": " << prefix << ": the clients never heard the device\n";
        CloseAll(clients);
        system.Stop();
        return;
    }
    const ProcessStats before = system.Stats();
    std::atomic<bool> writeFailed{false};
    const auto started = Clock::now();
    const auto deadline = started + 120s;
    std::thread writer = PatternWriter(bridges.ptys[0]->master, payload, deadline, writeFailed);
    Clock::time_point lastByte = started;
    std::string problem;
    const bool ok = ReadPatterns(clients, payload, deadline, lastByte, problem);
    writer.join();
    const ProcessStats after = system.Stats();
    CloseAll(clients);
    system.Stop();
    if (!ok || writeFailed)
    {
        std::cerr << system.Name() << ": " << prefix << ": " << (ok ? "writing failed" : problem) << "\n";
        return;
    }
    const double seconds = Seconds(lastByte - started);
    const double delivered = static_cast<double>(payload) * clientCount / kMegabyte;
    results[prefix + " MB/s"] = static_cast<double>(payload) / kMegabyte / seconds;
    if (system.ThroughputOnly())
        results[prefix + " % not traced"] = static_cast<double>(system.TakeNotTraced()) * 100 / payload;
    results[prefix + " CPU ms/MB"] = (after.cpuSeconds - before.cpuSeconds) * 1000 / delivered;
}

void MeasureClientToSerial(System& system, std::uint64_t payload, Results& results)
{
    Bridges bridges(1);
    if (!system.Start(bridges))
        return;
    const Pty& pty = *bridges.ptys[0];
    const int client = Connect(bridges.ports[0]);
    bool heard = false;
    for (const auto deadline = Clock::now() + 10s; client >= 0 && !heard && Clock::now() < deadline;)
    {
        [[maybe_unused]] ssize_t ignored = ::send(client, "W", 1, MSG_NOSIGNAL);
        std::this_thread::sleep_for(20ms);
        char scratch[4096];
        heard = ::read(pty.master, scratch, sizeof scratch) > 0;
    }
    if (!heard)
    {
        std::cerr << system.Name() << ": TCP to serial: the device never heard the client\n";
        ::close(client);
        system.Stop();
        return;
    }
    pty.Drain(150ms);
    const ProcessStats before = system.Stats();
    std::atomic<bool> writeFailed{false};
    const auto started = Clock::now();
    const auto deadline = started + 120s;
    std::thread writer = PatternWriter(client, payload, deadline, writeFailed);
    Clock::time_point lastByte = started;
    std::string problem;
    const bool ok = ReadPatterns({pty.master}, payload, deadline, lastByte, problem);
    writer.join();
    const ProcessStats after = system.Stats();
    ::close(client);
    system.Stop();
    if (!ok || writeFailed)
    {
        std::cerr << system.Name() << ": TCP to serial: " << (ok ? "writing failed" : problem) << "\n";
        return;
    }
    results["TCP to serial MB/s"] = static_cast<double>(payload) / kMegabyte / Seconds(lastByte - started);
    if (system.ThroughputOnly())
        results["TCP to serial % not traced"] = static_cast<double>(system.TakeNotTraced()) * 100 / payload;
    results["TCP to serial CPU ms/MB"] =
        (after.cpuSeconds - before.cpuSeconds) * 1000 / (static_cast<double>(payload) / kMegabyte);
}

double Percentile(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    const std::size_t index = std::min(values.size() - 1, static_cast<std::size_t>(fraction * values.size()));
    return values[index];
}

// One round trip of size bytes on a connected client, in microseconds; below
// zero when it failed.
double RoundTrip(int client, std::size_t size)
{
    const std::string message(size, 'e');
    const auto sent = Clock::now();
    if (::send(client, message.data(), size, MSG_NOSIGNAL) != static_cast<ssize_t>(size))
        return -1;
    std::size_t received = 0;
    char buffer[256];
    while (received < size)
    {
        pollfd entry{client, POLLIN, 0};
        if (::poll(&entry, 1, 2000) <= 0)
            return -1;
        const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
        if (got <= 0)
            return -1;
        received += static_cast<std::size_t>(got);
    }
    return Seconds(Clock::now() - sent) * 1e6;
}

// Every system serves one echoing device at the same time, and the round
// trips take turns among them: a latency that drifts with the machine's state
// (of the order of the differences measured) then falls on all of them alike.
void MeasureEchoes(const std::vector<System*>& systems, int echoes, std::map<std::string, Results>& results)
{
    struct Rig
    {
        System* system;
        Bridges bridges{1};
        int client = -1;
        std::vector<double> times;
    };
    std::vector<std::unique_ptr<Rig>> rigs;
    for (System* system : systems)
    {
        auto rig = std::make_unique<Rig>();
        rig->system = system;
        if (system->Start(rig->bridges))
            rigs.push_back(std::move(rig));
    }
    std::atomic<bool> stop{false};
    // The devices answer every byte with itself, at once.
    std::thread devices([&] {
        std::vector<pollfd> entries;
        for (const auto& rig : rigs)
            entries.push_back({rig->bridges.ptys[0]->master, POLLIN, 0});
        char buffer[4096];
        while (!stop)
        {
            if (::poll(entries.data(), entries.size(), 50) <= 0)
                continue;
            for (const pollfd& entry : entries)
            {
                const ssize_t got = entry.revents & POLLIN ? ::read(entry.fd, buffer, sizeof buffer) : 0;
                if (got > 0)
                    WriteAll(entry.fd, reinterpret_cast<unsigned char*>(buffer), static_cast<std::size_t>(got),
                             Clock::now() + 1s);
            }
        }
    });
    const auto failed = [](Rig& rig, const std::string& problem) {
        std::cerr << rig.system->Name() << ": echo: " << problem << "\n";
        ::close(rig.client);
        rig.client = -1;
    };
    for (auto& rig : rigs)
    {
        rig->client = Connect(rig->bridges.ports[0]);
        bool ready = false;
        for (const auto deadline = Clock::now() + 10s; rig->client >= 0 && !ready && Clock::now() < deadline;)
            ready = RoundTrip(rig->client, 1) >= 0;
        if (!ready)
            failed(*rig, "the device never answered");
    }
    for (std::size_t size : {std::size_t(1), std::size_t(64)})
    {
        for (auto& rig : rigs)
            rig->times.clear();
        for (int i = 0; i < echoes; ++i)
        {
            for (std::size_t turn = 0; turn < rigs.size(); ++turn)
            {
                Rig& rig = *rigs[(turn + static_cast<std::size_t>(i)) % rigs.size()];
                if (rig.client < 0)
                    continue;
                const double micros = RoundTrip(rig.client, size);
                if (micros < 0)
                    failed(rig, "a round trip of " + std::to_string(size) + " bytes failed");
                else
                    rig.times.push_back(micros);
            }
        }
        for (auto& rig : rigs)
        {
            if (rig->client < 0)
                continue;
            Results& mine = results[rig->system->Name()];
            const std::string name = "echo " + std::to_string(size) + " B";
            mine[name + " median us"] = Percentile(rig->times, 0.5);
            mine[name + " p99 us"] = Percentile(rig->times, 0.99);
            mine[name + " max us"] = *std::max_element(rig->times.begin(), rig->times.end());
        }
    }
    stop = true;
    devices.join();
    for (auto& rig : rigs)
    {
        if (rig->client >= 0)
            ::close(rig->client);
        rig->system->Stop();
    }
}

bool AllAccepting(const Bridges& bridges, Clock::time_point deadline)
{
    std::vector<bool> accepting(bridges.ports.size(), false);
    while (std::count(accepting.begin(), accepting.end(), false) > 0)
    {
        if (Clock::now() >= deadline)
            return false;
        for (std::size_t i = 0; i < bridges.ports.size(); ++i)
        {
            if (accepting[i])
                continue;
            const int fd = TryConnect(bridges.ports[i]);
            if (fd >= 0)
            {
                accepting[i] = true;
                ::close(fd);
            }
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

void MeasureIdle(System& system, int count, std::chrono::seconds window, Results& results)
{
    Bridges bridges(count);
    if (!system.Start(bridges) || !AllAccepting(bridges, Clock::now() + 20s))
    {
        std::cerr << system.Name() << ": idle bridges never listened\n";
        system.Stop();
        return;
    }
    std::this_thread::sleep_for(1s);
    const ProcessStats before = system.Stats();
    std::this_thread::sleep_for(window);
    const ProcessStats after = system.Stats();
    system.Stop();
    const double seconds = static_cast<double>(window.count());
    results["16 idle: CPU % of a core"] = (after.cpuSeconds - before.cpuSeconds) / seconds * 100;
    results["16 idle: wake-ups/s"] = static_cast<double>(after.contextSwitches - before.contextSwitches) / seconds;
    results["16 idle: memory MB"] = static_cast<double>(after.rssKb) / 1024;
}

void MeasureStartup(System& system, int count, Results& results)
{
    Bridges bridges(count);
    const auto started = Clock::now();
    if (!system.Start(bridges) || !AllAccepting(bridges, started + 30s))
    {
        std::cerr << system.Name() << ": not every bridge listened\n";
        system.Stop();
        return;
    }
    results["64 bridges: ms to listen"] = Seconds(Clock::now() - started) * 1000;
    std::this_thread::sleep_for(500ms);
    results["64 bridges: memory MB"] = static_cast<double>(system.Stats().rssKb) / 1024;
    system.Stop();
}

// ---------------------------------------------------------------------------
// Report

struct Row
{
    std::string measure;
    bool higherIsBetter;
};

std::vector<Row> Rows(const Settings& settings)
{
    const std::string many = std::to_string(settings.manyClients) + " clients";
    return {
        {"serial to 1 client MB/s", true},
        {"serial to 1 client CPU ms/MB", false},
        {"serial to 1 client % not traced", false},
        {"serial to " + many + " MB/s", true},
        {"serial to " + many + " CPU ms/MB", false},
        {"TCP to serial MB/s", true},
        {"TCP to serial CPU ms/MB", false},
        {"TCP to serial % not traced", false},
        {"echo 1 B median us", false},
        {"echo 1 B p99 us", false},
        {"echo 1 B max us", false},
        {"echo 64 B median us", false},
        {"echo 64 B p99 us", false},
        {"echo 64 B max us", false},
        {"16 idle: CPU % of a core", false},
        {"16 idle: wake-ups/s", false},
        {"16 idle: memory MB", false},
        {"64 bridges: ms to listen", false},
        {"64 bridges: memory MB", false},
    };
}

std::string Format(double value)
{
    char text[32];
    if (value >= 100)
        std::snprintf(text, sizeof text, "%.0f", value);
    else if (value >= 10)
        std::snprintf(text, sizeof text, "%.1f", value);
    else
        std::snprintf(text, sizeof text, "%.3g", value);
    return text;
}

void Report(const Settings& settings, const std::vector<std::unique_ptr<System>>& systems,
            const std::map<std::string, Results>& results, const std::string& jsonFile)
{
    const std::vector<std::string> ours = {"serial-tcp-bridged", "serial-tcp-bridged traced", "serial-tcp-bridge",
                                           "serial-tcp-bridged.exe"};
    std::ostringstream table;
    table << "| measure |";
    for (const auto& system : systems)
        table << " " << system->Name() << " |";
    table << " runner ÷ best peer |\n|---|";
    for (std::size_t i = 0; i <= systems.size(); ++i)
        table << "---:|";
    table << "\n";
    for (const Row& row : Rows(settings))
    {
        table << "| " << row.measure << (row.higherIsBetter ? " (higher is better)" : "") << " |";
        double best = std::nan("");
        for (const auto& system : systems)
        {
            const Results& values = results.at(system->Name());
            const auto found = values.find(row.measure);
            table << " " << (found == values.end() ? "–" : Format(found->second)) << " |";
            const bool peer = std::find(ours.begin(), ours.end(), system->Name()) == ours.end();
            if (peer && found != values.end())
                best = std::isnan(best) ? found->second
                                        : (row.higherIsBetter ? std::max(best, found->second)
                                                              : std::min(best, found->second));
        }
        // The runner may be left out (--only).
        const Results& runner = results.count(ours[0]) ? results.at(ours[0]) : Results();
        const auto mine = runner.find(row.measure);
        if (mine == runner.end() || std::isnan(best) || best == 0)
            table << " – |\n";
        else
            table << " " << Format(mine->second / best) << " |\n";
    }
    std::cout << table.str();

    if (!jsonFile.empty())
    {
        std::ofstream json(jsonFile);
        json << "{\n";
        bool firstSystem = true;
        for (const auto& [system, values] : results)
        {
            json << (firstSystem ? "" : ",\n") << "  \"" << system << "\": {";
            bool first = true;
            for (const auto& [measure, value] : values)
            {
                json << (first ? "\n" : ",\n") << "    \"" << measure << "\": " << value;
                first = false;
            }
            json << "\n  }";
            firstSystem = false;
        }
        json << "\n}\n";
    }
}
} // namespace

int main(int argc, char** argv)
{
    std::string programs = ".";
    std::string windows;
    std::string jsonFile;
    std::set<std::string> only;
    std::set<std::string> cases = {"one", "many", "tcp", "echo", "idle", "startup"};
    bool quick = false;
    for (int i = 1; i < argc; ++i)
    {
        const std::string argument = argv[i];
        if (argument == "--quick")
            quick = true;
        else if (argument == "--programs" && i + 1 < argc)
            programs = argv[++i];
        else if (argument == "--windows" && i + 1 < argc)
            windows = argv[++i];
        else if (argument == "--json" && i + 1 < argc)
            jsonFile = argv[++i];
        else if (argument == "--only" && i + 1 < argc)
        {
            std::istringstream names(argv[++i]);
            for (std::string name; std::getline(names, name, ',');)
                only.insert(name);
        }
        else if (argument == "--cases" && i + 1 < argc)
        {
            cases.clear();
            std::istringstream names(argv[++i]);
            for (std::string name; std::getline(names, name, ',');)
                cases.insert(name);
        }
        else
        {
            std::cerr << "usage: bridge_bench --programs DIR [--windows DIR] [--quick] [--json FILE] "
                         "[--only SYSTEM,...] [--cases one,many,tcp,echo,idle,startup]\n";
            return 2;
        }
    }
    ::signal(SIGPIPE, SIG_IGN);
    // The programs run in directories of their own.
    for (std::string* folder : {&programs, &windows})
    {
        if (char* absolute = folder->empty() ? nullptr : ::realpath(folder->c_str(), nullptr))
        {
            *folder = absolute;
            std::free(absolute);
        }
    }

    const Settings settings =
        quick ? Settings{16'000'000, 2'000'000, 50, 16'000'000, 300, 16, 3s, 64, 1}
              : Settings{64'000'000, 8'000'000, 50, 64'000'000, 2000, 16, 10s, 64, 3};

    std::vector<std::unique_ptr<System>> systems;
    systems.push_back(std::make_unique<BridgeProgram>("serial-tcp-bridged", programs + "/serial-tcp-bridged"));
    systems.push_back(
        std::make_unique<BridgeProgram>("serial-tcp-bridged traced", programs + "/serial-tcp-bridged", true));
    if (std::getenv("DISPLAY"))
        systems.push_back(std::make_unique<BridgeProgram>("serial-tcp-bridge", programs + "/serial-tcp-bridge"));
    if (!windows.empty())
        systems.push_back(std::make_unique<WineProgram>(windows + "/serial-tcp-bridged.exe"));
    systems.push_back(std::make_unique<Ser2net>());
    systems.push_back(std::make_unique<Socat>());
    if (!only.empty())
    {
        systems.erase(std::remove_if(systems.begin(), systems.end(),
                                     [&](const auto& system) { return !only.count(system->Name()); }),
                      systems.end());
    }

    std::map<std::string, std::map<std::string, std::vector<double>>> samples; // system, measure
    const std::string many = "serial to " + std::to_string(settings.manyClients) + " clients";
    for (int round = 1; round <= settings.rounds; ++round)
    {
        for (const auto& system : systems)
        {
            std::cerr << "measuring " << system->Name();
            if (settings.rounds > 1)
                std::cerr << ", round " << round << " of " << settings.rounds;
            std::cerr << "\n";
            Results mine;
            if (cases.count("one"))
                MeasureSerialToClients(*system, 1, settings.serialToOne, "serial to 1 client", mine);
            if (cases.count("many") && system->ManyClients() && !system->ThroughputOnly())
                MeasureSerialToClients(*system, settings.manyClients, settings.serialToMany, many, mine);
            if (cases.count("tcp"))
                MeasureClientToSerial(*system, settings.clientToSerial, mine);
            // Idle and start-up vary little; once is enough.
            if (round == 1 && cases.count("idle") && system->ManyBridges() && !system->ThroughputOnly())
                MeasureIdle(*system, settings.idleBridges, settings.idleWindow, mine);
            if (round == 1 && cases.count("startup") && system->ManyBridges() && !system->ThroughputOnly())
                MeasureStartup(*system, settings.startupBridges, mine);
            for (const auto& [measure, value] : mine)
                samples[system->Name()][measure].push_back(value);
        }
        if (cases.count("echo"))
        {
            std::cerr << "measuring the echo, side by side\n";
            std::vector<System*> echoing;
            for (const auto& system : systems)
            {
                if (!system->ThroughputOnly())
                    echoing.push_back(system.get());
            }
            std::map<std::string, Results> echoes;
            MeasureEchoes(echoing, settings.echoes, echoes);
            for (const auto& [system, measures] : echoes)
            {
                for (const auto& [measure, value] : measures)
                    samples[system][measure].push_back(value);
            }
        }
    }
    std::map<std::string, Results> results;
    for (const auto& system : systems)
    {
        Results& medians = results[system->Name()];
        for (auto& [measure, values] : samples[system->Name()])
        {
            std::sort(values.begin(), values.end());
            const std::size_t middle = values.size() / 2;
            medians[measure] = values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
        }
    }
    Report(settings, systems, results, jsonFile);
    return 0;
}
