// What a user types as an IP filter address, a TCP port or a character frame.
#include "bridge/InputChecks.h"
#include "bridge/IpAddress.h"

#include <wx/init.h>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const wxString text = wxString::FromUTF8(reinterpret_cast<const char*>(data), size);

    if (IsIpv4Address(text))
    {
        // Accepted addresses are what a peer's address looks like.
        unsigned long octets[4] = {};
        if (std::sscanf(text.utf8_str(), "%lu.%lu.%lu.%lu", &octets[0], &octets[1], &octets[2], &octets[3]) != 4 ||
            wxString::Format("%lu.%lu.%lu.%lu", octets[0], octets[1], octets[2], octets[3]) != text)
            __builtin_trap();
    }
    // An address has one text: the canonical one reads as itself, and an
    // IPv6 one as the system would write it from its bytes.
    wxString canonical, why, again;
    if (CanonicalIpAddress(text, canonical, why))
    {
        if (!CanonicalIpAddress(canonical, again, why) || again != canonical)
            __builtin_trap();
    }
    else if (why.empty())
        __builtin_trap();

    unsigned port = 0;
    unsigned long value = 0;
    if (ParseTcpPort(text, port) && (port == 0 || port > 65535 || !text.ToULong(&value) || value != port))
        __builtin_trap();
    int dataBits = 0, stopBits = 0;
    char parity = 0;
    if (ParseFrame(text, dataBits, parity, stopBits) &&
        wxString::Format("%d%c%d", dataBits, parity, stopBits) != text.Upper())
        __builtin_trap();
    return 0;
}
