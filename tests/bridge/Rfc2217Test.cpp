#include "bridge/Rfc2217.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace
{
constexpr int IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr int BINARY = 0, ECHO = 1, SGA = 3, TTYPE = 24, NAWS = 31, COM = 44;

std::string Bytes(std::initializer_list<int> values)
{
    std::string bytes;
    for (int value : values)
        bytes += static_cast<char>(value);
    return bytes;
}

// IAC SB COM-PORT-OPTION code value IAC SE, with value as it travels.
std::string Sub(int code, const std::string& value = "")
{
    return Bytes({IAC, SB, COM, code}) + value + Bytes({IAC, SE});
}

std::string Sub(int code, std::initializer_list<int> value)
{
    return Sub(code, Bytes(value));
}

const std::string kStart =
    Bytes({IAC, WILL, BINARY, IAC, DO, BINARY, IAC, WILL, SGA, IAC, DO, SGA, IAC, WILL, COM, IAC, DO, COM});

// Keeps what it is given in order, and refuses what a pseudo-terminal cannot
// do: a baud rate of 12345, fewer than 8 data bits, any parity.
class RecordingPort : public Rfc2217Port
{
public:
    void Write(const unsigned char* bytes, std::size_t count) override
    {
        if (log.empty() || log.back().compare(0, 5, "data ") != 0)
            log.push_back("data ");
        log.back().append(reinterpret_cast<const char*>(bytes), count);
    }
    std::uint32_t Get(Setting setting) override { return values[setting]; }
    std::uint32_t Set(Setting setting, std::uint32_t value) override
    {
        log.push_back("set " + std::to_string(setting) + " " + std::to_string(value));
        if ((setting != BaudRate || value != 12345) && (setting != DataSize || value == 8) &&
            (setting != Parity || value == kParityNone))
            values[setting] = value;
        return values[setting];
    }
    void Purge(bool received, bool toSend) override
    {
        log.push_back(std::string("purge") + (received ? " received" : "") + (toSend ? " to-send" : ""));
    }
    std::uint8_t ModemLines() override { return lines; }

    std::vector<std::string> log;
    // Indexed by Setting; DTR and RTS off, as the bridge opens a port.
    std::uint32_t values[9] = {9600, 8, kParityNone, kStopOne, kFlowNone, kInFlowNone, 0, 0, 0};
    std::uint8_t lines = kCts | kDsr;
};

struct Outcome
{
    std::vector<std::string> port;
    std::string toClient;
    bool kept = true;
    bool operator==(const Outcome& other) const
    {
        return port == other.port && toClient == other.toClient && kept == other.kept;
    }
};

// A fresh session after Start, given input cut at the offsets in cuts.
Outcome Feed(const std::string& input, const std::vector<std::size_t>& cuts, bool writer = true)
{
    RecordingPort port;
    Rfc2217Session session(port, "test");
    session.SetWriter(writer);
    Outcome outcome;
    EXPECT_EQ(session.Start(), kStart);
    const auto* bytes = reinterpret_cast<const unsigned char*>(input.data());
    std::size_t from = 0;
    for (std::size_t to : cuts)
    {
        outcome.kept = session.FromClient(bytes + from, to - from, outcome.toClient);
        from = to;
    }
    outcome.kept = session.FromClient(bytes + from, input.size() - from, outcome.toClient);
    outcome.port = port.log;
    return outcome;
}

// What input does in one piece, after checking that every cut into two
// pieces, and byte by byte, does the same.
Outcome FeedSplitEverywhere(const std::string& input, bool writer = true)
{
    const Outcome whole = Feed(input, {}, writer);
    std::vector<std::size_t> everyByte;
    for (std::size_t cut = 1; cut < input.size(); ++cut)
    {
        EXPECT_EQ(Feed(input, {cut}, writer), whole) << "cut at " << cut;
        everyByte.push_back(cut);
    }
    EXPECT_EQ(Feed(input, everyByte, writer), whole) << "byte by byte";
    return whole;
}

std::string FromDevice(const Rfc2217Session& session, const std::string& bytes)
{
    std::string toClient;
    session.FromDevice(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), toClient);
    return toClient;
}

bool FromClient(Rfc2217Session& session, const std::string& bytes, std::string& toClient)
{
    return session.FromClient(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), toClient);
}
} // namespace

// What pyserial 3.5's serial_for_url("rfc2217://...") sent to this session at
// 9600 8N1, as it arrived, and then a write of "ab", 0xFF, "c".
TEST(Rfc2217Open, PyserialOpensTheSameInOnePieceAnyTwoOrByteByByte)
{
    const std::string open = Bytes({IAC, DO,  ECHO, IAC,    WILL, SGA,  IAC, DO,  SGA,  IAC,   DO,
                                    COM, IAC, DO,   BINARY, IAC,  WILL, COM, IAC, WILL, BINARY}) +
                             Sub(1, {0, 0, 0x25, 0x80}) + Sub(2, {8}) + Sub(3, {1}) + Sub(4, {1}) + Sub(5, {1}) +
                             Sub(5, {8}) + Sub(5, {11}) + Sub(12, {1}) + Sub(12, {2}) + "ab" + Bytes({IAC, IAC}) + "c";
    // Every answer is the request's value, which pyserial insists on; the
    // modem lines come as soon as it agrees to the option.
    const std::string answers = Bytes({IAC, WONT, ECHO}) + Sub(107, {0x30}) + Sub(101, {0, 0, 0x25, 0x80}) +
                                Sub(102, {8}) + Sub(103, {1}) + Sub(104, {1}) + Sub(105, {1});

    const Outcome writer = FeedSplitEverywhere(open);
    EXPECT_TRUE(writer.kept);
    EXPECT_EQ(writer.toClient, answers + Sub(105, {8}) + Sub(105, {11}) + Sub(112, {1}) + Sub(112, {2}));
    EXPECT_EQ(writer.port, (std::vector<std::string>{"set 0 9600", "set 1 8", "set 2 1", "set 3 1", "set 4 1",
                                                     "set 7 1", "set 8 1", "purge received", "purge to-send",
                                                     "data ab\xff"
                                                     "c"}));

    // A reader changes nothing: DTR and RTS stay off, and it is told so.
    const Outcome reader = FeedSplitEverywhere(open, false);
    EXPECT_TRUE(reader.port.empty());
    EXPECT_EQ(reader.toClient, answers + Sub(105, {9}) + Sub(105, {12}) + Sub(112, {1}) + Sub(112, {2}));
}

TEST(Rfc2217Data, EveryByteValuePassesBothWaysInBinaryAndAsATerminal)
{
    std::string all;
    for (int round = 0; round < 2; ++round)
    {
        for (int value = 0; value < 256; ++value)
            all += static_cast<char>(value);
    }
    all += Bytes({'\r', 0, '\r', '\n', '\r'});
    std::string doubled;
    for (char c : all)
        doubled += c == '\xff' ? std::string(2, c) : std::string(1, c);

    // Binary both ways: 0xFF doubled, nothing else touched, CR NUL included.
    RecordingPort port;
    Rfc2217Session server(port, "test");
    std::string toClient;
    ASSERT_TRUE(FromClient(server, Bytes({IAC, DO, BINARY}), toClient));
    EXPECT_TRUE(server.SendsBinary());
    EXPECT_EQ(toClient, Bytes({IAC, WILL, BINARY}));
    EXPECT_EQ(FromDevice(server, all), doubled);
    const Outcome binary = FeedSplitEverywhere(Bytes({IAC, WILL, BINARY}) + doubled);
    EXPECT_EQ(binary.port, std::vector<std::string>{"data " + all});
    EXPECT_EQ(binary.toClient, "");

    // As a terminal: CR not before LF travels as CR NUL, and comes back as CR.
    Rfc2217Session terminal(port, "test");
    EXPECT_FALSE(terminal.SendsBinary());
    EXPECT_EQ(FromDevice(terminal, Bytes({'a', '\r', 'b', '\r', '\n', IAC, '\r'})),
              Bytes({'a', '\r', 0, 'b', '\r', '\n', IAC, IAC, '\r', 0}));
    const Outcome nvt = FeedSplitEverywhere(FromDevice(terminal, all));
    EXPECT_EQ(nvt.port, std::vector<std::string>{"data " + all});

    // Device chunks cut anywhere reach a terminal client whole.
    std::string pieces;
    for (std::size_t at = 0; at < all.size(); at += 7)
        pieces += FromDevice(terminal, all.substr(at, 7));
    EXPECT_EQ(Feed(pieces, {}).port, std::vector<std::string>{"data " + all});
}

TEST(Rfc2217Writer, OnlyTheWriterChangesThePortAndRefusalsAnswerTheValueInForce)
{
    RecordingPort port;
    Rfc2217Session session(port, "test");
    std::string toClient;
    const std::string changes = Sub(1, {0, 1, 0xc2, 0}) + Sub(2, {7}) + Sub(3, {3}) + Sub(4, {2}) + Sub(5, {3}) +
                                Sub(5, {5}) + Sub(5, {8}) + Sub(5, {16}) + Sub(12, {3}) + "x";

    // A reader: nothing reaches the port, answers tell what is in force, and
    // the bridge hears of it once.
    ASSERT_TRUE(FromClient(session, changes, toClient));
    EXPECT_TRUE(port.log.empty());
    EXPECT_EQ(toClient, Sub(101, {0, 0, 0x25, 0x80}) + Sub(102, {8}) + Sub(103, {1}) + Sub(104, {1}) + Sub(105, {1}) +
                            Sub(105, {6}) + Sub(105, {9}) + Sub(105, {14}) + Sub(112, {3}));
    EXPECT_TRUE(session.TakeRefusedChangeNote());
    toClient.clear();
    ASSERT_TRUE(FromClient(session, changes, toClient));
    EXPECT_FALSE(session.TakeRefusedChangeNote());

    // A reader asking for what is in force is not refused anything.
    Rfc2217Session content(port, "test");
    ASSERT_TRUE(FromClient(content, Sub(1, {0, 0, 0x25, 0x80}) + Sub(2, {8}) + Sub(5, {9}) + Sub(12, {1}), toClient));
    EXPECT_FALSE(content.TakeRefusedChangeNote());

    // The writer: each request goes to the port, in order with the data, and
    // is answered with what the port then has; values outside the protocol
    // and queries do not reach Set.
    session.SetWriter(true);
    toClient.clear();
    ASSERT_TRUE(FromClient(session,
                           "a" + Sub(1, {0, 0, 0x30, 0x39}) + "b" + changes + Sub(2, {9}) + Sub(3, {6}) +
                               Sub(1, {0, 0, 0, 0}) + Sub(2, {0}) + Sub(5, {0}) + Sub(5, {4}) + Sub(5, {7}) +
                               Sub(5, {10}) + Sub(5, {13}),
                           toClient));
    EXPECT_EQ(port.log, (std::vector<std::string>{"data a", "set 0 12345", "data b", "set 0 115200", "set 1 7",
                                                  "set 2 3", "set 3 2", "set 4 3", "set 6 1", "set 7 1", "set 5 16",
                                                  "purge received to-send", "data x"}));
    EXPECT_EQ(toClient, Sub(101, {0, 0, 0x25, 0x80}) + Sub(101, {0, 1, 0xc2, 0}) + Sub(102, {8}) + Sub(103, {1}) +
                            Sub(104, {2}) + Sub(105, {3}) + Sub(105, {5}) + Sub(105, {8}) + Sub(105, {16}) +
                            Sub(112, {3}) + Sub(102, {8}) + Sub(103, {1}) + Sub(101, {0, 1, 0xc2, 0}) + Sub(102, {8}) +
                            Sub(105, {3}) + Sub(105, {5}) + Sub(105, {8}) + Sub(105, {12}) + Sub(105, {16}));
    EXPECT_FALSE(session.TakeRefusedChangeNote());
}

TEST(Rfc2217Hostile, MalformedAndUnknownInputIsContainedAndNeverLoops)
{
    // Unknown options refused, their acknowledgements not answered; agreed
    // options not acknowledged again; only a real change answered. Commands
    // and an SE without SB swallowed; IAC IAC inside a value decoded and
    // encoded again; a block cut short by a command loses itself only;
    // blocks of other options and unknown codes ignored.
    const std::string input =
        Bytes({IAC, DO,   TTYPE,  IAC, DONT, TTYPE,  IAC, WILL, NAWS, IAC, WONT, NAWS, IAC, WILL, BINARY,
               IAC, DO,   BINARY, IAC, WILL, BINARY, IAC, WILL, SGA,  IAC, WONT, SGA,  IAC, WONT, SGA,
               IAC, WILL, SGA,    'a', IAC,  241,    IAC, 246,  IAC,  249, IAC,  SE,   'b'}) +
        Sub(1, {0, 1, IAC, IAC, IAC, IAC}) +
        Bytes({IAC, SB, COM, 1, 0, IAC, DO, TTYPE, IAC, SB, TTYPE, 0, 'x', IAC, SE}) + Sub(50, {1}) + Sub(1, {0, 1}) +
        Sub(2) + Bytes({IAC, SB, IAC, SE}) + "c";
    const Outcome outcome = FeedSplitEverywhere(input);
    EXPECT_TRUE(outcome.kept);
    EXPECT_EQ(outcome.port, (std::vector<std::string>{"data ab", "set 0 131071", "data c"}));
    EXPECT_EQ(outcome.toClient, Bytes({IAC, WONT, TTYPE, IAC, DONT, NAWS, IAC, DONT, SGA, IAC, DO, SGA}) +
                                    Sub(101, {0, 1, IAC, IAC, IAC, IAC}) + Bytes({IAC, WONT, TTYPE}));

    // Two sessions talking to each other settle at once, binary both ways.
    RecordingPort port;
    Rfc2217Session a(port, "a"), b(port, "b");
    std::string toA = b.Start(), toB = a.Start();
    int rounds = 0;
    for (; rounds < 10 && (!toA.empty() || !toB.empty()); ++rounds)
    {
        std::string fromA, fromB;
        ASSERT_TRUE(FromClient(a, toA, fromA));
        ASSERT_TRUE(FromClient(b, toB, fromB));
        toA = fromB;
        toB = fromA;
    }
    EXPECT_LE(rounds, 2);
    EXPECT_TRUE(a.SendsBinary() && b.SendsBinary());

    // A block may reach the bound, counted after IAC IAC became one byte, and
    // not pass it; a dropped client stays dropped.
    std::string atBound = Bytes({IAC, SB, COM, 0});
    for (std::size_t i = 2; i < Rfc2217Session::kMaxSubnegotiation; ++i)
        atBound += Bytes({IAC, IAC});
    atBound += Bytes({IAC, SE});
    const std::string overBound = Bytes({IAC, SB, COM, 0}) + std::string(Rfc2217Session::kMaxSubnegotiation, 'x');
    std::vector<std::size_t> everyByte;
    for (std::size_t cut = 1; cut < atBound.size() + overBound.size(); ++cut)
        everyByte.push_back(cut);
    EXPECT_TRUE(Feed(atBound, {}).kept);
    EXPECT_FALSE(Feed(atBound + overBound, {}).kept);
    EXPECT_FALSE(Feed(atBound + overBound, everyByte).kept);
    EXPECT_FALSE(Feed(atBound.substr(0, atBound.size() - 2) + Bytes({IAC, IAC}), {}).kept);
    const Outcome dropped =
        Feed(atBound + overBound + Bytes({IAC, SE}) + Sub(2, {7}) + "z", {atBound.size() + overBound.size()});
    EXPECT_FALSE(dropped.kept);
    EXPECT_TRUE(dropped.port.empty());
    EXPECT_EQ(dropped.toClient, "");
}

TEST(Rfc2217Notify, ModemAndLineStateUnderTheClientsMasksSignatureAndSuspend)
{
    RecordingPort port;
    Rfc2217Session session(port, "bridge on /dev/ttyUSB0");
    std::string toClient;
    session.UpdateModemLines(Rfc2217Port::kDcd, toClient);
    EXPECT_EQ(toClient, "") << "nothing before the option is agreed";
    ASSERT_TRUE(FromClient(session, Bytes({IAC, WILL, COM}), toClient));
    EXPECT_EQ(toClient, Bytes({IAC, DO, COM}) + Sub(107, {0x30}));

    toClient.clear();
    session.UpdateModemLines(Rfc2217Port::kCts | Rfc2217Port::kDsr, toClient);
    session.UpdateModemLines(Rfc2217Port::kDsr | Rfc2217Port::kDcd, toClient);
    session.UpdateModemLines(Rfc2217Port::kDsr | Rfc2217Port::kDcd | Rfc2217Port::kRi, toClient);
    session.UpdateModemLines(Rfc2217Port::kDsr | Rfc2217Port::kDcd, toClient);
    // CTS down and DCD up; RI rising (no delta); RI's trailing edge.
    EXPECT_EQ(toClient, Sub(107, {0xa9}) + Sub(107, {0xe0}) + Sub(107, {0xa4}));

    toClient.clear();
    ASSERT_TRUE(FromClient(session, Sub(11, {0x11}), toClient));
    session.UpdateModemLines(Rfc2217Port::kDcd, toClient);
    session.UpdateModemLines(Rfc2217Port::kDcd | Rfc2217Port::kCts, toClient);
    port.lines = Rfc2217Port::kCts | Rfc2217Port::kRi;
    ASSERT_TRUE(FromClient(session, Sub(7), toClient));
    EXPECT_EQ(toClient, Sub(111, {0x11}) + Sub(107, {0x11}) + Sub(107, {0x10}));

    // Line state: nothing until a mask is set; errors each time, states on change.
    toClient.clear();
    session.UpdateLineState(0x08, toClient);
    ASSERT_TRUE(FromClient(session, Sub(10, {IAC, IAC}), toClient));
    for (std::uint8_t state : {0x08, 0x08, 0x01, 0x01, 0x00})
        session.UpdateLineState(state, toClient);
    ASSERT_TRUE(FromClient(session, Sub(6), toClient));
    EXPECT_EQ(toClient, Sub(110, {IAC, IAC}) + Sub(106, {0x08}) + Sub(106, {0x08}) + Sub(106, {0x01}) +
                            Sub(106, {0x00}) + Sub(106, {0x00}));

    // The signature is ours when asked for, theirs needs no answer;
    // suspend and resume are not answered either.
    toClient.clear();
    ASSERT_TRUE(FromClient(session, Sub(0) + Sub(0, "pyserial") + Sub(8), toClient));
    EXPECT_TRUE(session.IsSuspended());
    ASSERT_TRUE(FromClient(session, Sub(9), toClient));
    EXPECT_FALSE(session.IsSuspended());
    EXPECT_EQ(toClient, Sub(100, "bridge on /dev/ttyUSB0"));
    EXPECT_TRUE(port.log.empty());
}
