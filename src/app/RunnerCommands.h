#pragma once

#include <iosfwd>
#include <string>
#include <vector>

// The runner's command line: serving, or one of the commands that show and
// change the stored bridges from a shell.
struct RunnerCommand
{
    std::string name = "serve"; // serve, list, add, set, remove, ports, reload, help, version
    std::string dir;            // --dir: where bridges.db and filelog.txt are; empty for the working directory
    std::vector<std::string> arguments;
    // The options given, each at most once except --allow.
    std::string serial, baud, tcp, frame, listen, protocol;
    std::vector<std::string> allow;
    bool allowAll = false;
    bool haveSerial = false, haveBaud = false, haveTcp = false, haveFrame = false, haveListen = false,
         haveProtocol = false;
};

// Exit statuses.
constexpr int kExitFailure = 1; // the store or the system failed
constexpr int kExitUsage = 2;   // the command line is wrong

// Reads the command line (without the program's name); false with a
// one-line reason when it is not one the runner takes.
bool ParseRunnerCommand(const std::vector<std::string>& arguments, RunnerCommand& command, std::string& error);

// Runs list, add, set, remove or ports on bridges.db in the working
// directory, through the same store and checks as the options dialog. What
// it did goes to out, a failure to err as one line; returns the exit status.
// Only add creates bridges.db.
int RunStoreCommand(const RunnerCommand& command, std::ostream& out, std::ostream& err);
