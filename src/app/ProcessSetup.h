#pragma once

// The start of a server process, one implementation per platform
// (ProcessSetupPosix.cpp, ProcessSetupWin32.cpp), chosen by the build.

// Makes the process independent of what it was started with: a write to a
// pipe or socket whose reader went away fails with an error instead of ending
// the process; standard input, output or error that were closed are opened on
// the null device, so that no file opened later takes their numbers; and the
// soft limit on open descriptors is raised to the hard limit. Call it first,
// before the toolkit or the log opens anything.
void PrepareProcess();
