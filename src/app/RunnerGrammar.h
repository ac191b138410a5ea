#pragma once

#include <optional>
#include <string>
#include <vector>

// The runner's command line, declared once (RunnerGrammar.cpp, with CLI11):
// its commands, their arguments and options, each with what it is for. The
// reading of a command line, the --help text and the list of words that the
// manual page must describe all come from those declarations.

// A command line read: serving, or one of the commands that show and change
// the stored bridges from a shell.
struct RunnerCommand
{
    std::string name = "serve"; // serve, list, add, set, remove, ports, reload, help, version
    std::string dir;            // --dir: where bridges.db and filelog.txt are; empty for the working directory
    std::vector<std::string> arguments;
    // The options given, each at most once except --allow; an empty value is
    // a value given.
    std::optional<std::string> serial, baud, tcp, frame, listen, protocol, trace;
    std::vector<std::string> allow;
    bool allowAll = false;
    bool noTrace = false;
};

// Reads the command line (without the program's name); false with a
// one-line reason when it is not one the runner takes. Options may come
// before or after the command; --help, -h and --version end the reading
// where they stand.
bool ParseRunnerCommand(const std::vector<std::string>& arguments, RunnerCommand& command, std::string& error);

// What --help prints, in lines that fit 80 columns.
std::string RunnerHelpText();

// Every command and every name of an option, as typed ("add", "--allow-all",
// "-h"): what the manual page has to describe.
std::vector<std::string> RunnerGrammarWords();
