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
    if (!sfile_os::Purge(m_handle))
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
}

bool SFile::IsPseudoTerminal() const
{
    return IsOpen() && sfile_os::IsPseudoTerminal(m_handle);
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

bool SFile::WritesWithoutWaiting()
{
    return sfile_os::WritesWithoutWaiting();
}

bool SFile::Purge()
{
    return IsOpen() && sfile_os::Purge(m_handle);
}

SFile::WaitResult SFile::Wait(unsigned timeoutMicros, bool forOutput)
{
    return sfile_os::Wait(m_handle, m_waker, timeoutMicros, forOutput);
}

SFile::WaitResult SFile::WaitInterrupt(unsigned timeoutMicros)
{
    return sfile_os::Wait(kInvalidHandle, m_waker, timeoutMicros, false);
}

void SFile::Interrupt()
{
    sfile_os::Wake(m_waker);
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
    const std::string::size_type lastM = portName.rfind('M');
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
