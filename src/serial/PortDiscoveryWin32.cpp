#include "PortDiscovery.h"
#include "SerialPortHandler.h"

#include <wx/msw/registry.h>

namespace
{
const wxChar kSerialCommKey[] = wxT("HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM");
}

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
