#include "BridgeFixture.h"
#include "support/TempDir.h"
#include "support/TraceParse.h"

using namespace std::chrono_literals;

namespace
{
std::vector<ParsedRecord> TraceOf(const std::filesystem::path& file)
{
    std::vector<ParsedRecord> records;
    std::string why;
    EXPECT_TRUE(ParseTrace(FileBytes(file), records, why)) << why;
    return records;
}

std::vector<std::string> EventsOf(const std::vector<ParsedRecord>& records)
{
    std::vector<std::string> events;
    for (const ParsedRecord& record : records)
        if (!record.toClients && !record.toSerial)
            events.push_back(record.words);
    return events;
}
} // namespace

// The device streams to three clients while the writer streams back, and a
// script that reads the trace gets both streams byte for byte, and every
// event in order.
TEST_F(BridgeTest, TheTraceRebuildsBothStreamsAndTellsWhatHappenedInOrder)
{
    constexpr std::uint64_t kDevice = 2u << 20, kWriter = 256u << 10;
    TempDir dir;
    bridge->SetTraceFile("traffic.trace"); // from the directory of bridges.db, the working directory
    bridge->AddIpFilter({"127.0.0.1"});
    StartBridge();

    TcpClient writer, refused;
    std::vector<std::unique_ptr<TcpClient>> clients;
    std::vector<std::unique_ptr<PatternReader>> readers;
    ASSERT_TRUE(Admit(writer));
    ASSERT_TRUE(AdmitReaders(2, kDevice, clients, readers));
    ASSERT_TRUE(refused.Connect(port, "127.0.0.2"));
    ASSERT_TRUE(PumpUntil([&] { return bridge->GetRefusedIps().size() == 1; }));
    readers.push_back(std::make_unique<PatternReader>(writer.Fd(), kDevice));

    PatternWriter device(pty.Master(), kDevice, 8u << 20);
    PatternWriter toDevice(writer.Fd(), kWriter);
    std::string atDevice;
    ASSERT_TRUE(PumpUntil(
        [&] {
            atDevice += pty.ReceiveAvailable();
            return AllEnded(readers) && atDevice.size() >= kWriter;
        },
        60s));
    for (const auto& reader : readers)
        EXPECT_FALSE(reader->Failed());
    EXPECT_EQ(atDevice, PatternBytes(0, kWriter));
    const std::string leaving = clients[1]->LocalName();
    clients[1]->Close();
    ASSERT_TRUE(PumpUntil([&] { return bridge->GetClientCount() == 2; }));

    bridge->FlushTrace();
    const auto records = TraceOf(dir / "traffic.trace");
    EXPECT_TRUE(DeviceStream(records) == PatternBytes(0, kDevice)) << "the device's stream differs";
    EXPECT_TRUE(ClientStream(records) == PatternBytes(0, kWriter)) << "the writer's stream differs";
    for (const ParsedRecord& record : records)
        if (record.toSerial)
            ASSERT_EQ(record.peer, writer.LocalName());
    const std::vector<std::string> events{
        "serial port " + pty.SlavePath() + " open, 115200 baud 8N1",
        "client " + writer.LocalName() + " connected, writer",
        "client " + clients[0]->LocalName() + " connected, reader",
        "client " + leaving + " connected, reader",
        "client " + refused.LocalName() + " refused",
        "client " + leaving + " disconnected",
    };
    EXPECT_EQ(EventsOf(records), events);
}

// A disk that takes nothing: the clients still get every byte, the bridge
// says why its trace is not written and, once the trace moves, how much the
// old one lost; the new one is written while the clients stay.
TEST_F(BridgeTest, ATraceThatCannotBeWrittenLeavesTheRelayExactAndSaysWhatWasLost)
{
    TempDir dir;
    bridge->SetTraceFile("/dev/full");
    StartBridge();
    TcpClient client;
    ASSERT_TRUE(Admit(client));
    const std::string bytes = PatternBytes(0, 64u << 10);
    ASSERT_TRUE(pty.Send(bytes));
    ASSERT_TRUE(PumpUntil([&] {
        client.Poll();
        return client.Received().size() >= bytes.size() && bridge->GetState() == "trace not written";
    }));
    EXPECT_EQ(client.Received(), bytes);
    EXPECT_NE(bridge->GetProblem().Find("trace file /dev/full cannot be written"), wxNOT_FOUND) << bridge->GetProblem();
    EXPECT_EQ(observer.Last(UPDATE_PROBLEM), 1);

    bridge->TraceTo("moved.trace");
    EXPECT_EQ(bridge->GetState(), "running");
    EXPECT_EQ(log.CountContaining("bytes were not traced to /dev/full"), 1);
    EXPECT_EQ(log.CountContaining(std::to_string(bytes.size()) + " bytes were not traced"), 1);
    ASSERT_TRUE(pty.Send("after"));
    ASSERT_TRUE(PumpUntil([&] {
        client.Poll();
        return client.Received().size() == bytes.size() + 5;
    }));
    EXPECT_EQ(bridge->GetClientCount(), 1);
    bridge->FlushTrace();
    EXPECT_EQ(DeviceStream(TraceOf(dir / "moved.trace")), "after");
}
