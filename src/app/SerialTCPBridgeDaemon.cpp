#include "SerialTCPBridgeDaemon.h"

#include "ProcessSetup.h"
#include "Version.h"
#include "bridge/Bridge.h"
#include "store/DatabaseHelper.h"
#include "store/Logger.h"

#include <wx/filename.h>
#include <wx/socket.h>

#include <csignal>
#include <cstring>
#include <iostream>

#ifdef __WINDOWS__
#include <windows.h>
#endif

namespace
{
const char kUsage[] = "Usage: serial-tcp-bridged [--help | --version]\n";
constexpr int kStoreUnreadable = 1;
constexpr int kBadArguments = 2;

#ifdef __WINDOWS__
const char kHelp[] = "Serves the bridges stored in bridges.db in the working directory, each joining a serial\n"
                     "port to a TCP port, until Ctrl+C or the console closes. bridges.db must exist (the\n"
                     "desktop program makes it): without it, it ends with status 1. It logs to filelog.txt\n"
                     "in the working directory and to standard error.\n";

// Set once every bridge has stopped.
HANDLE g_stopped = nullptr;

// Ctrl+C or Ctrl+Break in the console, its window closed, the user logging
// off or the system shutting down. This runs on a thread of its own: the
// event loop is asked to stop, and for the last three the process ends as
// soon as this returns, so it waits for the bridges to stop first.
BOOL WINAPI OnConsoleControl(DWORD type)
{
    wxTheApp->CallAfter([type] { SerialTCPBridgeDaemon::OnSignal(static_cast<int>(type)); });
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)
        WaitForSingleObject(g_stopped, 4000);
    return TRUE;
}
#else
const char kHelp[] = "Serves the bridges stored in bridges.db in the working directory, each joining a serial\n"
                     "port to a TCP port, until it receives SIGINT or SIGTERM. bridges.db must exist (the\n"
                     "desktop program makes it): without it, it ends with status 1. It logs to filelog.txt\n"
                     "in the working directory and to standard error.\n";
#endif
} // namespace

wxIMPLEMENT_APP_NO_MAIN(SerialTCPBridgeDaemon);

SerialTCPBridgeDaemon::SerialTCPBridgeDaemon() : m_loaded(false) {}

SerialTCPBridgeDaemon::~SerialTCPBridgeDaemon() = default;

bool SerialTCPBridgeDaemon::OnInit()
{
    Logger::initLog();
    Logger::message("initlog");
    wxSocketBase::Initialize();

    // The store would make an empty file, and a runner started in the wrong
    // directory would then serve nothing without a word.
    const wxString store = wxFileName(DatabaseHelper::kFileName).GetAbsolutePath();
    if (!wxFileName::FileExists(store))
    {
        Logger::message("Cannot read the bridges: %s does not exist", store);
        return true; // OnRun ends with the failure status
    }
    // Not even a file that vanished since the check above is created.
    m_loaded = DatabaseHelper::loadBridges(m_bridges, false).ok; // a failure is logged where it happened
    if (!m_loaded)
        return true; // OnRun ends with the failure status
    for (std::size_t row = 0; row < m_bridges.size(); ++row)
    {
        m_bridges[row]->SetRow(static_cast<int>(row));
        m_bridges[row]->Start();
    }
    Logger::message("serial-tcp-bridged serves %d bridges", static_cast<int>(m_bridges.size()));
#ifdef __WINDOWS__
    g_stopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
#else
    SetSignalHandler(SIGINT, &SerialTCPBridgeDaemon::OnSignal);
    SetSignalHandler(SIGTERM, &SerialTCPBridgeDaemon::OnSignal);
#endif
    return true;
}

int SerialTCPBridgeDaemon::OnRun()
{
    if (!m_loaded)
        return kStoreUnreadable;
    const int status = wxAppConsole::OnRun();
    StopAll();
#ifdef __WINDOWS__
    SetEvent(g_stopped);
#endif
    return status;
}

int SerialTCPBridgeDaemon::OnExit()
{
#ifdef __WINDOWS__
    SetConsoleCtrlHandler(OnConsoleControl, FALSE); // no more calls into the application going away
#endif
    StopAll();
    return wxAppConsole::OnExit();
}

// Called from the event loop, not from the signal itself; on Windows the
// number is that of the console event.
void SerialTCPBridgeDaemon::OnSignal(int signal)
{
    Logger::message("serial-tcp-bridged stops on signal %d", signal);
    wxTheApp->ExitMainLoop();
}

void SerialTCPBridgeDaemon::StopAll()
{
    for (auto& bridge : m_bridges)
        bridge->Stop();
    m_bridges.clear();
}

int main(int argc, char** argv)
{
    PrepareProcess();
    if (argc > 1)
    {
        if (argc == 2 && std::strcmp(argv[1], "--help") == 0)
        {
            std::cout << kUsage << kHelp;
            return 0;
        }
        if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        {
            std::cout << "serial-tcp-bridged " << SERIAL_TCP_BRIDGE_VERSION << "\n";
            return 0;
        }
        std::cerr << kUsage;
        return kBadArguments;
    }
    return wxEntry(argc, argv);
}
