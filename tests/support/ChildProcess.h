#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// Another program run by a test, in a given directory, with its standard
// output collected into a file there, and its standard error too unless the
// test asks for another kind. The child starts with SIGPIPE's default action,
// as a program started from a shell does, whatever the test process ignores.
class ChildProcess
{
public:
    enum class ErrorOutput
    {
        File,
        Closed,
        PipeWithoutReader, // the reader went away before the child started
        UnreadPipe         // a pipe of one page that the test keeps open and never reads
    };

    ChildProcess(const std::string& program, const std::vector<std::string>& arguments, const std::string& directory,
                 ErrorOutput errorOutput = ErrorOutput::File);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool IsStarted() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }
    void Signal(int signal);
    // Waits for the end, at most timeout; true with the exit status when it
    // ended by itself, false when it had to be killed.
    bool Wait(std::chrono::milliseconds timeout, int& exitStatus);
    std::string StandardOutput() const;
    std::string StandardError() const;

private:
    pid_t m_pid = -1;
    std::string m_directory;
    int m_unreadPipe = -1; // the read end of an UnreadPipe
};

// Runs a program in directory to its end, at most timeout: whether it ended
// by itself with status 0.
bool RunsToSuccess(const std::string& program, const std::vector<std::string>& arguments,
                   const std::string& directory, std::chrono::milliseconds timeout = std::chrono::seconds(10));
