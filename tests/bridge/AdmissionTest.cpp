#include "BridgeFixture.h"
#include "support/FilterEntries.h"

#include <set>

using namespace std::chrono_literals;

namespace
{
// Pumps until the client sees its connection closed.
bool ClosedByBridge(TcpClient& client)
{
    return PumpUntil([&] { return !client.Poll(); });
}
} // namespace

TEST_F(BridgeTest, AnEmptyFilterListAdmitsEveryone)
{
    StartBridge();
    TcpClient a, b;
    ASSERT_TRUE(Admit(a, "127.0.0.1"));
    ASSERT_TRUE(Admit(b, "127.0.0.2"));
    EXPECT_TRUE(bridge->GetRefusedIps().IsEmpty());
    EXPECT_EQ(observer.Last(UPDATE_CLIENTS), 2);
    EXPECT_EQ(observer.Count(UPDATE_CLIENTS), 2);
}

TEST_F(BridgeTest, AFilterRefusesOtherAddressesAndRemembersEachAttempt)
{
    bridge->AddIpFilter(FilterEntry("127.0.0.1", IPF_UNCHANGED));
    StartBridge();

    TcpClient stranger;
    ASSERT_TRUE(stranger.Connect(port, "127.0.0.2"));
    ASSERT_TRUE(ClosedByBridge(stranger));
    EXPECT_EQ(bridge->GetClientCount(), 0);
    ASSERT_EQ(bridge->GetRefusedIps().GetCount(), 1u);
    EXPECT_EQ(bridge->GetRefusedIps()[0], "127.0.0.2");
    const std::vector<std::string> lines = log.Messages();
    const auto accepted = std::find(lines.begin(), lines.end(), "New client connection accepted");
    ASSERT_NE(accepted, lines.end());
    ASSERT_NE(accepted + 1, lines.end());
    EXPECT_EQ(*(accepted + 1), "banned ip!");
    EXPECT_EQ(observer.Count(UPDATE_CLIENTS), 0);

    TcpClient again;
    ASSERT_TRUE(again.Connect(port, "127.0.0.2"));
    ASSERT_TRUE(ClosedByBridge(again));
    EXPECT_EQ(bridge->GetRefusedIps().GetCount(), 2u);

    TcpClient friendly;
    ASSERT_TRUE(Admit(friendly, "127.0.0.1"));
    EXPECT_EQ(bridge->GetRefusedIps().GetCount(), 2u);

    bridge->Stop();
    EXPECT_TRUE(bridge->GetRefusedIps().IsEmpty());
}

TEST_F(BridgeTest, ADeletedEntryAdmitsNobody)
{
    bridge->AddIpFilter(FilterEntry("127.0.0.2", IPF_DELETED));
    bridge->AddIpFilter(FilterEntry("127.0.0.1", IPF_UNCHANGED));
    StartBridge();

    TcpClient deleted;
    ASSERT_TRUE(deleted.Connect(port, "127.0.0.2"));
    ASSERT_TRUE(ClosedByBridge(deleted));
    EXPECT_EQ(bridge->GetRefusedIps().GetCount(), 1u);

    TcpClient listed;
    EXPECT_TRUE(Admit(listed, "127.0.0.1"));
}

TEST_F(BridgeTest, OnlyDeletedEntriesMeanNoFilter)
{
    bridge->AddIpFilter(FilterEntry("10.1.1.1", IPF_DELETED));
    StartBridge();
    TcpClient anyone;
    EXPECT_TRUE(Admit(anyone, "127.0.0.3"));
    EXPECT_TRUE(bridge->GetRefusedIps().IsEmpty());
}

TEST_F(BridgeTest, TheFirstClientOfAnIdleBridgeIsTheWriter)
{
    StartBridge();
    TcpClient first, second, third;
    ASSERT_TRUE(Admit(first));
    ASSERT_TRUE(Admit(second));

    // The writer's bytes reach the serial port, a reader's never do.
    ASSERT_TRUE(second.Send("reader"));
    ASSERT_TRUE(first.Send("writer"));
    EXPECT_EQ(SerialReceives(6), "writer");

    first.Close();
    ASSERT_TRUE(PumpUntil([&] { return bridge->GetClientCount() == 1; }));
    ASSERT_TRUE(second.Send("still a reader"));
    EXPECT_EQ(SerialReceivesMeanwhile(100ms), "");

    second.Close();
    ASSERT_TRUE(PumpUntil([&] { return bridge->GetClientCount() == 0; }));
    ASSERT_TRUE(Admit(third));
    ASSERT_TRUE(third.Send("new writer"));
    EXPECT_EQ(SerialReceives(10), "new writer");
}

TEST_F(BridgeTest, ALostClientIsRemovedAndCounted)
{
    StartBridge();
    TcpClient staying, leaving;
    ASSERT_TRUE(Admit(staying));
    ASSERT_TRUE(Admit(leaving));
    leaving.Reset();
    ASSERT_TRUE(PumpUntil([&] { return bridge->GetClientCount() == 1; }));
    EXPECT_TRUE(log.Contains("Bridge::OnSocketData wxSOCKET_LOST"));
    EXPECT_EQ(observer.Last(UPDATE_CLIENTS), 1);
}

TEST_F(BridgeTest, StopDisconnectsFreesThePortAndStartBindsItAgain)
{
    StartBridge();
    TcpClient client;
    ASSERT_TRUE(Admit(client));
    observer.calls.clear();

    bridge->Stop();
    ASSERT_EQ(observer.calls.size(), 3u);
    EXPECT_EQ(observer.calls[0].kind, UPDATE_CLIENTS);
    EXPECT_EQ(observer.calls[1].kind, UPDATE_READ);
    EXPECT_EQ(observer.calls[2].kind, UPDATE_WRITE);
    for (const auto& call : observer.calls)
    {
        EXPECT_EQ(call.value, 0);
        EXPECT_EQ(call.row, kRow);
    }
    EXPECT_TRUE(PumpUntil([&] { return !client.Poll(); })) << "the client is disconnected";
    TcpClient refused;
    EXPECT_FALSE(refused.Connect(port)) << "nothing listens after a stop";

    StartBridge();
    TcpClient again;
    ASSERT_TRUE(Admit(again));
    ASSERT_TRUE(again.Send("hello"));
    EXPECT_EQ(SerialReceives(5), "hello") << "the first client after a restart writes";
}

TEST_F(BridgeTest, PortsThatCannotOpenAreReportedAndTheBridgeRunsOn)
{
    Bridge holder(wxString("/dev/does-not-exist"), 9600, port, 1);
    holder.Start();
    ASSERT_TRUE(holder.IsListening());
    EXPECT_FALSE(holder.IsSerialOpen());
    EXPECT_EQ(holder.GetProblem(), "serial port /dev/does-not-exist: No such file or directory");

    bridge->Start();
    EXPECT_TRUE(bridge->IsRunning());
    EXPECT_FALSE(bridge->IsListening());
    EXPECT_TRUE(bridge->IsSerialOpen());
    EXPECT_EQ(bridge->GetProblem(), wxString::Format("TCP port %u: Address already in use", port));
    EXPECT_TRUE(log.Contains(wxString::Format("BridgeListener::Start - cannot listen on TCP port %u: Address already "
                                              "in use; it is tried again",
                                              port).utf8_string()));
    holder.Stop();
}

TEST_F(BridgeTest, ABridgeListensOnItsListenAddressOnlyAndWaitsForOneThatIsNotHere)
{
    // A name would have to be looked up: nothing opens.
    bridge->SetListenAddress("localhost");
    bridge->Start();
    EXPECT_FALSE(bridge->IsSerialOpen());
    EXPECT_EQ(bridge->GetState(), "listen address invalid");
    bridge->Stop();

    // TEST-NET-3, which no machine is given.
    bridge->SetListenAddress("203.0.113.1");
    bridge->Start();
    EXPECT_FALSE(bridge->IsListening());
    EXPECT_TRUE(bridge->IsSerialOpen()) << "the bridge runs on";
    EXPECT_EQ(bridge->GetState(), "203.0.113.1 not on this machine");
    const std::string problem = wxString::Format("TCP port %u: 203.0.113.1 is not an address of this machine", port)
                                    .utf8_string();
    EXPECT_EQ(bridge->GetProblem(), problem);
    EXPECT_EQ(log.CountContaining(problem), 1);
    EXPECT_EQ(observer.Last(UPDATE_PROBLEM), 1);

    // As an interface that comes up: the next attempt finds the address here.
    bridge->SetListenAddress("127.0.0.1");
    ASSERT_TRUE(PumpUntil([&] { return bridge->IsListening(); }));
    EXPECT_EQ(bridge->GetState(), "running");
    EXPECT_EQ(observer.Last(UPDATE_PROBLEM), 0);
    EXPECT_EQ(log.CountContaining(wxString::Format("listening on TCP port %u of 127.0.0.1 at last", port).utf8_string()),
              1);
    EXPECT_EQ(log.CountContaining(problem), 1) << "logged once";
    TcpClient local, other;
    ASSERT_TRUE(Admit(local));
    // 127.0.0.2 is this machine's too, but not the one listened on.
    EXPECT_FALSE(other.Connect(port, "127.0.0.1", 0, "127.0.0.2"));
    ASSERT_TRUE(pty.Send("only here"));
    EXPECT_TRUE(PumpUntil([&] { return local.Poll() && local.Received() == "only here"; }));
}

TEST_F(BridgeTest, TheLogSaysOnceThatAReadersInputIsDroppedAndSummarisesRepeatedRefusals)
{
    bridge->AddIpFilter(FilterEntry("127.0.0.1", IPF_UNCHANGED));
    StartBridge();
    TcpClient writer, reader;
    ASSERT_TRUE(Admit(writer));
    ASSERT_TRUE(Admit(reader));
    ASSERT_TRUE(reader.Send("status?"));
    ASSERT_TRUE(PumpUntil([&] { return log.CountContaining("is a reader: its input is dropped") == 1; }));
    ASSERT_TRUE(reader.Send("status?!"));
    PumpFor(200ms);
    EXPECT_EQ(log.CountContaining("is a reader: its input is dropped"), 1);

    // A client that retries for ever, or a port scanner.
    constexpr int kAttempts = 30;
    for (int i = 0; i < kAttempts; ++i)
    {
        TcpClient stranger;
        ASSERT_TRUE(stranger.Connect(port, "127.0.0.2"));
    }
    ASSERT_TRUE(PumpUntil([&] { return bridge->GetRefusedIps().size() == kAttempts; }));
    EXPECT_EQ(log.CountContaining("banned ip!"), static_cast<int>(LogThrottle::kLinesPerWindow));
    EXPECT_EQ(log.CountContaining("New client connection accepted"), 2 + static_cast<int>(LogThrottle::kLinesPerWindow));
}

namespace
{
// Whether this machine has IPv6 on its loopback.
bool HasIpv6Loopback()
{
    TcpClient probe;
    return probe.Listen(FreeTcpPort(), "::1");
}
} // namespace

TEST_F(BridgeTest, IpV6ClientsAreServedAsIpV4OnesAndAdmittedByTheirOwnEntries)
{
    if (!HasIpv6Loopback())
        GTEST_SKIP() << "this machine has no IPv6 loopback";
    // All addresses of both families: the first client, over IPv6, writes.
    StartBridge();
    TcpClient overIpv6, overIpv4;
    ASSERT_TRUE(Admit(overIpv6, "127.0.0.1", 0, "::1"));
    ASSERT_TRUE(Admit(overIpv4, "127.0.0.1"));
    ASSERT_TRUE(overIpv4.Send("four"));
    ASSERT_TRUE(overIpv6.Send("six"));
    EXPECT_EQ(SerialReceives(3), "six") << "the first client writes, whatever its family";
    ASSERT_TRUE(pty.Send("both"));
    EXPECT_TRUE(AllReceive({&overIpv6, &overIpv4}, 4));
    ClientInfoList clients;
    bridge->GetClientsInfo(clients);
    ASSERT_EQ(clients.size(), 2u);
    std::set<std::string> addresses;
    for (ClientInfo& client : clients)
        addresses.insert(client["IP"].GetString().utf8_string());
    EXPECT_EQ(addresses, (std::set<std::string>{"::1", "127.0.0.1"})) << "an IPv4 client is not ::ffff:127.0.0.1";
    EXPECT_EQ(log.CountContaining("client 127.0.0.1:"), 1);
    bridge->Stop();

    // An allow-list of ::1 admits only that; one of 127.0.0.1 admits an IPv4
    // client that arrives on the IPv6 socket.
    bridge->AddIpFilter(FilterEntry("::1", IPF_UNCHANGED));
    StartBridge();
    TcpClient allowed, refused;
    ASSERT_TRUE(Admit(allowed, "127.0.0.1", 0, "::1"));
    ASSERT_TRUE(refused.Connect(port));
    ASSERT_TRUE(ClosedByBridge(refused));
    EXPECT_EQ(bridge->GetRefusedIps(), wxArrayString(1, wxString("127.0.0.1")));
    bridge->Stop();
    bridge->MarkAllIpFiltersDeleted();
    bridge->AddIpFilter(FilterEntry("127.0.0.1", IPF_UNCHANGED));
    StartBridge();
    TcpClient ipv4;
    EXPECT_TRUE(Admit(ipv4));
    bridge->Stop();

    // A bridge that listens on ::1 alone is not reached over IPv4, and the
    // log writes its IPv6 peers [address]:port.
    bridge->MarkAllIpFiltersDeleted();
    bridge->SetListenAddress("::1");
    StartBridge();
    TcpClient writer, reader, other;
    EXPECT_TRUE(Admit(writer, "127.0.0.1", 0, "::1"));
    EXPECT_TRUE(Admit(reader, "127.0.0.1", 0, "::1"));
    EXPECT_FALSE(other.Connect(port));
    ASSERT_TRUE(reader.Send("ignored"));
    EXPECT_TRUE(PumpUntil([&] { return log.CountContaining("client [::1]:") == 1; }));
}
