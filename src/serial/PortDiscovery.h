#pragma once

#include <string>
#include <vector>

// The serial devices that a Linux tty class directory (normally
// /sys/class/tty) lists, as /dev paths, in directory order: every entry with
// a device behind it, except serial-core ports whose type is 0 (the 8250
// driver's placeholders with no UART behind them).
std::vector<std::string> DiscoverSerialPorts(const std::string& ttyClassDir);
