#include "ChildProcess.h"

#include "TempDir.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::string& directory, ErrorOutput errorOutput)
    : m_directory(directory)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const std::string out = directory + "/child-stdout.txt";
    const std::string err = directory + "/child-stderr.txt";
    int pipeEnds[2] = {-1, -1};
    if (errorOutput == ErrorOutput::PipeWithoutReader || errorOutput == ErrorOutput::UnreadPipe)
    {
        if (::pipe2(pipeEnds, O_CLOEXEC) != 0)
            return;
        if (errorOutput == ErrorOutput::UnreadPipe)
            ::fcntl(pipeEnds[1], F_SETPIPE_SZ, ::getpagesize());
    }

    m_pid = ::fork();
    if (m_pid == 0)
    {
        if (::chdir(directory.c_str()) != 0)
            ::_exit(127);
        const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(outFd, STDOUT_FILENO);
        if (errorOutput == ErrorOutput::File)
            ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
        else if (errorOutput == ErrorOutput::Closed)
            ::close(STDERR_FILENO);
        else
            ::dup2(pipeEnds[1], STDERR_FILENO); // the copy loses O_CLOEXEC, the originals close at exec
        ::signal(SIGPIPE, SIG_DFL);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    if (pipeEnds[1] >= 0)
        ::close(pipeEnds[1]);
    if (errorOutput == ErrorOutput::UnreadPipe)
        m_unreadPipe = pipeEnds[0];
    else if (pipeEnds[0] >= 0)
        ::close(pipeEnds[0]);
}

ChildProcess::~ChildProcess()
{
    int ignored = 0;
    if (m_pid > 0)
        Wait(std::chrono::milliseconds(0), ignored);
    if (m_unreadPipe >= 0)
        ::close(m_unreadPipe);
}

void ChildProcess::Signal(int signal)
{
    if (m_pid > 0)
        ::kill(m_pid, signal);
}

bool ChildProcess::Wait(std::chrono::milliseconds timeout, int& exitStatus)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    for (;;)
    {
        const pid_t ended = ::waitpid(m_pid, &status, WNOHANG);
        if (ended == m_pid)
            break;
        if (std::chrono::steady_clock::now() >= deadline)
        {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &status, 0);
            m_pid = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    m_pid = -1;
    exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

std::string ChildProcess::StandardOutput() const
{
    return FileBytes(m_directory + "/child-stdout.txt");
}

std::string ChildProcess::StandardError() const
{
    return FileBytes(m_directory + "/child-stderr.txt");
}

bool RunsToSuccess(const std::string& program, const std::vector<std::string>& arguments,
                   const std::string& directory, std::chrono::milliseconds timeout)
{
    ChildProcess child(program, arguments, directory);
    int status = -1;
    return child.Wait(timeout, status) && status == 0;
}
