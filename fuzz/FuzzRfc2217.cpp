// Whatever an RFC 2217 client sends. The first byte says whether the client
// is the writer, the second where to cut the rest in two. Cut there, or byte
// by byte, the rest must do what it does whole; the port is only given values
// the protocol has; data without IAC reaches the port as it came; and the
// rest, as device data, reaches a binary and a terminal client unchanged.
#include "bridge/Rfc2217.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace
{
class Port : public Rfc2217Port
{
public:
    void Write(const unsigned char* bytes, std::size_t count) override
    {
        if (count == 0)
            __builtin_trap();
        if (log.empty() || log.back()[0] != 'D')
            log.push_back("D");
        log.back().append(reinterpret_cast<const char*>(bytes), count);
    }
    std::uint32_t Get(Setting setting) override { return values[setting]; }
    std::uint32_t Set(Setting setting, std::uint32_t value) override
    {
        if (!IsValid(setting, value))
            __builtin_trap();
        log.push_back("S" + std::to_string(setting) + "=" + std::to_string(value));
        // Refuse some, as devices do.
        if (value % 3 != 0)
            values[setting] = value;
        return values[setting];
    }
    void Purge(bool received, bool toSend) override
    {
        if (!received && !toSend)
            __builtin_trap();
        log.push_back(std::string("P") + (received ? "r" : "") + (toSend ? "t" : ""));
    }
    std::uint8_t ModemLines() override { return kCts | kDcd; }

    std::vector<std::string> log;

private:
    static bool IsValid(Setting setting, std::uint32_t value)
    {
        switch (setting)
        {
        case BaudRate:
            return value != 0;
        case DataSize:
            return value >= 5 && value <= 8;
        case Parity:
            return value >= kParityNone && value <= kParitySpace;
        case StopSize:
            return value >= kStopOne && value <= kStopOneAndHalf;
        case OutboundFlow:
            return value == kFlowNone || value == kFlowXonXoff || value == kFlowHardware || value == kFlowDcd ||
                   value == kFlowDsr;
        case InboundFlow:
            return value == kInFlowNone || value == kInFlowXonXoff || value == kInFlowHardware || value == kInFlowDtr;
        default:
            return value <= 1;
        }
    }

    std::uint32_t values[9] = {9600, 8, kParityNone, kStopOne, kFlowNone, kInFlowNone, 0, 0, 0};
};

struct Outcome
{
    std::vector<std::string> port;
    std::string toClient;
    bool kept = true;
    bool suspended = false;
    bool operator!=(const Outcome& other) const
    {
        return port != other.port || toClient != other.toClient || kept != other.kept || suspended != other.suspended;
    }
};

Outcome Feed(const unsigned char* bytes, std::size_t size, bool writer, std::size_t step, std::size_t firstCut)
{
    Port port;
    Rfc2217Session session(port, "fuzz");
    session.SetWriter(writer);
    Outcome outcome;
    outcome.toClient = session.Start();
    std::size_t from = 0;
    for (std::size_t to = firstCut; from < size; to = from + step)
    {
        if (to > size)
            to = size;
        outcome.kept = session.FromClient(bytes + from, to - from, outcome.toClient);
        from = to;
    }
    outcome.port = port.log;
    outcome.suspended = session.IsSuspended();
    return outcome;
}

// What a client told to send binary (or not) makes of device data.
std::string RoundTrip(const unsigned char* bytes, std::size_t size, std::size_t cut, bool binary)
{
    Port serverPort, clientPort;
    Rfc2217Session server(serverPort, "fuzz"), client(clientPort, "fuzz");
    client.SetWriter(true);
    std::string ignored;
    const unsigned char doBinary[] = {255, 253, 0}, willBinary[] = {255, 251, 0};
    if (binary && (!server.FromClient(doBinary, 3, ignored) || !client.FromClient(willBinary, 3, ignored)))
        __builtin_trap();
    std::string wire;
    server.FromDevice(bytes, cut, wire);
    server.FromDevice(bytes + cut, size - cut, wire);
    if (!client.FromClient(reinterpret_cast<const unsigned char*>(wire.data()), wire.size(), ignored))
        __builtin_trap();
    return clientPort.log.empty() ? std::string() : clientPort.log[0].substr(1);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const bool writer = (data[0] & 1) != 0;
    const unsigned char* bytes = data + 2;
    size = size - 2;
    const std::size_t cut = size == 0 ? 0 : data[1] % (size + 1);

    const Outcome whole = Feed(bytes, size, writer, size, size);
    if (Feed(bytes, size, writer, size, cut) != whole || Feed(bytes, size, writer, 1, 1) != whole)
        __builtin_trap();
    if (!writer && !whole.port.empty())
        __builtin_trap(); // a reader changes nothing

    if (size > 0 && !std::memchr(bytes, 255, size))
    {
        Port port;
        Rfc2217Session session(port, "fuzz");
        session.SetWriter(true);
        const unsigned char willBinary[] = {255, 251, 0};
        std::string toClient;
        if (!session.FromClient(willBinary, 3, toClient) || !session.FromClient(bytes, size, toClient) ||
            port.log.size() != 1 || port.log[0] != "D" + std::string(reinterpret_cast<const char*>(bytes), size))
            __builtin_trap();
    }

    const std::string sent(reinterpret_cast<const char*>(bytes), size);
    if (RoundTrip(bytes, size, cut, true) != sent || RoundTrip(bytes, size, cut, false) != sent)
        __builtin_trap();
    return 0;
}
