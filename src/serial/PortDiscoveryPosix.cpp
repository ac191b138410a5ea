#include "PortDiscovery.h"
#include "SFile.h"
#include "SerialPortHandler.h"

#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>

namespace
{
const char kTtyClassDir[] = "/sys/class/tty";
// The serial core's "type" attribute: 0 is PORT_UNKNOWN, no UART found.
const char kUnknownPortType[] = "0";
// How far above a tty's device its USB device, or the driver of its UART,
// may sit: the usb-serial port, then the interface, then the device.
constexpr int kUsbLevels = 3;

bool Exists(const std::string& path)
{
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

// The first word of a sysfs attribute, or the whole line for text ones.
std::string Attribute(const std::string& dir, const char* name)
{
    std::ifstream file(dir + "/" + name);
    std::string value;
    std::getline(file, value);
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back())))
        value.pop_back();
    return value;
}

bool IsPlaceholder(const std::string& entryDir)
{
    return Attribute(entryDir, "type") == kUnknownPortType;
}

std::vector<std::string> Entries(const std::string& dirPath)
{
    std::vector<std::string> names;
    DIR* dir = ::opendir(dirPath.c_str());
    if (!dir)
        return names;
    while (const dirent* entry = ::readdir(dir))
    {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

std::string LastPart(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Parent(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string Resolved(const std::string& path)
{
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

void Join(std::string& text, const std::string& part, const char* separator = ", ")
{
    if (part.empty())
        return;
    if (!text.empty())
        text += separator;
    text += part;
}

// Manufacturer, product, serial number, ids and interface of the USB device
// above a tty's device; false when there is none.
bool DescribeUsb(const std::string& device, std::string& description)
{
    std::string interface;
    std::string dir = device;
    for (int level = 0; level <= kUsbLevels && dir.size() > 1; ++level, dir = Parent(dir))
    {
        if (Exists(dir + "/bInterfaceNumber"))
            interface = Attribute(dir, "bInterfaceNumber");
        if (!Exists(dir + "/idVendor"))
            continue;
        std::string name;
        Join(name, Attribute(dir, "manufacturer"), " ");
        Join(name, Attribute(dir, "product"), " ");
        Join(description, name);
        const std::string serial = Attribute(dir, "serial");
        if (!serial.empty())
            Join(description, "serial " + serial);
        Join(description, Attribute(dir, "idVendor") + ":" + Attribute(dir, "idProduct"));
        if (!interface.empty())
            Join(description, "interface " + std::to_string(std::strtol(interface.c_str(), nullptr, 16)));
        return true;
    }
    return false;
}

// The driver of the UART behind a tty's device. Newer kernels put the serial
// core's own port and controller devices (bus serial-base) in between.
std::string UartDriver(const std::string& device)
{
    std::string dir = device;
    for (int level = 0; level <= kUsbLevels && dir.size() > 1; ++level, dir = Parent(dir))
    {
        const std::string driver = Resolved(dir + "/driver");
        if (!driver.empty() && driver.find("/bus/serial-base/") == std::string::npos)
            return LastPart(driver);
    }
    return std::string();
}

// The links below linksDir/by-id and linksDir/by-path that lead to the tty.
std::vector<std::string> StableNames(const std::string& linksDir, const std::string& tty)
{
    std::vector<std::string> names;
    for (const char* kind : {"by-id", "by-path"})
    {
        const std::string dir = linksDir + "/" + kind;
        std::vector<std::string> found;
        for (const std::string& entry : Entries(dir))
        {
            char target[PATH_MAX];
            const ssize_t length = ::readlink((dir + "/" + entry).c_str(), target, sizeof target - 1);
            if (length > 0 && LastPart(std::string(target, static_cast<std::size_t>(length))) == tty)
                found.push_back(dir + "/" + entry);
        }
        std::sort(found.begin(), found.end());
        names.insert(names.end(), found.begin(), found.end());
    }
    return names;
}

// Compares names as a person counts: the digits in them as numbers.
bool NaturalLess(const std::string& a, const std::string& b)
{
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size())
    {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j])))
        {
            const std::size_t startA = i, startB = j;
            while (i < a.size() && std::isdigit(static_cast<unsigned char>(a[i])))
                ++i;
            while (j < b.size() && std::isdigit(static_cast<unsigned char>(b[j])))
                ++j;
            const unsigned long long numberA = std::strtoull(a.substr(startA, i - startA).c_str(), nullptr, 10);
            const unsigned long long numberB = std::strtoull(b.substr(startB, j - startB).c_str(), nullptr, 10);
            if (numberA != numberB)
                return numberA < numberB;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j];
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}
} // namespace

std::vector<DiscoveredPort> DiscoverSerialPorts(const std::string& ttyClassDir, const std::string& linksDir)
{
    std::vector<DiscoveredPort> ports;
    for (const std::string& name : Entries(ttyClassDir))
    {
        const std::string entryDir = ttyClassDir + "/" + name;
        if (!Exists(entryDir + "/device") || IsPlaceholder(entryDir))
            continue;
        DiscoveredPort port;
        port.device = "/dev/" + name;
        port.stableNames = StableNames(linksDir, name);
        const bool byId = !port.stableNames.empty() && port.stableNames.front().find("/by-id/") != std::string::npos;
        port.name = byId ? port.stableNames.front() : port.device;
        const std::string device = Resolved(entryDir + "/device");
        port.usb = DescribeUsb(device, port.description);
        if (!port.usb)
        {
            const std::string driver = UartDriver(device);
            port.description = driver.empty() ? std::string("serial port") : "serial port, driver " + driver;
        }
        ports.push_back(port);
    }
    std::sort(ports.begin(), ports.end(), [](const DiscoveredPort& a, const DiscoveredPort& b) {
        if (a.usb != b.usb)
            return !a.usb;
        return NaturalLess(a.device, b.device);
    });
    return ports;
}

bool DiscoveredPort::IsNamed(const std::string& portName) const
{
    const std::string path = SFile::DevicePath(portName);
    return path == device || std::find(stableNames.begin(), stableNames.end(), path) != stableNames.end();
}

std::vector<DiscoveredPort> SerialPortHandler::GetPorts()
{
    return DiscoverSerialPorts(kTtyClassDir);
}

wxString SerialPortHandler::DefaultPortName()
{
    return "/dev/ttyS0";
}

bool SerialPortHandler::IsPortPresent(const wxString& portName)
{
    return Exists(SFile::DevicePath(portName.utf8_string()));
}

bool SerialPortHandler::StoredPortName(const wxString& typed, wxString& stored, wxString&)
{
    // Device paths are case-sensitive and may be anything udev makes.
    stored = typed;
    return true;
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
    for (const DiscoveredPort& port : GetPorts())
        list.Add(wxString::FromUTF8(port.device));
    return list;
}
