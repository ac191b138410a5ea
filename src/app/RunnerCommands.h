#pragma once

#include "RunnerGrammar.h"

#include <iosfwd>

// Exit statuses.
constexpr int kExitFailure = 1; // the store or the system failed
constexpr int kExitUsage = 2;   // the command line is wrong

// Runs list, add, set, remove or ports on bridges.db in the working
// directory, through the same store and checks as the options dialog. What
// it did goes to out, a failure to err as one line; returns the exit status.
// Only add creates bridges.db.
int RunStoreCommand(const RunnerCommand& command, std::ostream& out, std::ostream& err);
