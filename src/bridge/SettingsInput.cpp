#include "SettingsInput.h"

#include "BridgeSettings.h"
#include "InputChecks.h"
#include "IpAddress.h"

#include "serial/SerialPortHandler.h"

#include <wx/arrstr.h>

namespace settings_input
{
namespace
{
const char kEveryIpv4Address[] = "0.0.0.0";
const char kEveryIpv6Address[] = "::";

wxString Quoted(const wxString& text)
{
    return "\"" + text + "\"";
}
} // namespace

wxString SetSerialPort(BridgeSettings& settings, const wxString& typed)
{
    const wxString port = wxString(typed).Strip(wxString::both);
    if (port.empty())
        return "the serial port is empty";
    wxString stored, reason;
    if (!SerialPortHandler::StoredPortName(port, stored, reason))
        return reason;
    settings.SetComPort(stored);
    return wxString();
}

wxString SetBaudRate(BridgeSettings& settings, const wxString& typed)
{
    const wxArrayString offered = SerialPortHandler::GetBaudList();
    long baud = 0;
    if (offered.Index(typed) == wxNOT_FOUND || !typed.ToLong(&baud))
        return Quoted(typed) + " is not a baud rate offered: " + wxJoin(offered, ' ', '\0');
    settings.SetComBaud(static_cast<int>(baud));
    return wxString();
}

wxString SetTcpPort(BridgeSettings& settings, const wxString& typed)
{
    unsigned port = 0;
    if (!ParseTcpPort(typed, port))
        return "the TCP port must be a number from 1 to 65535, not " + Quoted(typed);
    settings.SetTcpPort(static_cast<wxUint16>(port));
    return wxString();
}

wxString SetListenAddress(BridgeSettings& settings, const wxString& typed)
{
    if (typed.empty() || typed == kEveryIpv4Address || typed == kEveryIpv6Address)
    {
        settings.SetListenAddress(wxString());
        return wxString();
    }
    wxString address, why;
    if (!CanonicalIpAddress(typed, address, why))
        return Quoted(typed) + " " + why;
    if (IsBroadcastOrMulticast(address))
        return Quoted(typed) + " is a broadcast or multicast address, which no client can connect to";
    settings.SetListenAddress(address);
    return wxString();
}

wxString SetFrame(BridgeSettings& settings, const wxString& typed)
{
    int dataBits = 0, stopBits = 0;
    char parity = 0;
    if (!ParseFrame(typed, dataBits, parity, stopBits))
        return Quoted(typed) +
               " is not a character frame such as 8N1 (7 or 8 data bits, parity N, E or O, 1 or 2 stop bits)";
    settings.SetDataBits(dataBits);
    settings.SetParity(parity);
    settings.SetStopBits(stopBits);
    return wxString();
}

wxString SetProtocol(BridgeSettings& settings, const wxString& typed)
{
    if (typed != BridgeSettings::kRawProtocol && typed != BridgeSettings::kRfc2217Protocol)
        return "the protocol is raw or rfc2217, not " + Quoted(typed);
    settings.SetProtocol(typed);
    return wxString();
}

wxString SetTraceFile(BridgeSettings& settings, const wxString& typed)
{
    settings.SetTraceFile(wxString(typed).Strip(wxString::both));
    return wxString();
}

wxString CheckAllowedAddress(const wxString& typed, wxString& address)
{
    wxString why;
    return CanonicalIpAddress(typed, address, why) ? wxString() : Quoted(typed) + " " + why;
}

wxString AddAllowedAddress(BridgeSettings& settings, const wxString& typed, wxString& address)
{
    const wxString refused = CheckAllowedAddress(typed, address);
    if (!refused.empty())
        return refused;
    IpFilter entry;
    entry.ip_address = address;
    entry.bridge_id = settings.GetId();
    entry.state = IPF_NEW;
    settings.AddIpFilter(entry);
    return wxString();
}
} // namespace settings_input
