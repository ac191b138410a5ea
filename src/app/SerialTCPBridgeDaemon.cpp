#include "SerialTCPBridgeDaemon.h"

#include "ProcessSetup.h"
#include "RunnerCommands.h"
#include "RunnerOs.h"
#include "Version.h"
#include "bridge/Bridge.h"
#include "bridge/BridgeSet.h"
#include "store/DatabaseHelper.h"
#include "log/Logger.h"

#include <wx/filename.h>
#include <wx/init.h>
#include <wx/log.h>
#include <wx/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

wxIMPLEMENT_APP_NO_MAIN(SerialTCPBridgeDaemon);

SerialTCPBridgeDaemon::SerialTCPBridgeDaemon() : m_loaded(false) {}

SerialTCPBridgeDaemon::~SerialTCPBridgeDaemon() = default;

bool SerialTCPBridgeDaemon::OnInit()
{
    Logger::initLog();
    Logger::message("initlog");
    if (!wxSocketBase::Initialize())
    {
        // No bridge could listen: serving nothing would only look like serving.
        Logger::message("serial-tcp-bridged cannot serve: the system's sockets cannot be initialised");
        return true; // OnRun ends with the failure status
    }
    // Before the store is read: a reload asked for meanwhile reads it again.
    runner_os::WatchReloads([this] { return Reload(); });

    std::vector<std::unique_ptr<Bridge>> stored;
    m_loaded = ReadStoredBridges(stored);
    if (!m_loaded)
        return true;
    m_bridges.Start(std::move(stored));
    const int listening = m_bridges.Listening();
    const int silent = static_cast<int>(m_bridges.Count()) - listening;
    Logger::message("serial-tcp-bridged serves %d bridges%s", listening,
                    silent ? wxString::Format("; %d more do not listen, as said above", silent) : wxString());
    runner_os::WatchStops([](const std::string& cause) {
        Logger::message("serial-tcp-bridged stops on %s", wxString::FromUTF8(cause));
        wxTheApp->ExitMainLoop();
    });
    return true;
}

int SerialTCPBridgeDaemon::OnRun()
{
    if (!m_loaded)
        return kExitFailure;
    const int status = wxAppConsole::OnRun();
    m_bridges.StopAll();
    runner_os::Stopped();
    return status;
}

int SerialTCPBridgeDaemon::OnExit()
{
    runner_os::Unwatch(); // no more calls into the application going away
    m_bridges.StopAll();
    // The workers' last lines wait for the main loop's next idle time, which
    // never comes: into the file with them, before the toolkit's own target
    // (a message box on Windows, waiting for a user) would take them.
    wxLog::FlushActive();
    return wxAppConsole::OnExit();
}

bool SerialTCPBridgeDaemon::Reload()
{
    std::vector<std::unique_ptr<Bridge>> stored;
    if (!ReadStoredBridges(stored))
    {
        Logger::message("The running bridges stay as they are");
        return false;
    }

    const BridgeSet::Changes changes = m_bridges.Apply(std::move(stored));
    Logger::message("serial-tcp-bridged read %s again: %d bridges unchanged, %d restarted, %d started, %d stopped",
                    wxFileName(DatabaseHelper::kFileName).GetAbsolutePath(), changes.unchanged, changes.restarted,
                    changes.started, changes.stopped);
    return true;
}

bool SerialTCPBridgeDaemon::ReadStoredBridges(std::vector<std::unique_ptr<Bridge>>& bridges)
{
    // The store would make an empty file, and a runner started in the wrong
    // directory would then serve nothing without a word.
    const wxString store = wxFileName(DatabaseHelper::kFileName).GetAbsolutePath();
    if (!DatabaseHelper::storeExists())
    {
        Logger::message("Cannot read the bridges: %s does not exist", store);
        return false;
    }
    // Not even a file that vanished since the check above is created, and
    // one emptied by mistake is not taken for a store without bridges; a
    // failure is logged where it happened.
    return DatabaseHelper::loadBridges(bridges, StoreFile::MustHoldBridges).ok;
}


namespace
{
// A command's output that did not all arrive (a full disk, a reader that went
// away) is a failure, not a silent success.
int CheckedOutput(int status)
{
    errno = 0;
    std::cout.flush();
    if (std::cout && std::fflush(stdout) == 0 && !std::ferror(stdout))
        return status;
    const int error = errno;
    std::cerr << "serial-tcp-bridged: standard output cannot be written"
              << (error ? std::string(": ") + std::strerror(error) : std::string()) << "\n";
    return status == 0 ? kExitFailure : status;
}
} // namespace

int main(int argc, char** argv)
{
    PrepareProcess();
    RunnerCommand command;
    std::string error;
    if (!ParseRunnerCommand(runner_os::Arguments(argc, argv), command, error))
    {
        std::cerr << "serial-tcp-bridged: " << error << " (see serial-tcp-bridged --help)\n";
        return kExitUsage;
    }
    if (command.name == "help")
    {
        std::cout << RunnerHelpText();
        return CheckedOutput(0);
    }
    if (command.name == "version")
    {
        std::cout << "serial-tcp-bridged " << SERIAL_TCP_BRIDGE_VERSION << "\n";
        return CheckedOutput(0);
    }
    if (!command.dir.empty())
    {
        const wxString dir = wxString::FromUTF8(command.dir);
        wxLogNull quiet; // said below, once
        if (!wxDirExists(dir) || !wxSetWorkingDirectory(dir))
        {
            std::cerr << "serial-tcp-bridged: " << command.dir
                      << (wxDirExists(dir) ? " cannot be entered\n" : " is not a directory\n");
            return kExitFailure;
        }
    }
    if (command.name == "reload")
        return CheckedOutput(runner_os::AskRunnerToReload(std::cout, std::cerr));
    if (command.name != "serve")
    {
        // The bridges' timers need the toolkit set up, though nothing runs.
        wxInitializer toolkit;
        if (!toolkit.IsOk())
        {
            std::cerr << "serial-tcp-bridged: the toolkit cannot start\n";
            return kExitFailure;
        }
        return CheckedOutput(RunStoreCommand(command, std::cout, std::cerr));
    }
    runner_os::PrepareServing();
    // The toolkit is given no arguments: they have been read here.
    int toolkitArgc = 1;
    return wxEntry(toolkitArgc, argv);
}
