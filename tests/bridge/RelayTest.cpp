#include "BridgeFixture.h"
#include "support/PatternStream.h"

#include <termios.h>

using namespace std::chrono_literals;

TEST_F(BridgeTest, SerialBytesReachEveryClientWithOneNotification)
{
    StartBridge();
    TcpClient a, b, c;
    ASSERT_TRUE(Admit(a));
    ASSERT_TRUE(Admit(b));
    ASSERT_TRUE(Admit(c));

    ASSERT_TRUE(pty.Send("0123456789"));
    ASSERT_TRUE(AllReceive({&a, &b, &c}, 10));
    EXPECT_EQ(a.Received(), "0123456789");
    EXPECT_EQ(b.Received(), "0123456789");
    EXPECT_EQ(c.Received(), "0123456789");
    EXPECT_EQ(observer.Count(UPDATE_READ), 1);
    EXPECT_EQ(observer.Last(UPDATE_READ), 10);
    EXPECT_EQ(bridge->GetReadBytes(), 10);

    ClientInfoList info;
    bridge->GetClientsInfo(info);
    ASSERT_EQ(info.size(), 3u);
    int writers = 0;
    for (ClientInfo& entry : info)
    {
        EXPECT_EQ(entry.size(), 4u);
        EXPECT_EQ(entry["IP"].GetString(), "127.0.0.1");
        EXPECT_EQ(entry["ReadedBytes"].GetLongLong().GetValue(), 10);
        EXPECT_EQ(entry["WritedBytes"].GetLongLong().GetValue(), 0);
        writers += entry["Writer"].GetBool();
    }
    EXPECT_EQ(writers, 1);
}

TEST_F(BridgeTest, SerialBytesWithoutClientsAreStillCounted)
{
    StartBridge();
    ASSERT_TRUE(pty.Send("abc"));
    ASSERT_TRUE(PumpUntil([&] { return bridge->GetReadBytes() == 3; }));
    EXPECT_EQ(observer.Last(UPDATE_READ), 3);
}

TEST_F(BridgeTest, TheWritersBytesReachTheSerialPortWholeAndInOrder)
{
    StartBridge();
    TcpClient writer, reader;
    ASSERT_TRUE(Admit(writer));
    ASSERT_TRUE(Admit(reader));
    const std::string bytes = PatternBytes(0, 1000);
    ASSERT_TRUE(writer.Send(bytes));
    EXPECT_EQ(SerialReceives(1000), bytes);
    ASSERT_TRUE(PumpUntil([&] { return bridge->GetWriteBytes() == 1000; }));
    EXPECT_EQ(observer.Last(UPDATE_WRITE), 1000);

    ClientInfoList info;
    bridge->GetClientsInfo(info);
    long long written = 0;
    for (ClientInfo& entry : info)
        written += entry["WritedBytes"].GetLongLong().GetValue();
    EXPECT_EQ(written, 1000);
}

TEST_F(BridgeTest, AReadersInputNeverReachesTheSerialPort)
{
    StartBridge();
    TcpClient writer, reader;
    ASSERT_TRUE(Admit(writer));
    ASSERT_TRUE(Admit(reader));
    ASSERT_TRUE(reader.Send("not for the device"));
    EXPECT_EQ(SerialReceivesMeanwhile(200ms), "");
    EXPECT_EQ(observer.Count(UPDATE_WRITE), 0);
    EXPECT_EQ(bridge->GetWriteBytes(), 0);
}

TEST_F(BridgeTest, AReaderThatLeavesAfterTalkingIsStillNoticed)
{
    StartBridge();
    TcpClient writer, reader;
    ASSERT_TRUE(Admit(writer));
    ASSERT_TRUE(Admit(reader));
    ASSERT_TRUE(reader.Send("chatter"));
    PumpFor(50ms);
    reader.Close();
    EXPECT_TRUE(PumpUntil([&] { return bridge->GetClientCount() == 1; }));
}

TEST_F(BridgeTest, WithoutASerialPortTheWritersBytesAreDropped)
{
    Bridge portless(wxString("/dev/does-not-exist"), 9600, FreeTcpPort(), 2);
    portless.Start();
    TcpClient writer;
    ASSERT_TRUE(writer.Connect(portless.GetTcpPort()));
    ASSERT_TRUE(PumpUntil([&] { return portless.GetClientCount() == 1; }));
    ASSERT_TRUE(writer.Send(std::string(100000, 'w')));
    writer.Close();
    EXPECT_TRUE(PumpUntil([&] { return portless.GetClientCount() == 0; })) << "its input was read, so it left";
    EXPECT_EQ(portless.GetWriteBytes(), 0);
    portless.Stop();
}

TEST_F(BridgeTest, ObserversAreCalledOnTheGuiThreadOnly)
{
    StartBridge();
    TcpClient writer;
    ASSERT_TRUE(Admit(writer));
    ASSERT_TRUE(pty.Send(PatternBytes(0, 5000)));
    ASSERT_TRUE(writer.Send(PatternBytes(0, 5000)));
    ASSERT_TRUE(AllReceive({&writer}, 5000));
    EXPECT_EQ(SerialReceives(5000).size(), 5000u);
    ASSERT_TRUE(PumpUntil([&] { return bridge->GetWriteBytes() == 5000; }));
    writer.Close();
    ASSERT_TRUE(PumpUntil([&] { return bridge->GetClientCount() == 0; }));
    bridge->Stop();

    for (int kind : {UPDATE_READ, UPDATE_WRITE, UPDATE_CLIENTS})
        EXPECT_GT(observer.Count(kind), 0) << kind;
    for (const auto& call : observer.calls)
    {
        EXPECT_TRUE(call.onMainThread) << "kind " << call.kind;
        EXPECT_EQ(call.row, kRow);
    }
}

TEST_F(BridgeTest, TheCharacterFrameReachesTheSerialPort)
{
    // A pseudo-terminal keeps the stop bits; it always reports 8 bits without parity.
    bridge->SetStopBits(2);
    StartBridge();
    termios settings{};
    ASSERT_EQ(::tcgetattr(pty.Slave(), &settings), 0);
    EXPECT_EQ(settings.c_cflag & CSTOPB, static_cast<tcflag_t>(CSTOPB));
    EXPECT_TRUE(log.Contains("SerialPortHandler::Open() - m_dataBits: 8, m_parity: N, m_stopBits: 2"));
}
