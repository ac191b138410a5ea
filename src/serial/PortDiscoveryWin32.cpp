#include "PortDiscovery.h"
#include "SerialPortHandler.h"

#include <wx/msw/registry.h>

namespace
{
const wxChar kSerialCommKey[] = wxT("HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM");
const char kDeviceNamespace[] = "\\\\.\\";
// Windows numbers COM ports from 1 to 256.
constexpr unsigned long kLastComNumber = 256;
// A refusal quotes at most this much of what was typed.
constexpr std::size_t kLongestQuoted = 40;

// n of "COMn" in any case, without sign or blanks; 0 when it is no such name.
unsigned long ComNumber(const wxString& name)
{
    wxString digits;
    if (!name.Upper().StartsWith("COM", &digits) || digits.empty() || digits.length() > 4)
        return 0;
    for (const wxUniChar c : digits)
    {
        if (c < '0' || c > '9')
            return 0;
    }
    unsigned long number = 0;
    digits.ToULong(&number);
    return number <= kLastComNumber ? number : 0;
}
} // namespace

wxString SerialPortHandler::DefaultPortName()
{
    return "COM1";
}

bool SerialPortHandler::IsPortPresent(const wxString& portName)
{
    return GetPortList().Index(portName, false) != wxNOT_FOUND;
}

wxString SerialPortHandler::PortIdentity(const wxString& portName)
{
    return portName.Upper();
}

bool SerialPortHandler::StoredPortName(const wxString& typed, wxString& stored, wxString& reason)
{
    wxString name = typed;
    name.StartsWith(kDeviceNamespace, &name);
    if (const unsigned long number = ComNumber(name))
    {
        // Windows opens com3 as COM3, but this program lists, compares and
        // shows ports by name.
        stored = wxString::Format("COM%lu", number);
        return true;
    }
    for (const wxString& listed : GetPortList())
    {
        if (listed.IsSameAs(name, false))
        {
            stored = listed;
            return true;
        }
    }
    reason = (typed.length() <= kLongestQuoted ? "\"" + typed + "\""
                                               : wxString::Format("a name of %zu characters", typed.length())) +
             " is not a Windows serial port name such as COM3";
    return false;
}

wxArrayString SerialPortHandler::GetPortList()
{
    // The key's values map driver device names to port names; the port names
    // (the data, not the value names) are what the user picks from.
    wxArrayString list;
    wxRegKey key(kSerialCommKey);
    if (!key.Open(wxRegKey::Read))
        return list;
    wxString valueName;
    long index = 0;
    for (bool more = key.GetFirstValue(valueName, index); more; more = key.GetNextValue(valueName, index))
    {
        wxString port;
        if (key.QueryValue(valueName, port, false))
            list.Add(port);
    }
    return list;
}

bool DiscoveredPort::IsNamed(const std::string& portName) const
{
    return wxString::FromUTF8(portName).IsSameAs(wxString::FromUTF8(device), false);
}

std::vector<DiscoveredPort> SerialPortHandler::GetPorts()
{
    std::vector<DiscoveredPort> ports;
    for (const wxString& name : GetPortList())
    {
        DiscoveredPort port;
        port.device = port.name = name.utf8_string();
        ports.push_back(port);
    }
    return ports;
}
