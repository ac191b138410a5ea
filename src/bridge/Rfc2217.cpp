#include "Rfc2217.h"

#include <cstring>
#include <utility>

namespace
{
// Telnet (RFC 854, 855)
constexpr std::uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250, kSe = 240;
constexpr std::uint8_t kCr = '\r', kLf = '\n', kNul = 0;
constexpr std::uint8_t kBinary = 0, kSuppressGoAhead = 3, kComPortOption = 44;
// Where the constructor puts them in m_options.
constexpr std::size_t kBinaryAt = 0, kComPortOptionAt = 2;

// COM-PORT-OPTION commands from the client; the answers add kAnswerOffset.
constexpr std::uint8_t kSignature = 0, kSetBaudRate = 1, kSetDataSize = 2, kSetParity = 3, kSetStopSize = 4,
                       kSetControl = 5, kNotifyLineState = 6, kNotifyModemState = 7, kFlowControlSuspend = 8,
                       kFlowControlResume = 9, kSetLineStateMask = 10, kSetModemStateMask = 11, kPurgeData = 12;
constexpr std::uint8_t kAnswerOffset = 100;

// SET-CONTROL values: a query and the two states of each switch.
struct Switch
{
    std::uint8_t query;
    std::uint8_t on;
    std::uint8_t off;
    Rfc2217Port::Setting setting;
};
constexpr Switch kSwitches[] = {
    {4, 5, 6, Rfc2217Port::Break}, {7, 8, 9, Rfc2217Port::Dtr}, {10, 11, 12, Rfc2217Port::Rts}};
constexpr std::uint8_t kQueryOutboundFlow = 0, kQueryInboundFlow = 13;

constexpr std::uint8_t kModemLines = 0xF0;
constexpr std::uint8_t kRiTrailingEdge = 0x04;
// Errors, BREAK and time-out happen rather than last: each is worth a notification.
constexpr std::uint8_t kLineEvents = 0x02 | 0x04 | 0x08 | 0x10 | 0x80;

bool IsOutboundFlow(std::uint32_t value)
{
    return value == Rfc2217Port::kFlowNone || value == Rfc2217Port::kFlowXonXoff ||
           value == Rfc2217Port::kFlowHardware || value == Rfc2217Port::kFlowDcd || value == Rfc2217Port::kFlowDsr;
}

bool IsInboundFlow(std::uint32_t value)
{
    return value == Rfc2217Port::kInFlowNone || value == Rfc2217Port::kInFlowXonXoff ||
           value == Rfc2217Port::kInFlowHardware || value == Rfc2217Port::kInFlowDtr;
}

void AppendOption(std::string& out, std::uint8_t command, std::uint8_t code)
{
    out += static_cast<char>(kIac);
    out += static_cast<char>(command);
    out += static_cast<char>(code);
}
} // namespace

Rfc2217Session::Rfc2217Session(Rfc2217Port& port, std::string signature)
    : m_port(port), m_signature(std::move(signature)), m_options{{kBinary, Side::Off, Side::Off},
                                                                 {kSuppressGoAhead, Side::Off, Side::Off},
                                                                 {kComPortOption, Side::Off, Side::Off}}
{
}

std::string Rfc2217Session::Start()
{
    std::string out;
    for (Option& option : m_options)
    {
        if (option.ours == Side::Off)
        {
            option.ours = Side::Asked;
            AppendOption(out, kWill, option.code);
        }
        if (option.theirs == Side::Off)
        {
            option.theirs = Side::Asked;
            AppendOption(out, kDo, option.code);
        }
    }
    return out;
}

bool Rfc2217Session::FromClient(const unsigned char* bytes, std::size_t count, std::string& toClient)
{
    const unsigned char* p = bytes;
    const unsigned char* const end = bytes + count;
    while (!m_dropped && p < end)
    {
        switch (m_state)
        {
        case State::Data:
            p = Data(p, end);
            break;
        case State::Command:
            Command(*p++);
            break;
        case State::Option:
            m_state = State::Data;
            Negotiate(m_command, *p++, toClient);
            break;
        case State::Sub: {
            const auto* iac = static_cast<const unsigned char*>(std::memchr(p, kIac, end - p));
            const unsigned char* const stop = iac ? iac : end;
            if (static_cast<std::size_t>(stop - p) > kMaxSubnegotiation - m_sub.size())
            {
                m_dropped = true;
                break;
            }
            m_sub.append(reinterpret_cast<const char*>(p), stop - p);
            p = stop;
            if (iac)
            {
                ++p;
                m_state = State::SubCommand;
            }
            break;
        }
        case State::SubCommand:
            if (*p == kIac)
            {
                ++p;
                if (m_sub.size() == kMaxSubnegotiation)
                {
                    m_dropped = true;
                    break;
                }
                m_sub += static_cast<char>(kIac);
                m_state = State::Sub;
            }
            else if (*p == kSe)
            {
                ++p;
                m_state = State::Data;
                Subnegotiation(toClient);
                m_sub.clear();
            }
            else
            {
                // The client forgot IAC SE: the block is lost, the command it began is not.
                m_sub.clear();
                m_state = State::Command;
            }
            break;
        }
    }
    return !m_dropped;
}

const unsigned char* Rfc2217Session::Data(const unsigned char* p, const unsigned char* end)
{
    const auto* iac = static_cast<const unsigned char*>(std::memchr(p, kIac, end - p));
    const unsigned char* const stop = iac ? iac : end;
    if (ReceivesBinary())
    {
        WriteData(p, stop - p);
        p = stop;
    }
    else
    {
        // The terminal's CR NUL is a bare CR (RFC 854).
        while (p < stop)
        {
            if (m_crSeen && *p == kNul)
            {
                ++p;
                m_crSeen = false;
                continue;
            }
            const auto* cr = static_cast<const unsigned char*>(std::memchr(p, kCr, stop - p));
            const unsigned char* const runEnd = cr ? cr + 1 : stop;
            WriteData(p, runEnd - p);
            m_crSeen = cr != nullptr;
            p = runEnd;
        }
    }
    if (iac)
    {
        m_state = State::Command;
        ++p;
    }
    return p;
}

void Rfc2217Session::WriteData(const unsigned char* bytes, std::size_t count)
{
    if (count == 0)
        return;
    if (m_writer)
        m_port.Write(bytes, count);
    else
        m_port.Dropped(bytes, count);
}

void Rfc2217Session::Command(std::uint8_t command)
{
    m_state = State::Data;
    switch (command)
    {
    case kIac:
        m_crSeen = false;
        WriteData(&kIac, 1);
        break;
    case kWill:
    case kWont:
    case kDo:
    case kDont:
        m_command = command;
        m_state = State::Option;
        break;
    case kSb:
        m_sub.clear();
        m_state = State::Sub;
        break;
    default:
        // NOP, AYT, GA, an SE without SB and the like mean nothing to a serial line.
        break;
    }
}

void Rfc2217Session::Negotiate(std::uint8_t command, std::uint8_t code, std::string& toClient)
{
    const bool theirs = command == kWill || command == kWont;
    const bool enable = command == kWill || command == kDo;
    Option* option = nullptr;
    for (Option& candidate : m_options)
    {
        if (candidate.code == code)
            option = &candidate;
    }
    if (!option)
    {
        // Refuse requests; a disable is already in force and needs no answer.
        if (enable)
            AppendOption(toClient, theirs ? kDont : kWont, code);
        return;
    }
    // Answer only what changes the state, so acknowledgements are never answered (RFC 854).
    Side& side = theirs ? option->theirs : option->ours;
    if (enable && side == Side::Off)
        AppendOption(toClient, theirs ? kDo : kWill, code);
    else if (!enable && side == Side::On)
        AppendOption(toClient, theirs ? kDont : kWont, code);
    side = enable ? Side::On : Side::Off;

    if (code == kComPortOption && !m_agreedOnce && ComPortAgreed())
    {
        // Clients learn the modem lines without asking.
        m_agreedOnce = true;
        m_modemLines = m_port.ModemLines() & kModemLines;
        AnswerByte(kNotifyModemState, m_modemLines & m_modemMask, toClient);
    }
}

void Rfc2217Session::Subnegotiation(std::string& toClient)
{
    if (m_sub.size() < 2 || static_cast<std::uint8_t>(m_sub[0]) != kComPortOption)
        return;
    const std::uint8_t code = static_cast<std::uint8_t>(m_sub[1]);
    const auto* value = reinterpret_cast<const unsigned char*>(m_sub.data()) + 2;
    const std::size_t size = m_sub.size() - 2;
    if (code == kSignature)
    {
        // The client's own signature needs no answer; an empty one asks for ours.
        if (size == 0)
            Answer(code, m_signature, toClient);
        return;
    }
    if (code == kFlowControlSuspend || code == kFlowControlResume)
    {
        m_suspended = code == kFlowControlSuspend;
        return;
    }
    if (code == kNotifyLineState)
    {
        AnswerByte(code, m_lineState & m_lineMask, toClient);
        return;
    }
    if (code == kNotifyModemState)
    {
        m_modemLines = m_port.ModemLines() & kModemLines;
        AnswerByte(code, m_modemLines & m_modemMask, toClient);
        return;
    }
    if (size == 0)
        return;
    const std::uint8_t byte = value[0];
    switch (code)
    {
    case kSetBaudRate: {
        if (size < 4)
            return;
        const std::uint32_t baud = static_cast<std::uint32_t>(value[0]) << 24 |
                                   static_cast<std::uint32_t>(value[1]) << 16 |
                                   static_cast<std::uint32_t>(value[2]) << 8 | value[3];
        const std::uint32_t inForce = QueryOrChange(Rfc2217Port::BaudRate, baud, true);
        const char answer[] = {static_cast<char>(inForce >> 24), static_cast<char>(inForce >> 16),
                               static_cast<char>(inForce >> 8), static_cast<char>(inForce)};
        Answer(code, std::string(answer, sizeof answer), toClient);
        break;
    }
    case kSetDataSize:
        AnswerByte(code, QueryOrChange(Rfc2217Port::DataSize, byte, byte >= 5 && byte <= 8), toClient);
        break;
    case kSetParity:
        AnswerByte(code, QueryOrChange(Rfc2217Port::Parity, byte, byte <= Rfc2217Port::kParitySpace), toClient);
        break;
    case kSetStopSize:
        AnswerByte(code, QueryOrChange(Rfc2217Port::StopSize, byte, byte <= Rfc2217Port::kStopOneAndHalf), toClient);
        break;
    case kSetControl:
        SetControl(byte, toClient);
        break;
    case kSetLineStateMask:
        m_lineMask = byte;
        AnswerByte(code, byte, toClient);
        break;
    case kSetModemStateMask:
        m_modemMask = byte;
        AnswerByte(code, byte, toClient);
        break;
    case kPurgeData:
        if (byte < 1 || byte > 3)
            return;
        if (m_writer)
            m_port.Purge((byte & 1) != 0, (byte & 2) != 0);
        AnswerByte(code, byte, toClient);
        break;
    default:
        break;
    }
}

void Rfc2217Session::SetControl(std::uint8_t value, std::string& toClient)
{
    if (value == kQueryOutboundFlow)
        return AnswerByte(kSetControl, m_port.Get(Rfc2217Port::OutboundFlow), toClient);
    if (IsOutboundFlow(value))
        return AnswerByte(kSetControl, Change(Rfc2217Port::OutboundFlow, value, true), toClient);
    if (value == kQueryInboundFlow)
        return AnswerByte(kSetControl, m_port.Get(Rfc2217Port::InboundFlow), toClient);
    if (IsInboundFlow(value))
        return AnswerByte(kSetControl, Change(Rfc2217Port::InboundFlow, value, true), toClient);
    for (const Switch& control : kSwitches)
    {
        if (value != control.query && value != control.on && value != control.off)
            continue;
        const std::uint32_t inForce =
            value == control.query ? m_port.Get(control.setting) : Change(control.setting, value == control.on, true);
        return AnswerByte(kSetControl, inForce != 0 ? control.on : control.off, toClient);
    }
}

std::uint32_t Rfc2217Session::QueryOrChange(Rfc2217Port::Setting setting, std::uint32_t value, bool valid)
{
    return value == 0 ? m_port.Get(setting) : Change(setting, value, valid);
}

std::uint32_t Rfc2217Session::Change(Rfc2217Port::Setting setting, std::uint32_t value, bool valid)
{
    if (valid && m_writer)
        return m_port.Set(setting, value);
    const std::uint32_t inForce = m_port.Get(setting);
    if (valid && inForce != value && m_note == Note::None)
        m_note = Note::Pending;
    return inForce;
}

void Rfc2217Session::Answer(std::uint8_t code, const std::string& value, std::string& toClient) const
{
    toClient += static_cast<char>(kIac);
    toClient += static_cast<char>(kSb);
    toClient += static_cast<char>(kComPortOption);
    toClient += static_cast<char>(code + kAnswerOffset);
    Escape(reinterpret_cast<const unsigned char*>(value.data()), value.size(), toClient);
    toClient += static_cast<char>(kIac);
    toClient += static_cast<char>(kSe);
}

void Rfc2217Session::AnswerByte(std::uint8_t code, std::uint32_t value, std::string& toClient) const
{
    Answer(code, std::string(1, static_cast<char>(value)), toClient);
}

void Rfc2217Session::FromDevice(const unsigned char* bytes, std::size_t count, std::string& toClient) const
{
    if (SendsBinary())
        return Escape(bytes, count, toClient);
    // A terminal takes CR as the start of CR LF or CR NUL (RFC 854); at the end
    // of a chunk the next byte is unknown, and CR NUL LF still reads right.
    for (std::size_t i = 0; i < count; ++i)
    {
        toClient += static_cast<char>(bytes[i]);
        if (bytes[i] == kIac)
            toClient += static_cast<char>(kIac);
        else if (bytes[i] == kCr && (i + 1 == count || bytes[i + 1] != kLf))
            toClient += static_cast<char>(kNul);
    }
}

void Rfc2217Session::Escape(const unsigned char* bytes, std::size_t count, std::string& out)
{
    const unsigned char* p = bytes;
    const unsigned char* const end = bytes + count;
    while (p < end)
    {
        const auto* iac = static_cast<const unsigned char*>(std::memchr(p, kIac, end - p));
        if (!iac)
        {
            out.append(reinterpret_cast<const char*>(p), end - p);
            return;
        }
        out.append(reinterpret_cast<const char*>(p), iac + 1 - p);
        out += static_cast<char>(kIac);
        p = iac + 1;
    }
}

bool Rfc2217Session::SendsBinary() const
{
    return m_options[kBinaryAt].ours == Side::On;
}

bool Rfc2217Session::IsBinarySettled() const
{
    return m_options[kBinaryAt].ours != Side::Asked && m_options[kBinaryAt].theirs != Side::Asked;
}

bool Rfc2217Session::ReceivesBinary() const
{
    return m_options[kBinaryAt].theirs == Side::On;
}

bool Rfc2217Session::ComPortAgreed() const
{
    return m_options[kComPortOptionAt].ours == Side::On || m_options[kComPortOptionAt].theirs == Side::On;
}

void Rfc2217Session::UpdateModemLines(std::uint8_t lines, std::string& toClient)
{
    lines &= kModemLines;
    const std::uint8_t changed = lines ^ m_modemLines;
    std::uint8_t deltas = changed >> 4;
    // RI's delta marks the end of a ring, not its start.
    if ((lines & Rfc2217Port::kRi) != 0)
        deltas &= ~kRiTrailingEdge;
    m_modemLines = lines;
    if (ComPortAgreed() && ((changed | deltas) & m_modemMask) != 0)
        AnswerByte(kNotifyModemState, (lines | deltas) & m_modemMask, toClient);
}

void Rfc2217Session::UpdateLineState(std::uint8_t state, std::string& toClient)
{
    const std::uint8_t report = (((state ^ m_lineState) & ~kLineEvents) | (state & kLineEvents)) & m_lineMask;
    m_lineState = state & ~kLineEvents;
    if (ComPortAgreed() && report != 0)
        AnswerByte(kNotifyLineState, state & m_lineMask, toClient);
}

bool Rfc2217Session::TakeRefusedChangeNote()
{
    if (m_note != Note::Pending)
        return false;
    m_note = Note::Taken;
    return true;
}
