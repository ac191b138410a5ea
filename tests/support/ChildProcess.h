#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// Another program run by a test, in a given directory, with its standard
// output and error collected into files there.
class ChildProcess
{
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments, const std::string& directory);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool IsStarted() const { return m_pid > 0; }
    void Signal(int signal);
    // Waits for the end, at most timeout; true with the exit status when it
    // ended by itself, false when it had to be killed.
    bool Wait(std::chrono::milliseconds timeout, int& exitStatus);
    std::string StandardOutput() const;
    std::string StandardError() const;

private:
    pid_t m_pid = -1;
    std::string m_directory;
};
