#pragma once

// The operating-system side of SFile: one implementation per platform
// (SFilePosix.cpp, SFileWin32.cpp), chosen by the build. Every function reads
// the OS error right after the failing call and turns it into text there.

#include "SFile.h"

#include <cstdint>
#include <string>

namespace sfile_os
{
using Handle = SFile::Handle;

// Opens the named port for exclusive read and write without blocking; on
// failure returns SFile::kInvalidHandle and puts the cause into error.
Handle Open(const std::string& portName, std::string& error);

// How the log names the port: its device path on POSIX, its number on Windows.
std::string PortLabel(const std::string& portName);

// Reads the port's current settings, applies the mode string on top of them,
// switches off every kind of flow control and holds DTR and RTS off.
bool Configure(Handle handle, const std::string& mode, std::string& error);

// Makes reads complete only when the requested count has arrived.
bool DisableTimeouts(Handle handle, std::string& error);

bool Purge(Handle handle, SFile::Queues which);

// The baud rate, frame and flow control the open port holds now.
bool GetSettings(Handle handle, SFile::LineSettings& line, SFile::FlowControl& flow, std::string& error);
// Change only what they name, at once; the values are within SFile's
// ranges, and what the platform lacks is refused here.
bool SetLine(Handle handle, const SFile::LineSettings& line, std::string& error);
bool SetFlowControl(Handle handle, const SFile::FlowControl& flow, std::string& error);

enum class Control
{
    Dtr,
    Rts,
    Break
};
bool SetControl(Handle handle, Control which, bool on, std::string& error);
// DTR and RTS as the device reports them; false when it cannot.
bool GetOutputLines(Handle handle, bool& dtr, bool& rts);
bool GetModemLines(Handle handle, SFile::ModemLines& lines, std::string& error);
bool WaitsForGaps(Handle handle);
unsigned InQueue(Handle handle);
bool Read(Handle handle, void* buffer, unsigned count, unsigned* bytesRead, std::uint32_t timeoutMs,
          std::uint32_t retries);
bool Write(Handle handle, const void* buffer, unsigned count, unsigned* bytesWritten, std::uint32_t timeoutMs);
bool ReadAvailable(Handle handle, void* buffer, unsigned count, unsigned* bytesRead);
bool WriteAvailable(Handle handle, const void* buffer, unsigned count, unsigned* bytesWritten);
bool WritesInFlight();
bool TakeWritten(Handle handle, unsigned* written);
bool WaitsSeeLostPorts();
bool WaitsForOthers();

// handle may be invalid: then only the waker (or one of others, where the
// platform watches them) ends the wait early.
SFile::WaitResult Wait(Handle handle, Waker* waker, unsigned timeoutMicros, bool forOutput,
                       std::vector<SFile::OtherWait>* others);
void Close(Handle handle);

// A waker lives as long as its SFile; Wake may be called from any thread.
// CreateWaker may return null when the OS refuses; the others accept null.
Waker* CreateWaker();
void DestroyWaker(Waker* waker);
void Wake(Waker* waker);
} // namespace sfile_os
