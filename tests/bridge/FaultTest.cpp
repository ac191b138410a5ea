#include "BridgeFixture.h"
#include "serial/SFile.h"
#include "serial/SerialPortHandler.h"
#include "support/FilterEntries.h"
#include "support/ProcessFacts.h"
#include "support/TempDir.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

using namespace std::chrono_literals;

namespace
{
// The bridge's end of a client's connection, in this process; -1 if none.
int BridgeEndOf(const TcpClient& client)
{
    sockaddr_in clientEnd{};
    socklen_t length = sizeof clientEnd;
    ::getsockname(client.Fd(), reinterpret_cast<sockaddr*>(&clientEnd), &length);
    for (int fd = 0; fd < 1024; ++fd)
    {
        // The bridge's socket may be IPv6, with the client as ::ffff:127.0.0.1.
        sockaddr_in6 peer{};
        length = sizeof peer;
        if (fd == client.Fd() || ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0)
            continue;
        const auto& ipv4 = reinterpret_cast<const sockaddr_in&>(peer);
        if (peer.sin6_family == AF_INET && ipv4.sin_port == clientEnd.sin_port &&
            ipv4.sin_addr.s_addr == clientEnd.sin_addr.s_addr)
            return fd;
        if (peer.sin6_family == AF_INET6 && peer.sin6_port == clientEnd.sin_port &&
            std::memcmp(peer.sin6_addr.s6_addr + 12, &clientEnd.sin_addr, 4) == 0)
            return fd;
    }
    return -1;
}
} // namespace

TEST_F(BridgeTest, AVanishedSerialPortIsReportedOnceAndTheClientsStay)
{
    StartBridge();
    TcpClient first, second;
    ASSERT_TRUE(Admit(first));
    ASSERT_TRUE(Admit(second));
    ASSERT_TRUE(pty.Send("before"));
    ASSERT_TRUE(AllReceive({&first, &second}, 6));

    pty.CloseMaster(); // as an unplugged adapter
    ASSERT_TRUE(PumpUntil([&] { return !bridge->GetProblem().empty(); }));
    EXPECT_EQ(bridge->GetProblem(), wxString::Format("serial port %s: lost", pty.SlavePath()));
    EXPECT_FALSE(bridge->IsSerialOpen());
    EXPECT_EQ(observer.Count(UPDATE_PROBLEM), 1);

    const double cpuBefore = OtherThreadsCpuSeconds();
    PumpFor(1s);
    EXPECT_LT(OtherThreadsCpuSeconds() - cpuBefore, 0.2) << "the serial worker spins on the lost port";
    EXPECT_EQ(log.CountContaining("lost"), 1);
    EXPECT_EQ(bridge->GetClientCount(), 2);
    EXPECT_TRUE(first.Poll() && second.Poll()) << "the clients are still connected";
    ASSERT_TRUE(first.Send("into the void"));
    PumpFor(100ms);
    EXPECT_EQ(bridge->GetClientCount(), 2);
}

// A bridge whose port name is a link, as under /dev/serial/by-id: the adapter
// that comes back gets a new device behind the same name. One client is
// connected to it.
class LinkedPortTest : public BridgeTest
{
protected:
    void SetUp() override
    {
        BridgeTest::SetUp();
        ASSERT_EQ(::symlink(pty.SlavePath().c_str(), link.c_str()), 0);
        linked = std::make_unique<Bridge>(wxString(link), 115200, FreeTcpPort(), 3);
        linked->AddObserver(&observer);
        linked->Start();
        ASSERT_TRUE(linked->IsSerialOpen()) << linked->GetProblem();
        ASSERT_TRUE(client.Connect(linked->GetTcpPort()));
        ASSERT_TRUE(PumpUntil([&] { return linked->GetClientCount() == 1; }));
    }

    void TearDown() override
    {
        if (linked)
            linked->Stop();
        BridgeTest::TearDown();
    }

    // Puts another device behind the link.
    void SwitchLinkTo(const PtyPair& device)
    {
        ASSERT_EQ(::unlink(link.c_str()), 0);
        ASSERT_EQ(::symlink(device.SlavePath().c_str(), link.c_str()), 0);
    }

    TempDir dir;
    const std::string link = (dir / "adapter").string();
    std::unique_ptr<Bridge> linked;
    TcpClient client;
};

TEST_F(LinkedPortTest, ALostPortIsOpenedAgainWhenItsDeviceComesBack)
{
    pty.CloseMaster();
    ASSERT_TRUE(PumpUntil([&] { return !linked->GetProblem().empty(); }));
    EXPECT_EQ(linked->GetProblem(), "serial port " + link + ": lost");

    PtyPair replacement;
    SwitchLinkTo(replacement);
    ASSERT_TRUE(PumpUntil([&] { return linked->GetProblem().empty(); }));
    EXPECT_TRUE(linked->IsSerialOpen());
    EXPECT_TRUE(log.Contains("SerialLink::OnReopenTimer serial port " + link + " is back"));
    EXPECT_EQ(observer.Last(UPDATE_PROBLEM), 0);

    ASSERT_TRUE(replacement.Send("again"));
    EXPECT_TRUE(PumpUntil([&] { return client.Poll() && client.Received() == "again"; }));
    ASSERT_TRUE(client.Send("and back"));
    std::string received;
    EXPECT_TRUE(PumpUntil([&] {
        received += replacement.ReceiveAvailable();
        return received == "and back";
    })) << received;
}

TEST_F(LinkedPortTest, AWriterHeldBackByAFullPortCostsNothingAndIsReadAgainOnceThePortIsLost)
{
    // The device reads nothing, so the port's output fills up and the
    // writer is held back, far from done.
    constexpr std::uint64_t kBytes = 32u << 20;
    PatternWriter sender(client.Fd(), kBytes);
    ASSERT_TRUE(PumpUntil([&] { return linked->GetWriteBytes() > 0; }));
    PumpFor(100ms);
    ASSERT_FALSE(sender.Done());
    const double cpuBefore = ThisThreadCpuSeconds();
    PumpFor(500ms);
    EXPECT_LT(ThisThreadCpuSeconds() - cpuBefore, 0.2) << "the bridge spins on the held-back writer";

    // Unplugged: the rest of its input has nowhere to go and is dropped.
    pty.CloseMaster();
    EXPECT_TRUE(PumpUntil([&] { return sender.Done() || sender.Failed(); }, 30s)) << sender.Sent();
    EXPECT_FALSE(sender.Failed());

    PtyPair replacement;
    SwitchLinkTo(replacement);
    ASSERT_TRUE(PumpUntil([&] { return linked->GetProblem().empty(); }));
    // Bytes of the stream that were still unread when the port came back
    // may come first; what the writer sends now follows them.
    ASSERT_TRUE(client.Send("fresh"));
    std::string received;
    EXPECT_TRUE(PumpUntil([&] {
        received += replacement.ReceiveAvailable();
        return received.size() >= 5 && received.compare(received.size() - 5, 5, "fresh") == 0;
    })) << received.size();
}

TEST_F(BridgeTest, AClientResetInTheMiddleOfALargeTransferLeavesTheOthersWhole)
{
    StartBridge();
    constexpr std::uint64_t kBytes = 8u << 20;
    // It reads nothing, and the bridge's end of it buffers little: what it
    // is sent waits for it in a backlog.
    TcpClient doomed;
    ASSERT_TRUE(Admit(doomed, "127.0.0.1", 4096));
    const int doomedEnd = BridgeEndOf(doomed);
    ASSERT_GE(doomedEnd, 0);
    const int small = 4096; // fixed, so the kernel does not grow it to megabytes
    ASSERT_EQ(::setsockopt(doomedEnd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    std::vector<std::unique_ptr<TcpClient>> clients;
    std::vector<std::unique_ptr<PatternReader>> readers;
    ASSERT_TRUE(AdmitReaders(3, kBytes, clients, readers));
    observer.calls.clear();
    constexpr std::uint64_t kFirst = Bridge::kClientBacklogLimit / 4;
    {
        PatternWriter first(pty.Master(), kFirst);
        ASSERT_TRUE(PumpUntil([&] { return bridge->GetReadBytes() == static_cast<long long>(kFirst); }, 60s));
    }
    doomed.Reset();
    ASSERT_TRUE(PumpUntil([&] { return bridge->GetClientCount() == 3; }));
    PatternWriter rest(pty.Master(), kBytes, 16u << 20, kFirst);
    ASSERT_TRUE(PumpUntil([&] { return AllEnded(readers); }, 120s));
    for (auto& reader : readers)
        EXPECT_FALSE(reader->Failed());
    EXPECT_EQ(bridge->GetClientCount(), 3);
    EXPECT_EQ(observer.Count(UPDATE_CLIENTS), 1) << "removed once";
    EXPECT_EQ(observer.Last(UPDATE_CLIENTS), 3);
    EXPECT_EQ(bridge->GetReadBytes(), static_cast<long long>(kBytes));
    // Sending its backlog noticed it; the log says it as for any loss.
    EXPECT_EQ(log.CountContaining("failed while sending"), 1);
    EXPECT_EQ(log.CountContaining("Bridge::OnSocketData wxSOCKET_LOST"), 1);
}

TEST_F(BridgeTest, ABurstOfAdmittedAndRefusedConnectionsLeavesNothingOpen)
{
    bridge->AddIpFilter(FilterEntry("127.0.0.1", IPF_UNCHANGED));
    StartBridge();
    const int descriptorsBefore = OpenDescriptors();
    constexpr int kAttempts = 300;
    std::vector<std::unique_ptr<TcpClient>> clients;
    int admitted = 0;
    for (int i = 0; i < kAttempts; ++i)
    {
        const bool friendly = i % 3 != 0;
        clients.push_back(std::make_unique<TcpClient>());
        ASSERT_TRUE(clients.back()->Connect(port, friendly ? "127.0.0.1" : "127.0.0.2")) << i;
        admitted += friendly;
        if (i % 50 == 0)
            PumpOnce(0);
    }
    ASSERT_TRUE(PumpUntil([&] {
        return bridge->GetClientCount() == admitted &&
               static_cast<int>(bridge->GetRefusedIps().size()) == kAttempts - admitted;
    }, 30s));

    ASSERT_TRUE(pty.Send("all of you"));
    for (int i = 0; i < kAttempts; ++i)
    {
        if (i % 3 == 0)
            continue;
        TcpClient& client = *clients[static_cast<size_t>(i)];
        ASSERT_TRUE(PumpUntil([&] { return client.Poll() && client.Received().size() >= 10; })) << i;
        EXPECT_EQ(client.Received(), "all of you");
    }

    clients.clear();
    ASSERT_TRUE(PumpUntil([&] { return bridge->GetClientCount() == 0; }, 30s));
    EXPECT_TRUE(PumpUntil([&] { return OpenDescriptors() <= descriptorsBefore; }))
        << OpenDescriptors() << " descriptors open, " << descriptorsBefore << " before";
}

TEST_F(BridgeTest, PortsHeldByAnotherProcessAreReportedAndOtherBridgesRunOn)
{
    // Another process holds the serial port and this bridge's TCP port.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0)
    {
        SFile device;
        TcpClient listener;
        const bool held = device.Open(pty.SlavePath(), 9600) && listener.Listen(port);
        const char answer = held ? 'y' : 'n';
        [[maybe_unused]] ssize_t ignored = ::write(ready[1], &answer, 1);
        ::pause();
        ::_exit(0);
    }
    char answer = 0;
    ASSERT_EQ(::read(ready[0], &answer, 1), 1);
    ASSERT_EQ(answer, 'y');

    PtyPair otherPty;
    Bridge other(wxString(otherPty.SlavePath()), 9600, FreeTcpPort(), 2);
    bridge->Start();
    other.Start();
    EXPECT_FALSE(bridge->IsListening());
    EXPECT_FALSE(bridge->IsSerialOpen());
    EXPECT_EQ(bridge->GetProblem(), wxString::Format("TCP port %u: Address already in use; serial port %s: the port is "
                                                     "in use by another program",
                                                     port, pty.SlavePath()));
    EXPECT_TRUE(log.Contains(wxString::Format("SerialPortHandler::Open() - cannot open %s: the port is in use by "
                                              "another program",
                                              pty.SlavePath())
                                 .utf8_string()));

    TcpClient client;
    ASSERT_TRUE(client.Connect(other.GetTcpPort()));
    ASSERT_TRUE(PumpUntil([&] { return other.GetClientCount() == 1; }));
    ASSERT_TRUE(otherPty.Send("still here"));
    EXPECT_TRUE(PumpUntil([&] { return client.Poll() && client.Received() == "still here"; }));

    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    other.Stop();
}

TEST_F(BridgeTest, ASerialPortThatFailsAtStartIsOpenedAsSoonAsItCan)
{
    // Not there yet, as an adapter plugged in after the start or a device
    // node made a moment later.
    TempDir dir;
    const std::string link = (dir / "adapter").string();
    Bridge late(wxString(link), 115200, FreeTcpPort(), 1);
    late.SetRow(1);
    late.AddObserver(&observer);
    late.Start();
    EXPECT_EQ(late.GetState(), "waiting for " + link);
    EXPECT_EQ(observer.Last(UPDATE_PROBLEM), 1);
    TcpClient writer;
    ASSERT_TRUE(writer.Connect(late.GetTcpPort()));
    ASSERT_TRUE(PumpUntil([&] { return late.GetClientCount() == 1; }));

    ASSERT_EQ(::symlink(pty.SlavePath().c_str(), link.c_str()), 0);
    ASSERT_TRUE(PumpUntil([&] { return late.IsSerialOpen(); }));
    EXPECT_EQ(late.GetState(), "running");
    EXPECT_EQ(observer.Last(UPDATE_PROBLEM), 0);
    EXPECT_TRUE(log.Contains("SerialLink::OnReopenTimer serial port " + link + " is open now"));
    ASSERT_TRUE(writer.Send("hello"));
    EXPECT_EQ(SerialReceives(5), "hello");

    // A device that is there but refuses, here because another bridge of
    // this program holds it, is tried again and again, less and less often,
    // and the log says so once.
    bridge->Start();
    EXPECT_FALSE(bridge->IsSerialOpen());
    EXPECT_EQ(bridge->GetProblem(), "serial port " + pty.SlavePath() + ": used by bridge 1 of this program");
    PumpFor(1500ms); // the first retry, after a second, fails too
    EXPECT_FALSE(bridge->IsSerialOpen());
    late.Stop();
    ASSERT_TRUE(PumpUntil([&] { return bridge->IsSerialOpen(); }));
    EXPECT_EQ(bridge->GetProblem(), "");
    EXPECT_EQ(log.CountContaining("used by bridge 1 of this program"), 1);
    EXPECT_TRUE(log.Contains("SerialLink::OnReopenTimer serial port " + pty.SlavePath() + " is open now"));
}

TEST_F(BridgeTest, ATcpPortThatAnotherProgramHoldsIsListenedOnOnceItIsFree)
{
    TcpClient holder;
    ASSERT_TRUE(holder.Listen(port));
    bridge->Start();
    EXPECT_FALSE(bridge->IsListening());
    EXPECT_EQ(bridge->GetState(), wxString::Format("TCP port %u in use", port));
    EXPECT_EQ(observer.Last(UPDATE_PROBLEM), 1);
    PumpFor(1200ms); // it has tried again meanwhile, without a word
    holder.Close();

    ASSERT_TRUE(PumpUntil([&] { return bridge->IsListening(); }));
    EXPECT_EQ(bridge->GetState(), "running");
    EXPECT_EQ(observer.Count(UPDATE_PROBLEM), 2);
    EXPECT_EQ(observer.Last(UPDATE_PROBLEM), 0);
    EXPECT_EQ(log.CountContaining("cannot listen on TCP port"), 1);
    EXPECT_EQ(log.CountContaining(wxString::Format("listening on TCP port %u at last", port).utf8_string()), 1);
    TcpClient client;
    EXPECT_TRUE(Admit(client));
}

TEST_F(BridgeTest, AtTheDescriptorLimitAcceptingPausesAndTheClientsThatWaitedGetIn)
{
    StartBridge();
    constexpr int kClients = 6;
    std::vector<std::unique_ptr<TcpClient>> clients;
    for (int i = 0; i < kClients; ++i)
    {
        clients.push_back(std::make_unique<TcpClient>());
        if (i == 0)
            ASSERT_TRUE(Admit(*clients.back()));
        else
            ASSERT_TRUE(clients.back()->Connect(port)); // they wait in the listen queue
    }
    // Room for about two more descriptors.
    struct LimitGuard
    {
        rlimit saved{};
        LimitGuard() { ::getrlimit(RLIMIT_NOFILE, &saved); }
        ~LimitGuard() { ::setrlimit(RLIMIT_NOFILE, &saved); }
    } guard;
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    rlimit tight = guard.saved;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree + 2);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);

    ASSERT_TRUE(PumpUntil([&] { return log.CountContaining("couldn't accept a new connection") > 0; }));
    const int admitted = bridge->GetClientCount();
    ASSERT_GT(admitted, 1);
    ASSERT_LT(admitted, kClients);
    const double cpuBefore = ThisThreadCpuSeconds();
    PumpFor(1s);
    EXPECT_LT(ThisThreadCpuSeconds() - cpuBefore, 0.2) << "the bridge spins on the connection it cannot accept";
    EXPECT_EQ(log.CountContaining("couldn't accept a new connection"), 1);
    EXPECT_EQ(bridge->GetClientCount(), admitted);

    // One leaves, and one that waited takes its place; the next finds no room.
    clients.front()->Close();
    ASSERT_TRUE(PumpUntil([&] { return log.CountContaining("New client connection accepted") == admitted + 1; }));
    ASSERT_TRUE(PumpUntil([&] { return log.CountContaining("couldn't accept a new connection") == 2; }));

    // Room again while nobody leaves: the pause ends by itself.
    ::setrlimit(RLIMIT_NOFILE, &guard.saved);
    EXPECT_TRUE(PumpUntil([&] { return bridge->GetClientCount() == kClients - 1; }));
    ASSERT_TRUE(pty.Send("all"));
    EXPECT_TRUE(PumpUntil([&] { return clients.back()->Poll() && clients.back()->Received() == "all"; }));
}

TEST_F(BridgeTest, AWriterThatHangsUpWhileHeldBackGivesWayOnceItsLastByteIsWritten)
{
    StartBridge();
    // The device has read nothing for a while: the port takes no more.
    const std::size_t filled = pty.FillUnread();

    // The writer sends what the serial output holds and more, which waits
    // unread, and hangs up.
    TcpClient first;
    ASSERT_TRUE(Admit(first));
    const std::uint64_t sent = SerialPortHandler::kWriteQueueBytes + 16384;
    {
        PatternWriter writer(first.Fd(), sent);
        ASSERT_TRUE(PumpUntil([&] {
            int unsent = -1;
            ::ioctl(first.Fd(), TIOCOUTQ, &unsent);
            return writer.Done() && unsent == 0;
        }));
    }
    first.Close();
    ASSERT_TRUE(PumpUntil([&] { return bridge->GetClientCount() == 0; }, 5s))
        << "the hang-up must not wait until everything it sent is written";
    EXPECT_EQ(observer.Last(UPDATE_CLIENTS), 0);

    TcpClient second;
    ASSERT_TRUE(Admit(second));
    ClientInfoList info;
    bridge->GetClientsInfo(info);
    ASSERT_EQ(info.size(), 1u);
    EXPECT_TRUE(info[0]["Writer"].GetBool());
    // One whose host vanishes without a word is found out too, in a minute or so.
    const int bridgeEnd = BridgeEndOf(second);
    int keepAlive = 0, idle = 0;
    socklen_t size = sizeof keepAlive;
    ::getsockopt(bridgeEnd, SOL_SOCKET, SO_KEEPALIVE, &keepAlive, &size);
    ::getsockopt(bridgeEnd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &size);
    EXPECT_EQ(keepAlive, 1);
    EXPECT_EQ(idle, 60);
    ASSERT_TRUE(second.Send(PatternBytes(sent, 4)));

    ASSERT_EQ(pty.Receive(filled).size(), filled);
    PatternReader device(pty.Master(), sent + 4);
    EXPECT_TRUE(PumpUntil([&] { return device.Done() || device.Failed(); })) << device.Received();
    EXPECT_FALSE(device.Failed()) << "the new writer's bytes come after the old one's last";
    EXPECT_TRUE(PumpUntil([&] { return bridge->GetWriteBytes() == 4; })) << "the old writer has gone at last";
}
