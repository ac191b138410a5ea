#pragma once

// Internal to the POSIX serial backend, and visible to its tests.

#include <string>

struct termios;

namespace sfile_os
{
// Turns the terminal settings read from a port into those of a mode string:
// raw bytes both ways, its speed, data bits, parity and stop bits, the
// receiver on, modem status lines ignored, no hardware or software flow
// control. False, with the reason in error, when the mode is malformed or
// names a speed the terminal driver does not know.
bool ApplyMode(const std::string& mode, termios& settings, std::string& error);
// Bytes waiting to be read from fd; 0 when the driver cannot tell.
unsigned QueuedBytes(int fd);
} // namespace sfile_os
