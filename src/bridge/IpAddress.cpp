#include "IpAddress.h"

#include "InputChecks.h"

#include <wx/arrstr.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace
{
// The longest text of an IPv6 address, an IPv4 one written as IPv6 included.
constexpr std::size_t kLongestAddress = 45;
// The longest interface name a zone can give.
constexpr std::size_t kLongestZone = 15;
constexpr int kGroups = 8;

using Groups = std::array<std::uint16_t, kGroups>;

bool HexDigit(wxUniChar c, unsigned& value)
{
    if (c >= '0' && c <= '9')
        value = static_cast<unsigned>(c.GetValue() - '0');
    else if (c >= 'a' && c <= 'f')
        value = static_cast<unsigned>(c.GetValue() - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
        value = static_cast<unsigned>(c.GetValue() - 'A' + 10);
    else
        return false;
    return true;
}

// One to four hex digits.
bool ParseGroup(const wxString& text, std::uint16_t& group)
{
    if (text.empty() || text.length() > 4)
        return false;
    unsigned value = 0;
    for (const wxUniChar c : text)
    {
        unsigned digit = 0;
        if (!HexDigit(c, digit))
            return false;
        value = value * 16 + digit;
    }
    group = static_cast<std::uint16_t>(value);
    return true;
}

// The groups of one side of "::", the last of which may be dotted IPv4
// when it ends the address.
bool ParseGroups(const wxString& text, bool endsAddress, std::vector<std::uint16_t>& groups)
{
    if (text.empty())
        return true;
    const wxArrayString parts = wxSplit(text, ':', '\0');
    for (std::size_t i = 0; i < parts.size(); ++i)
    {
        const bool last = i + 1 == parts.size();
        if (last && endsAddress && parts[i].Find('.') != wxNOT_FOUND)
        {
            if (!IsIpv4Address(parts[i]))
                return false;
            const wxArrayString octets = wxSplit(parts[i], '.', '\0');
            unsigned long value[4] = {};
            for (int octet = 0; octet < 4; ++octet)
                octets[static_cast<std::size_t>(octet)].ToULong(&value[octet]);
            groups.push_back(static_cast<std::uint16_t>(value[0] << 8 | value[1]));
            groups.push_back(static_cast<std::uint16_t>(value[2] << 8 | value[3]));
            continue;
        }
        std::uint16_t group = 0;
        if (!ParseGroup(parts[i], group))
            return false;
        groups.push_back(group);
    }
    return true;
}

bool ParseIpv6(const wxString& text, Groups& address)
{
    const int gap = text.Find("::");
    std::vector<std::uint16_t> head, tail;
    if (gap == wxNOT_FOUND)
    {
        if (!ParseGroups(text, true, head) || head.size() != kGroups)
            return false;
    }
    else
    {
        const wxString before = text.Left(static_cast<std::size_t>(gap));
        const wxString after = text.Mid(static_cast<std::size_t>(gap) + 2);
        if (after.Find("::") != wxNOT_FOUND || !ParseGroups(before, false, head) ||
            !ParseGroups(after, true, tail) || head.size() + tail.size() >= kGroups)
            return false;
    }
    address.fill(0);
    std::copy(head.begin(), head.end(), address.begin());
    std::copy(tail.begin(), tail.end(), address.end() - static_cast<std::ptrdiff_t>(tail.size()));
    return true;
}

bool IsMappedIpv4(const Groups& address)
{
    for (int i = 0; i < 5; ++i)
    {
        if (address[static_cast<std::size_t>(i)] != 0)
            return false;
    }
    return address[5] == 0xFFFF;
}

// RFC 5952: lower-case hex without leading zeros, the first longest run of
// two or more zero groups written "::".
wxString FormatIpv6(const Groups& address)
{
    int bestStart = -1, bestLength = 1;
    for (int start = 0; start < kGroups;)
    {
        int length = 0;
        while (start + length < kGroups && address[static_cast<std::size_t>(start + length)] == 0)
            ++length;
        if (length > bestLength)
        {
            bestStart = start;
            bestLength = length;
        }
        start += length > 0 ? length : 1;
    }
    wxString text;
    for (int i = 0; i < kGroups; ++i)
    {
        if (i == bestStart)
        {
            text += "::";
            i += bestLength - 1;
            continue;
        }
        if (!text.empty() && !text.EndsWith(":"))
            text += ":";
        text += wxString::Format("%x", static_cast<unsigned>(address[static_cast<std::size_t>(i)]));
    }
    return text;
}

bool IsZoneName(const wxString& zone)
{
    if (zone.empty() || zone.length() > kLongestZone)
        return false;
    for (const wxUniChar c : zone)
    {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
              c == '-'))
            return false;
    }
    return true;
}
} // namespace

bool CanonicalIpAddress(const wxString& text, wxString& canonical, wxString& why)
{
    if (IsIpv4Address(text))
    {
        canonical = text;
        return true;
    }
    if (text.StartsWith("["))
    {
        why = "is written with brackets, which only go around an address followed by a port";
        return false;
    }
    const int percent = text.Find('%');
    const wxString address = percent == wxNOT_FOUND ? text : text.Left(static_cast<std::size_t>(percent));
    const wxString zone = percent == wxNOT_FOUND ? wxString() : text.Mid(static_cast<std::size_t>(percent) + 1);
    Groups groups{};
    if (address.length() > kLongestAddress || address.Find(':') == wxNOT_FOUND || !ParseIpv6(address, groups))
    {
        why = "is not an IP address such as 192.168.0.10 or 2001:db8::5";
        return false;
    }
    if (percent != wxNOT_FOUND)
    {
        // fe80::/10: only there does an address need an interface to mean something.
        if ((groups[0] & 0xFFC0) != 0xFE80)
        {
            why = "has a zone, which only a link-local address (fe80::...) takes";
            return false;
        }
        if (!IsZoneName(zone))
        {
            why = "has a zone that is no interface name";
            return false;
        }
    }
    if (IsMappedIpv4(groups))
    {
        canonical = wxString::Format("%u.%u.%u.%u", groups[6] >> 8, groups[6] & 0xFF, groups[7] >> 8, groups[7] & 0xFF);
        return true;
    }
    canonical = FormatIpv6(groups) + (zone.empty() ? wxString() : "%" + zone);
    return true;
}

wxString IpAddressText(const unsigned char* bytes, std::size_t size)
{
    constexpr std::size_t kIpv4Bytes = 4, kIpv6Bytes = 16;
    if (size == kIpv4Bytes)
        return wxString::Format("%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    if (size != kIpv6Bytes)
        return wxString();
    Groups groups{};
    for (int i = 0; i < kGroups; ++i)
        groups[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
    if (IsMappedIpv4(groups))
        return IpAddressText(bytes + kIpv6Bytes - kIpv4Bytes, kIpv4Bytes);
    return FormatIpv6(groups);
}

bool IsIpv6Text(const wxString& canonical)
{
    return canonical.Find(':') != wxNOT_FOUND;
}

wxString AddressAndPort(const wxString& canonical, unsigned port)
{
    return IsIpv6Text(canonical) ? wxString::Format("[%s]:%u", canonical, port)
                                 : wxString::Format("%s:%u", canonical, port);
}
