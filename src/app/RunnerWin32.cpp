// The runner on Windows: console events, the wide command line, and named
// events through which the reload command reaches the runner of its folder.

#include "RunnerOs.h"

#include "RunnerCommands.h"
#include "log/Logger.h"

#include <wx/app.h>
#include <wx/log.h>

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <ostream>
#include <thread>

namespace runner_os
{
namespace
{
// A console that closes, a log-off or a shutdown ends the process as soon as
// the console handler returns; this long at most it waits for the bridges.
constexpr DWORD kConsoleEndWaitMs = 4000;
// A reload reads a small file; a runner that takes longer has a problem.
constexpr DWORD kReloadAnswerMs = 20000;
// A service's runner makes its events for every session; a user may not,
// and makes them for the own session. The reload command looks in both.
const wchar_t* const kScopes[] = {L"Global\\", L"Local\\"};

// Reload's events: asked by the command, answered by the runner.
struct ReloadEvents
{
    HANDLE asked = nullptr;
    HANDLE read = nullptr;       // the store was read again
    HANDLE unreadable = nullptr; // it could not be: the bridges stay as they were
};

HANDLE g_stopped = nullptr; // set once every bridge has stopped
StopHandler g_stop;
ReloadHandler g_reload;
ReloadEvents g_events;
HANDLE g_unwatched = nullptr; // ends the watcher
std::thread g_watcher;

std::string Utf8(const std::wstring& text)
{
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], size, nullptr, nullptr);
    return utf8;
}

// The working directory in full, with long names, without a closing
// backslash except at a drive's root.
std::wstring WorkingDirectory()
{
    std::wstring path(GetCurrentDirectoryW(0, nullptr), L'\0');
    path.resize(GetCurrentDirectoryW(static_cast<DWORD>(path.size()), &path[0]));
    std::wstring longPath(GetLongPathNameW(path.c_str(), nullptr, 0), L'\0');
    if (!longPath.empty())
    {
        longPath.resize(GetLongPathNameW(path.c_str(), &longPath[0], static_cast<DWORD>(longPath.size())));
        if (!longPath.empty())
            path = longPath;
    }
    if (path.size() > 3 && path.back() == L'\\')
        path.pop_back();
    return path;
}

// One name per directory however it is written: Windows paths are
// case-insensitive. Hashed, as an event's name has a limit that a path has
// not, and may hold no backslash.
std::wstring EventName(const wchar_t* scope, const std::wstring& directory, const wchar_t* what)
{
    std::wstring key = directory;
    CharUpperBuffW(&key[0], static_cast<DWORD>(key.size()));
    unsigned long long hash = 14695981039346656037ull; // FNV-1a
    for (const wchar_t unit : key)
    {
        hash ^= static_cast<unsigned long long>(unit);
        hash *= 1099511628211ull;
    }
    wchar_t hex[17];
    std::swprintf(hex, 17, L"%016llx", hash);
    return std::wstring(scope) + L"serial-tcp-bridged." + hex + L"." + what;
}

std::string ConsoleEventName(DWORD type)
{
    switch (type)
    {
    case CTRL_C_EVENT: return "Ctrl+C";
    case CTRL_BREAK_EVENT: return "Ctrl+Break";
    case CTRL_CLOSE_EVENT: return "its console closing";
    case CTRL_LOGOFF_EVENT: return "log-off";
    case CTRL_SHUTDOWN_EVENT: return "shutdown";
    default: return "console event " + std::to_string(type);
    }
}

// Ctrl+C or Ctrl+Break in the console, its window closed, the user logging
// off or the system shutting down. This runs on a thread of its own: the
// event loop is asked to stop, and for the last three the process ends as
// soon as this returns, so it waits for the bridges to stop first.
BOOL WINAPI OnConsoleControl(DWORD type)
{
    wxTheApp->CallAfter([type] {
        if (g_stop)
            g_stop(ConsoleEventName(type));
    });
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)
        WaitForSingleObject(g_stopped, kConsoleEndWaitMs);
    return TRUE;
}

void CloseEvents(ReloadEvents& events)
{
    for (HANDLE* handle : {&events.asked, &events.read, &events.unreadable})
    {
        if (*handle)
            CloseHandle(*handle);
        *handle = nullptr;
    }
}

// Makes this runner's events in the widest scope it may; false with the
// system's reason when it may in none.
bool MakeEvents(ReloadEvents& events, bool& shared, wxString& reason)
{
    const std::wstring directory = WorkingDirectory();
    for (const wchar_t* scope : kScopes)
    {
        events.asked = CreateEventW(nullptr, FALSE, FALSE, EventName(scope, directory, L"reload").c_str());
        shared = events.asked && GetLastError() == ERROR_ALREADY_EXISTS;
        events.read = CreateEventW(nullptr, FALSE, FALSE, EventName(scope, directory, L"read").c_str());
        events.unreadable = CreateEventW(nullptr, FALSE, FALSE, EventName(scope, directory, L"unreadable").c_str());
        if (events.asked && events.read && events.unreadable)
            return true;
        reason = wxSysErrorMsgStr(GetLastError());
        CloseEvents(events);
    }
    return false;
}

void WatchForReloads()
{
    const HANDLE waits[] = {g_events.asked, g_unwatched};
    while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0)
    {
        wxTheApp->CallAfter([] {
            if (!g_reload)
                return;
            SetEvent(g_reload() ? g_events.read : g_events.unreadable);
        });
    }
}

// Opens the events of the runner serving directory; false when there is
// none, or when this user may not reach it (denied set).
bool OpenEvents(const std::wstring& directory, ReloadEvents& events, bool& denied)
{
    denied = false;
    for (const wchar_t* scope : kScopes)
    {
        events.asked = OpenEventW(EVENT_MODIFY_STATE, FALSE, EventName(scope, directory, L"reload").c_str());
        if (!events.asked)
        {
            denied = denied || GetLastError() == ERROR_ACCESS_DENIED;
            continue;
        }
        const DWORD access = SYNCHRONIZE | EVENT_MODIFY_STATE;
        events.read = OpenEventW(access, FALSE, EventName(scope, directory, L"read").c_str());
        events.unreadable = OpenEventW(access, FALSE, EventName(scope, directory, L"unreadable").c_str());
        if (events.read && events.unreadable)
            return true;
        denied = true;
        CloseEvents(events);
    }
    return false;
}
} // namespace

std::vector<std::string> Arguments(int argc, char** argv)
{
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide)
        return std::vector<std::string>(argv + 1, argv + argc);
    std::vector<std::string> arguments;
    for (int i = 1; i < count; ++i)
        arguments.push_back(Utf8(wide[i]));
    LocalFree(wide);
    return arguments;
}

const char* ReloadSummary()
{
    return "make the serial-tcp-bridged serving DIR read bridges.db again: unchanged bridges go on with their "
           "clients, changed ones restart";
}

const char* ServingHelp()
{
    return "Serving runs until Ctrl+C or the console closes; reload makes it read bridges.db again. It needs an "
           "existing bridges.db and logs to filelog.txt in DIR and to standard error.";
}

std::string ApplyHint(const std::string& dirOption)
{
    std::string dir = dirOption;
    // A closing backslash would escape the closing quote.
    if (!dir.empty() && dir.back() == '\\')
        dir += '\\';
    return "A running serial-tcp-bridged applies this when reloaded: serial-tcp-bridged " +
           (dir.empty() ? std::string() : "--dir \"" + dir + "\" ") + "reload\n";
}

void PrepareServing() {}

bool WatchReloads(ReloadHandler reload)
{
    bool shared = false;
    wxString reason;
    if (!MakeEvents(g_events, shared, reason))
    {
        Logger::message("serial-tcp-bridged cannot be reloaded while it runs: %s", reason);
        return false;
    }
    if (shared)
        Logger::message("Another serial-tcp-bridged serves this folder too; a reload reaches one of them");
    g_reload = std::move(reload);
    g_unwatched = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_watcher = std::thread(WatchForReloads);
    return true;
}

void WatchStops(StopHandler stop)
{
    g_stop = std::move(stop);
    g_stopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void Stopped()
{
    if (g_stopped)
        SetEvent(g_stopped);
}

void Unwatch()
{
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    g_stop = nullptr;
    g_reload = nullptr;
    if (g_watcher.joinable())
    {
        SetEvent(g_unwatched);
        g_watcher.join();
    }
    CloseEvents(g_events);
}

int AskRunnerToReload(std::ostream& out, std::ostream& err)
{
    const std::wstring directory = WorkingDirectory();
    const std::string shown = Utf8(directory);
    ReloadEvents events;
    bool denied = false;
    if (!OpenEvents(directory, events, denied))
    {
        err << "serial-tcp-bridged: "
            << (denied ? "this user may not reload the serial-tcp-bridged serving " + shown +
                             " (a service's: run the command as administrator)"
                       : "no serial-tcp-bridged serves " + shown)
            << "\n";
        return kExitFailure;
    }
    // An answer nobody waited for must not be taken for this one.
    ResetEvent(events.read);
    ResetEvent(events.unreadable);
    SetEvent(events.asked);
    const HANDLE answers[] = {events.read, events.unreadable};
    const DWORD answer = WaitForMultipleObjects(2, answers, FALSE, kReloadAnswerMs);
    CloseEvents(events);
    if (answer == WAIT_OBJECT_0)
    {
        out << "The serial-tcp-bridged serving " << shown
            << " has read bridges.db again; its filelog.txt says what changed\n";
        return 0;
    }
    err << "serial-tcp-bridged: the serial-tcp-bridged serving " << shown
        << (answer == WAIT_OBJECT_0 + 1 ? " cannot read bridges.db, and its bridges stay as they were; its "
                                          "filelog.txt says why"
                                        : " did not answer within " + std::to_string(kReloadAnswerMs / 1000) + " s")
        << "\n";
    return kExitFailure;
}
} // namespace runner_os
