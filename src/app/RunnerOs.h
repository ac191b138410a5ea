#pragma once

// What the runner does differently per platform, one implementation each
// (RunnerPosix.cpp, RunnerWin32.cpp), chosen by the build: how it reads its
// command line, how it is asked to stop or to read its store again, how it
// tells a service manager that it is ready, and how its commands say that a
// running runner takes a change.

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace runner_os
{
// The command line without the program's name, as UTF-8 text. Windows
// hands a program its arguments in the ANSI code page, where a folder such
// as C:\Données may not fit: there the wide command line is read.
std::vector<std::string> Arguments(int argc, char** argv);

// For --help: what reload does here, or nothing where it only says what to
// use instead (and --help leaves it out); and what serving runs until and
// how it takes changes. Sentences, which --help lays out in lines.
const char* ReloadSummary();
const char* ServingHelp();

// What a command that changed the store prints last: how a runner serving
// this directory takes the change. dirOption is the --dir given, or empty.
std::string ApplyHint(const std::string& dirOption);

// Run on the event loop's thread. A reload returns false when the store
// could not be read and the bridges stay as they are; cause says in words
// what asked the runner to stop ("signal 15", "Ctrl+C").
using ReloadHandler = std::function<bool()>;
using StopHandler = std::function<void(const std::string& cause)>;

// Before the toolkit starts serving: a reload asked for from now on waits
// until WatchReloads takes it instead of ending the runner.
void PrepareServing();
// Asks for reload to be called whenever a reload of the working directory's
// runner is asked for. False, logged, when this platform cannot watch for
// that; the runner serves on without.
bool WatchReloads(ReloadHandler reload);
// Asks for stop to be called when the runner is asked to end, and tells a
// service manager, if any, that the runner is ready.
void WatchStops(StopHandler stop);
// Once every bridge has stopped: an end that the system waits for (a
// console closing) may go on.
void Stopped();
// No more calls into the application, which is going away.
void Unwatch();

// The reload command: asks the runner serving the working directory to
// read its store again and waits for its answer. Says on out what was done,
// or on err why not; returns the exit status.
int AskRunnerToReload(std::ostream& out, std::ostream& err);
} // namespace runner_os
