#pragma once

#include "ChildProcess.h"

#include <filesystem>
#include <string>
#include <vector>

// A Wine configuration of a test's own, in which Windows programs run with
// COM ports that are pseudo-terminals. The Windows system files come from a
// template that the first test of a build makes (that takes seconds and most
// of a gigabyte); each prefix has its own registry, devices and Wine server.
class WinePrefix
{
public:
    WinePrefix();
    // Ends every Windows program of the prefix and removes it.
    ~WinePrefix();
    WinePrefix(const WinePrefix&) = delete;
    WinePrefix& operator=(const WinePrefix&) = delete;

    bool IsOk() const { return m_ok; }
    const std::filesystem::path& Path() const { return m_path; }

    // Makes COMn the device at devicePath, listed among the machine's serial
    // ports as Windows lists them. Only before the first program starts.
    void MapComPort(unsigned number, const std::string& devicePath);
    // Points COMn at another device, as an adapter plugged in again would
    // be, once programs run.
    void RemapComPort(unsigned number, const std::string& devicePath);

    // Starts a Windows program in directory, with environment entries
    // ("NAME=value") of its own.
    ChildProcess Start(const std::string& program, const std::vector<std::string>& arguments,
                       const std::string& directory, const std::vector<std::string>& environment = {}) const;

private:
    std::filesystem::path m_path;
    bool m_ok = false;
};
