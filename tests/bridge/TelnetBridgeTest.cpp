#include "BridgeFixture.h"
#include "support/TempDir.h"

// A bridge that speaks RFC 2217, with clients that write the protocol's
// bytes themselves, as slow or odd clients do.
namespace
{
// Protocol bytes hold NULs: each literal is taken whole.
template <std::size_t N>
std::string Bytes(const char (&literal)[N])
{
    return std::string(literal, N - 1);
}
const std::string kOffers = Bytes("\xff\xfb\x00\xff\xfd\x00\xff\xfb\x03\xff\xfd\x03\xff\xfb\x2c\xff\xfd\x2c");
const std::string kAgreeToBinary = Bytes("\xff\xfd\x00\xff\xfb\x00");
const std::string kDtrOn = Bytes("\xff\xfa\x2c\x05\x08\xff\xf0");
const std::string kSetControlAnswer = Bytes("\xff\xfa\x2c\x69");

class TelnetBridgeTest : public BridgeTest
{
protected:
    void SetUp() override
    {
        BridgeTest::SetUp();
        bridge->SetProtocol(Bridge::kRfc2217Protocol);
    }

    // Admits a client and waits for the bridge's offers, which it takes from
    // what the client received.
    bool AdmitTelnet(TcpClient& client)
    {
        if (!Admit(client) || !PumpUntil([&] { return client.Poll() && client.Received().size() >= kOffers.size(); }))
            return false;
        return client.Received().substr(0, kOffers.size()) == kOffers;
    }
};
} // namespace

TEST_F(TelnetBridgeTest, ANewClientGetsTheDevicesBytesInTheFormItSettlesOn)
{
    StartBridge();
    const std::string device("a\rb\xff\r\nc", 7);

    // One that answers late still gets exactly the device's bytes: none went
    // out in the terminal form (CR NUL) before it agreed to binary.
    TcpClient late;
    ASSERT_TRUE(AdmitTelnet(late));
    ASSERT_TRUE(pty.Send(device));
    ASSERT_TRUE(PumpUntil([&] { return bridge->GetReadBytes() == static_cast<long long>(device.size()); }));
    ASSERT_TRUE(late.Send(kAgreeToBinary));
    ASSERT_TRUE(PumpUntil([&] { return late.Poll() && late.Received().size() >= kOffers.size() + device.size() + 1; }));
    PumpFor(std::chrono::milliseconds(50));
    late.Poll();
    EXPECT_EQ(late.Received().substr(kOffers.size()), std::string("a\rb\xff\xff\r\nc", 8));

    // One that never answers gets them in the terminal form, a moment later.
    TcpClient silent;
    ASSERT_TRUE(AdmitTelnet(silent));
    late.Poll();
    const std::size_t before = late.Received().size();
    ASSERT_TRUE(pty.Send("x\ry"));
    EXPECT_TRUE(PumpUntil([&] { return silent.Poll() && silent.Received().size() >= kOffers.size() + 4; },
                          std::chrono::seconds(5)));
    EXPECT_EQ(silent.Received().substr(kOffers.size()), std::string("x\r\0y", 4));
    EXPECT_TRUE(PumpUntil([&] { return late.Poll() && late.Received().size() >= before + 3; }));
    EXPECT_EQ(late.Received().substr(before), "x\ry") << "a client that settled gets them at once";
}

TEST_F(TelnetBridgeTest, AWritersRequestsThatThePortRefusesAreLoggedAFewTimesAMinutePerClient)
{
    StartBridge();
    // A pseudo-terminal has no DTR: every request for it is refused.
    constexpr int kRequests = 200;
    const auto answers = [](const TcpClient& client) { return CountOf(client.Received(), kSetControlAnswer); };
    TcpClient flooder;
    ASSERT_TRUE(AdmitTelnet(flooder));
    std::string requests;
    for (int i = 0; i < kRequests; ++i)
        requests += kDtrOn;
    ASSERT_TRUE(flooder.Send(kAgreeToBinary + requests));
    ASSERT_TRUE(PumpUntil([&] { return flooder.Poll() && answers(flooder) == kRequests; }));
    EXPECT_EQ(log.CountContaining("refused DTR on"), 10) << "each request was answered, few were logged";

    // The next writer's refusals are its own.
    flooder.Close();
    ASSERT_TRUE(PumpUntil([&] { return bridge->GetClientCount() == 0; }));
    TcpClient next;
    ASSERT_TRUE(AdmitTelnet(next));
    ASSERT_TRUE(next.Send(kAgreeToBinary + kDtrOn + kDtrOn));
    ASSERT_TRUE(PumpUntil([&] { return next.Poll() && answers(next) == 2; }));
    EXPECT_EQ(log.CountContaining("refused DTR on"), 12);
}

// The trace holds what the device got, decoded, the writer's requests and
// what a reader sent in vain.
TEST_F(TelnetBridgeTest, TheTraceHoldsTheBytesAsTheDeviceGetsThemAndTheRequests)
{
    TempDir dir;
    bridge->SetTraceFile("rfc2217.trace");
    StartBridge();
    TcpClient writer;
    ASSERT_TRUE(AdmitTelnet(writer));
    const std::string setBaud = Bytes("\xff\xfa\x2c\x01\x00\x00\x4b\x00\xff\xf0");
    ASSERT_TRUE(writer.Send(kAgreeToBinary + setBaud + Bytes("AT\xff\xff\r")));
    std::string atDevice;
    ASSERT_TRUE(PumpUntil([&] { return (atDevice += pty.ReceiveAvailable()).size() >= 4; }));
    EXPECT_EQ(atDevice, "AT\xff\r");
    // A reader's bytes are dropped, and the trace shows them apart.
    TcpClient reader;
    ASSERT_TRUE(AdmitTelnet(reader));
    ASSERT_TRUE(reader.Send(kAgreeToBinary + "hi"));

    const std::string dropped = " input dropped (a reader), 2 bytes\n  0000  68 69 ";
    const std::string file = (dir / "rfc2217.trace").string();
    ASSERT_TRUE(PumpUntil([&] {
        bridge->FlushTrace();
        return FileBytes(file).find(dropped) != std::string::npos;
    }));
    const std::string trace = FileBytes(dir / "rfc2217.trace");
    EXPECT_EQ(CountOf(trace, " sets baud rate 19200, the port has 19200\n"), 1u) << trace;
    EXPECT_EQ(CountOf(trace, " -> serial, 4 bytes\n  0000  41 54 ff 0d "), 1u) << trace;
}
