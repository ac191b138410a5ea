// Port names and mode strings from anywhere: the store, a typed path, a file.
#include "serial/SFile.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);

    const unsigned number = SFile::PortNumber(text);
    const std::wstring windowsName = SFile::WindowsPortName(number);
    if (windowsName.size() < 4)
        __builtin_trap();
    const std::string path = SFile::DevicePath(text);
    if (!text.empty() && path.find(text) == std::string::npos)
        __builtin_trap();

    SFile::LineSettings line;
    line.baud = 7;
    if (SFile::ParseMode(text, line))
    {
        // Whatever was accepted is within what the terminal layer can be given.
        if (line.baud <= 0 || line.dataBits < 5 || line.dataBits > 8 || line.stopBits < 1 || line.stopBits > 2 ||
            (line.parity != 'N' && line.parity != 'E' && line.parity != 'O'))
            __builtin_trap();
        SFile::LineSettings again;
        if (!SFile::ParseMode(SFile::ModeString(line.baud, line.parity, line.dataBits, line.stopBits), again) ||
            again.baud != line.baud || again.parity != line.parity || again.dataBits != line.dataBits ||
            again.stopBits != line.stopBits)
            __builtin_trap();
    }
    else if (line.baud != 7)
    {
        __builtin_trap(); // a refused mode changes nothing
    }
    return 0;
}
