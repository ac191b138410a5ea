#include "PortDiscovery.h"
#include "SFile.h"
#include "SerialPortHandler.h"

#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>

#include <fstream>

namespace
{
const char kTtyClassDir[] = "/sys/class/tty";
// The serial core's "type" attribute: 0 is PORT_UNKNOWN, no UART found.
const char kUnknownPortType[] = "0";

bool Exists(const std::string& path)
{
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

bool IsPlaceholder(const std::string& entryDir)
{
    std::ifstream typeFile(entryDir + "/type");
    std::string type;
    return typeFile >> type && type == kUnknownPortType;
}
} // namespace

std::vector<std::string> DiscoverSerialPorts(const std::string& ttyClassDir)
{
    std::vector<std::string> ports;
    DIR* dir = ::opendir(ttyClassDir.c_str());
    if (!dir)
        return ports;
    while (const dirent* entry = ::readdir(dir))
    {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string entryDir = ttyClassDir + "/" + name;
        if (Exists(entryDir + "/device") && !IsPlaceholder(entryDir))
            ports.push_back("/dev/" + name);
    }
    ::closedir(dir);
    return ports;
}

wxString SerialPortHandler::DefaultPortName()
{
    return "/dev/ttyS0";
}

bool SerialPortHandler::IsPortPresent(const wxString& portName)
{
    return Exists(SFile::DevicePath(portName.utf8_string()));
}

wxString SerialPortHandler::PortIdentity(const wxString& portName)
{
    const std::string path = SFile::DevicePath(portName.utf8_string());
    char resolved[PATH_MAX];
    return wxString::FromUTF8(::realpath(path.c_str(), resolved) ? resolved : path.c_str());
}

wxArrayString SerialPortHandler::GetPortList()
{
    wxArrayString list;
    for (const std::string& port : DiscoverSerialPorts(kTtyClassDir))
        list.Add(wxString::FromUTF8(port));
    return list;
}
