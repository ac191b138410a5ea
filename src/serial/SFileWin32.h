#pragma once

// Internal to the Windows serial backend, and visible to its tests.

#include <windows.h>

#include <string>

namespace sfile_os
{
// Turns the settings read from a port into those of a mode string: its speed,
// data bits, parity and stop bits, binary bytes both ways, no hardware or
// software flow control, DTR and RTS held off. False, with the reason in
// error, when the system refuses the mode.
bool ApplyMode(const std::string& mode, DCB& control, std::string& error);
} // namespace sfile_os
