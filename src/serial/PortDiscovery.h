#pragma once

#include <string>
#include <vector>

// A serial port as Linux shows it, with what lets a person recognise it.
struct DiscoveredPort
{
    std::string device;                   // "/dev/ttyUSB0"
    std::vector<std::string> stableNames; // its links in /dev/serial/by-id, then by-path
    std::string description;              // "FTDI FT232R USB UART, serial A10K, 0403:6001, interface 0"
    bool usb = false;
    // What a bridge stores for it: its by-id link where udev made one, as
    // that follows the adapter whatever order adapters are plugged in; else
    // the device.
    std::string name;

    // "/dev/ttyUSB0: FTDI FT232R USB UART, ..."; the device alone when
    // nothing more is known.
    std::string Label() const { return description.empty() ? device : device + ": " + description; }
    // Whether a stored port name means this port: its device or one of its links.
    bool IsNamed(const std::string& portName) const;
};

// The serial devices that a Linux tty class directory (normally
// /sys/class/tty) lists: every entry with a device behind it, except
// serial-core ports whose type is 0 (the 8250 driver's placeholders with no
// UART behind them). Each comes with the links udev made for it below
// linksDir (normally /dev/serial) and a description: manufacturer, product,
// serial number, vendor and product id and interface for USB, the driver
// for a built-in port. Built-in ports come first, then USB ones, each in the
// order a person counts (ttyS2 before ttyS10).
std::vector<DiscoveredPort> DiscoverSerialPorts(const std::string& ttyClassDir,
                                                const std::string& linksDir = "/dev/serial");
