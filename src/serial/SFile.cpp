#include "SFile.h"

#include "SFileOs.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <sstream>

namespace
{
constexpr unsigned kFirstDeviceNamespacePort = 10;

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Decimal digits only, no sign, no blanks, no overflow past limit.
bool ParseUnsigned(const std::string& text, unsigned long long limit, unsigned long long& value)
{
    if (text.empty())
        return false;
    value = 0;
    for (char c : text)
    {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
        value = value * 10 + static_cast<unsigned long long>(c - '0');
        if (value > limit)
            return false;
    }
    return true;
}

const char kClosed[] = "the port is not open";

SFile::Signal SignalOf(bool on)
{
    return on ? SFile::Signal::On : SFile::Signal::Off;
}

// DTR and RTS are read back where the device tells them; otherwise the one
// just set is taken as it was set.
void NoteOutputLines(SFile::Handle handle, SFile::ControlLines& lines)
{
    bool dtr = false;
    bool rts = false;
    if (!sfile_os::GetOutputLines(handle, dtr, rts))
        return;
    lines.dtr = SignalOf(dtr);
    lines.rts = SignalOf(rts);
}
} // namespace

SFile::SFile()
    : m_handle(kInvalidHandle),
      m_port(0),
      m_readTimeout(kInfinite),
      m_readRetries(0),
      m_baud(0),
      m_dataBits(kDefaultDataBits),
      m_parity(kDefaultParity),
      m_stopBits(kDefaultStopBits),
      m_waker(sfile_os::CreateWaker())
{
}

SFile::~SFile()
{
    Close();
    sfile_os::DestroyWaker(m_waker);
}

void SFile::SetDataBits(std::uint8_t bits)
{
    m_dataBits = (bits == 7 || bits == 8) ? bits : kDefaultDataBits;
}

void SFile::SetParity(char parity)
{
    m_parity = (parity == 'N' || parity == 'E' || parity == 'O') ? parity : kDefaultParity;
}

void SFile::SetStopBits(std::uint8_t bits)
{
    if (bits == 1 || bits == 2)
        m_stopBits = bits;
}

bool SFile::Open(const std::string& portName, int baud)
{
    Close();
    m_lastError.clear();
    const Handle handle = sfile_os::Open(portName, m_lastError);
    if (handle == kInvalidHandle)
        return false;
    m_handle = handle;
    m_port = PortNumber(portName);

    const std::string mode = ModeString(baud, m_parity, m_dataBits, m_stopBits);
    if (!sfile_os::Configure(m_handle, mode, m_lastError))
    {
        Close();
        return false;
    }
    m_baud = baud;
    if (!sfile_os::Purge(m_handle, Queues::Both))
    {
        m_lastError = "cannot discard the port's queues";
        Close();
        return false;
    }
    if (!sfile_os::DisableTimeouts(m_handle, m_lastError))
    {
        Close();
        return false;
    }
    // A break another program left on would hold the line down.
    std::string ignored;
    m_control.brk = sfile_os::SetControl(m_handle, sfile_os::Control::Break, false, ignored) ? Signal::Off
                                                                                              : Signal::Unknown;
    NoteOutputLines(m_handle, m_control);
    ReadSettings();
    return true;
}

void SFile::Close()
{
    if (!IsOpen())
        return;
    sfile_os::Close(m_handle);
    m_handle = kInvalidHandle;
    m_port = 0;
    m_readTimeout = 0;
    m_readRetries = 0;
    m_baud = 0;
    m_line = LineSettings();
    m_flow = FlowControl();
    m_control = ControlLines();
}

bool SFile::WaitsForGaps() const
{
    return IsOpen() && sfile_os::WaitsForGaps(m_handle);
}

unsigned SFile::InQueue()
{
    return IsOpen() ? sfile_os::InQueue(m_handle) : 0;
}

bool SFile::Read(void* buffer, unsigned count, unsigned* bytesRead)
{
    if (!IsOpen())
        return false;
    return sfile_os::Read(m_handle, buffer, count, bytesRead, m_readTimeout, m_readRetries);
}

bool SFile::Write(const void* buffer, unsigned count, unsigned* bytesWritten)
{
    if (!IsOpen())
        return false;
    return sfile_os::Write(m_handle, buffer, count, bytesWritten, kWriteTimeoutMs);
}

bool SFile::ReadAvailable(void* buffer, unsigned count, unsigned* bytesRead)
{
    if (!IsOpen())
        return false;
    return sfile_os::ReadAvailable(m_handle, buffer, count, bytesRead);
}

bool SFile::WriteAvailable(const void* buffer, unsigned count, unsigned* bytesWritten)
{
    if (!IsOpen())
        return false;
    return sfile_os::WriteAvailable(m_handle, buffer, count, bytesWritten);
}

bool SFile::WritesInFlight()
{
    return sfile_os::WritesInFlight();
}

bool SFile::TakeWritten(unsigned* written)
{
    *written = 0;
    return !IsOpen() || sfile_os::TakeWritten(m_handle, written);
}

bool SFile::WaitsSeeLostPorts()
{
    return sfile_os::WaitsSeeLostPorts();
}

bool SFile::WaitsForOthers()
{
    return sfile_os::WaitsForOthers();
}

bool SFile::Purge(Queues which)
{
    return IsOpen() && sfile_os::Purge(m_handle, which);
}

SFile::WaitResult SFile::Wait(unsigned timeoutMicros, bool forOutput, std::vector<OtherWait>* others)
{
    return sfile_os::Wait(m_handle, m_waker, timeoutMicros, forOutput, others);
}

SFile::WaitResult SFile::WaitInterrupt(unsigned timeoutMicros, std::vector<OtherWait>* others)
{
    return sfile_os::Wait(kInvalidHandle, m_waker, timeoutMicros, false, others);
}

void SFile::Interrupt()
{
    sfile_os::Wake(m_waker);
}

bool SFile::SetLine(const LineSettings& wanted)
{
    if (!IsOpen())
    {
        m_lastError = kClosed;
        return false;
    }
    if (!IsLineInRange(wanted))
    {
        m_lastError = "invalid line settings";
        return false;
    }
    const bool set = sfile_os::SetLine(m_handle, wanted, m_lastError);
    if (set)
        m_line = wanted;
    ReadSettings();
    return set;
}

bool SFile::SetFlowControl(const FlowControl& wanted)
{
    if (!IsOpen())
    {
        m_lastError = kClosed;
        return false;
    }
    const bool set = sfile_os::SetFlowControl(m_handle, wanted, m_lastError);
    if (set)
        m_flow = wanted;
    ReadSettings();
    return set;
}

bool SFile::SetDtr(bool on)
{
    return ChangeControl(sfile_os::Control::Dtr, on, m_control.dtr);
}

bool SFile::SetRts(bool on)
{
    return ChangeControl(sfile_os::Control::Rts, on, m_control.rts);
}

bool SFile::SetBreak(bool on)
{
    return ChangeControl(sfile_os::Control::Break, on, m_control.brk);
}

bool SFile::GetModemLines(ModemLines& lines)
{
    if (!IsOpen())
    {
        m_lastError = kClosed;
        return false;
    }
    return sfile_os::GetModemLines(m_handle, lines, m_lastError);
}

bool SFile::ChangeControl(sfile_os::Control which, bool on, Signal& state)
{
    if (!IsOpen())
    {
        m_lastError = kClosed;
        return false;
    }
    if (!sfile_os::SetControl(m_handle, which, on, m_lastError))
        return false;
    state = SignalOf(on);
    NoteOutputLines(m_handle, m_control);
    return true;
}

void SFile::ReadSettings()
{
    std::string ignored; // what was last applied stays cached
    sfile_os::GetSettings(m_handle, m_line, m_flow, ignored);
}

bool SFile::IsLineInRange(const LineSettings& line)
{
    const std::string parities = "NOEMS";
    return line.baud > 0 && line.dataBits >= 5 && line.dataBits <= 8 && parities.find(line.parity) != std::string::npos &&
           (line.stopBits == 1 || line.stopBits == 2 || line.stopBits == kOneAndHalfStopBits);
}

std::string SFile::ModeString(int baud, char parity, unsigned dataBits, unsigned stopBits)
{
    char text[80];
    std::snprintf(text, sizeof text, "baud=%d parity=%c data=%u stop=%u  ", baud, parity, dataBits, stopBits);
    return text;
}

bool SFile::ParseMode(const std::string& mode, LineSettings& settings)
{
    LineSettings result = settings;
    std::istringstream words(mode);
    std::string word;
    bool any = false;
    while (words >> word)
    {
        const std::string::size_type equals = word.find('=');
        if (equals == std::string::npos)
            return false;
        const std::string key = Lower(word.substr(0, equals));
        const std::string value = word.substr(equals + 1);
        unsigned long long number = 0;
        if (key == "baud")
        {
            if (!ParseUnsigned(value, INT_MAX, number) || number == 0)
                return false;
            result.baud = static_cast<int>(number);
        }
        else if (key == "parity")
        {
            const std::string letter = Lower(value);
            if (letter != "n" && letter != "e" && letter != "o")
                return false;
            result.parity = static_cast<char>(std::toupper(static_cast<unsigned char>(letter[0])));
        }
        else if (key == "data")
        {
            if (!ParseUnsigned(value, 8, number) || number < 5)
                return false;
            result.dataBits = static_cast<unsigned>(number);
        }
        else if (key == "stop")
        {
            if (!ParseUnsigned(value, 2, number) || number < 1)
                return false;
            result.stopBits = static_cast<unsigned>(number);
        }
        else
        {
            return false;
        }
        any = true;
    }
    if (any)
        settings = result;
    return any;
}

unsigned SFile::PortNumber(const std::string& portName)
{
    // Windows port names are case-insensitive: com3 is COM3.
    const std::string::size_type lastM = portName.find_last_of("Mm");
    const std::string rest = lastM == std::string::npos ? portName : portName.substr(lastM + 1);
    unsigned long long number = 0;
    for (char c : rest)
    {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            break;
        number = number * 10 + static_cast<unsigned long long>(c - '0');
        if (number > UINT_MAX)
            return 0;
    }
    return static_cast<unsigned>(number);
}

std::wstring SFile::WindowsPortName(unsigned port)
{
    const std::wstring name = L"COM" + std::to_wstring(port);
    return port < kFirstDeviceNamespacePort ? name : L"\\\\.\\" + name;
}

std::string SFile::PortLabel(const std::string& portName)
{
    return sfile_os::PortLabel(portName);
}

std::string SFile::DevicePath(const std::string& portName)
{
    if (portName.empty() || portName.find('/') != std::string::npos)
        return portName;
    return "/dev/" + portName;
}
