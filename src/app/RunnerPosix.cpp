// The runner on POSIX: signals, and systemd's notification socket.

#include "RunnerOs.h"

#include "RunnerCommands.h"

#include <wx/app.h>

#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace runner_os
{
namespace
{
ReloadHandler g_reload;
StopHandler g_stop;

// Tells systemd how the service stands when it runs as a Type=notify unit
// (NOTIFY_SOCKET set): started once the bridges are, so that a reload asked
// for meanwhile waits instead of finding SIGHUP not yet handled.
void NotifyServiceManager(const char* state)
{
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (!path || (path[0] != '/' && path[0] != '@') || std::strlen(path) >= sizeof(sockaddr_un::sun_path))
        return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    if (path[0] == '@')
        address.sun_path[0] = '\0'; // an abstract socket
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + std::strlen(path));
    ::sendto(fd, state, std::strlen(state), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address), length);
    ::close(fd);
}

// Called from the event loop, not from the signal itself.
void OnSignal(int signal)
{
    if (signal == SIGHUP)
    {
        if (g_reload)
            g_reload();
        return;
    }
    if (g_stop)
        g_stop("signal " + std::to_string(signal));
}
} // namespace

std::vector<std::string> Arguments(int argc, char** argv)
{
    return std::vector<std::string>(argv + 1, argv + argc);
}

const char* ReloadSummary()
{
    return "";
}

const char* ServingHelp()
{
    return "Serving runs until SIGINT or SIGTERM and reads bridges.db again on SIGHUP. It needs an existing "
           "bridges.db and logs to filelog.txt in DIR and to standard error.";
}

std::string ApplyHint(const std::string&)
{
    return "A running serial-tcp-bridged applies this when reloaded: systemctl reload serial-tcp-bridged\n";
}

void PrepareServing()
{
    // A reload asked for at once after the start would otherwise end the
    // runner, and systemd counts an end by SIGHUP as clean: no restart.
    std::signal(SIGHUP, SIG_IGN);
}

bool WatchReloads(ReloadHandler reload)
{
    g_reload = std::move(reload);
    wxTheApp->SetSignalHandler(SIGHUP, &OnSignal);
    return true;
}

void WatchStops(StopHandler stop)
{
    g_stop = std::move(stop);
    wxTheApp->SetSignalHandler(SIGINT, &OnSignal);
    wxTheApp->SetSignalHandler(SIGTERM, &OnSignal);
    NotifyServiceManager("READY=1");
}

void Stopped() {}

void Unwatch()
{
    g_reload = nullptr;
    g_stop = nullptr;
}

int AskRunnerToReload(std::ostream&, std::ostream& err)
{
    err << "serial-tcp-bridged: reload is for Windows; here a running serial-tcp-bridged reads bridges.db again "
           "on SIGHUP: systemctl reload serial-tcp-bridged\n";
    return kExitUsage;
}
} // namespace runner_os
