#include "InputChecks.h"

#include <wx/arrstr.h>

namespace
{
constexpr unsigned kMaxTcpPort = 65535;
constexpr size_t kTcpPortLength = 5;
constexpr size_t kOctetLength = 3;
constexpr unsigned long kMaxOctet = 255;
constexpr unsigned long kFirstMulticastOctet = 224;
constexpr unsigned long kLastMulticastOctet = 239;

bool IsDecimal(const wxString& text, size_t maxLength)
{
    if (text.empty() || text.length() > maxLength)
        return false;
    for (wxUniChar c : text)
    {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}
} // namespace

bool IsIpv4Address(const wxString& text)
{
    const wxArrayString parts = wxSplit(text, '.', '\0');
    if (parts.size() != 4)
        return false;
    for (const wxString& part : parts)
    {
        unsigned long value = 0;
        if (!IsDecimal(part, kOctetLength) || (part.length() > 1 && part[0] == '0') || !part.ToULong(&value) ||
            value > kMaxOctet)
            return false;
    }
    return true;
}

bool IsBroadcastOrMulticast(const wxString& address)
{
    // ff00::/8, in canonical text.
    if (address.Find(':') != wxNOT_FOUND)
        return address.length() > 2 && address.StartsWith("ff") && address[2] != ':';
    unsigned long first = 0;
    if (address == "255.255.255.255" || !address.BeforeFirst('.').ToULong(&first))
        return address == "255.255.255.255";
    return first >= kFirstMulticastOctet && first <= kLastMulticastOctet;
}

bool ParseTcpPort(const wxString& text, unsigned& port)
{
    unsigned long value = 0;
    if (!IsDecimal(text, kTcpPortLength) || !text.ToULong(&value) || value == 0 || value > kMaxTcpPort)
        return false;
    port = static_cast<unsigned>(value);
    return true;
}

bool ParseFrame(const wxString& text, int& dataBits, char& parity, int& stopBits)
{
    const wxString frame = text.Upper();
    if (frame.length() != 3 || (frame[0] != '7' && frame[0] != '8') || wxString("NEO").Find(frame[1]) == wxNOT_FOUND ||
        (frame[2] != '1' && frame[2] != '2'))
        return false;
    dataBits = frame[0] == '7' ? 7 : 8;
    parity = static_cast<char>(frame[1].GetValue());
    stopBits = frame[2] == '2' ? 2 : 1;
    return true;
}
