// The serial device on the Windows communication API: the port is opened
// overlapped so that a wait for input can be cut short, and every transfer
// has its own event and OVERLAPPED record.
//
// Input is waited for with a read of one byte, not with WaitCommEvent: Wine
// ends every WaitCommEvent on a port without modem lines (a pseudo-terminal)
// at once, as cancelled. The byte such a wait brings is kept with the port
// and handed out first by the next read.

#include "SFileWin32.h"

#include "SFileOs.h"

#include <winioctl.h>

#include <algorithm>

namespace sfile_os
{
namespace
{
const DWORD kPurgeInput = PURGE_RXABORT | PURGE_RXCLEAR;
const DWORD kPurgeOutput = PURGE_TXABORT | PURGE_TXCLEAR;
const char kXon = 0x11;
const char kXoff = 0x13;
// What the port takes over in one write; they count as written when the
// write ends (TakeWritten), so the caller's bound on what it holds stands.
const unsigned kInFlightBytes = 65536;
// From the serial driver's interface (ntddser.h), whose header is the driver
// kit's and does not build in a program.
const DWORD kGetDtrRts = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 30, METHOD_BUFFERED, FILE_ANY_ACCESS);
const ULONG kDtrState = 0x1;
const ULONG kRtsState = 0x2;

HANDLE Native(Handle handle)
{
    return PortOf(handle).handle;
}

// Hands out the byte a wait has read, if there is one; returns how many
// bytes that put into buffer (0 or 1).
unsigned TakeWaitedByte(Handle handle, void* buffer, unsigned count)
{
    Port& port = PortOf(handle);
    if (!port.hasWaitedByte || count == 0)
        return 0;
    *static_cast<unsigned char*>(buffer) = port.waitedByte;
    port.hasWaitedByte = false;
    return 1;
}

std::string ErrorText(DWORD error)
{
    char* text = nullptr;
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = length && text ? std::string(text, length) : "error " + std::to_string(error);
    if (text)
        LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == '.'))
        result.pop_back();
    return result;
}

bool ReadState(HANDLE port, DCB& control, std::string& error)
{
    control = DCB{};
    control.DCBlength = sizeof control;
    if (GetCommState(port, &control))
        return true;
    error = ErrorText(GetLastError());
    return false;
}

bool WriteState(const Port& port, DCB& control, std::string& error)
{
    control.fDtrControl = port.dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    control.fRtsControl = port.hardwareFlow ? RTS_CONTROL_HANDSHAKE
                          : port.rts        ? RTS_CONTROL_ENABLE
                                            : RTS_CONTROL_DISABLE;
    if (SetCommState(port.handle, &control))
        return true;
    error = ErrorText(GetLastError());
    return false;
}

std::wstring Widen(const std::string& text)
{
    std::wstring wide;
    for (char c : text)
        wide += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return wide;
}

std::wstring FromUtf8(const std::string& text)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

// n of COMn in any case, also in the device namespace; 0 for another name.
unsigned ComNumber(const std::string& portName)
{
    const std::string name = portName.rfind("\\\\.\\", 0) == 0 ? portName.substr(4) : portName;
    if (name.size() < 4 || _strnicmp(name.c_str(), "COM", 3) != 0)
        return 0;
    return SFile::PortNumber(name);
}

// A cancelled transfer still owns its OVERLAPPED record, its event and the
// caller's buffer until the driver has finished with it: wait for that.
// Returns how many bytes it moved before the cancel.
DWORD CancelAndSettle(HANDLE port, OVERLAPPED& overlapped)
{
    DWORD done = 0;
    // Only this transfer: a write of the same thread may be in flight.
    CancelIoEx(port, &overlapped);
    GetOverlappedResult(port, &overlapped, &done, TRUE);
    return done;
}

enum class Outcome
{
    Completed,
    TimedOut, // cancelled after the wait; *done tells what moved before
    Failed
};

// One overlapped ReadFile or WriteFile with a bounded wait, on the given
// manual-reset event (which the transfer resets as it starts) or on one of
// its own.
template <typename Start>
Outcome Transfer(HANDLE port, Start start, DWORD* done, DWORD timeoutMs, DWORD retries, HANDLE event = nullptr)
{
    OVERLAPPED overlapped{};
    overlapped.hEvent = event ? event : CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!overlapped.hEvent)
        return Outcome::Failed;
    Outcome result = Outcome::Failed;
    if (start(&overlapped))
    {
        result = Outcome::Completed;
    }
    else if (GetLastError() == ERROR_IO_PENDING)
    {
        for (DWORD timeouts = 0;;)
        {
            const DWORD outcome = WaitForSingleObject(overlapped.hEvent, timeoutMs);
            if (outcome == WAIT_OBJECT_0)
            {
                result = GetOverlappedResult(port, &overlapped, done, FALSE) ? Outcome::Completed : Outcome::Failed;
                break;
            }
            if (outcome == WAIT_TIMEOUT && ++timeouts <= retries)
                continue;
            *done = CancelAndSettle(port, overlapped);
            result = outcome == WAIT_TIMEOUT ? Outcome::TimedOut : Outcome::Failed;
            break;
        }
    }
    if (!event)
        CloseHandle(overlapped.hEvent);
    return result;
}
} // namespace

DWORD MillisecondsFor(unsigned micros)
{
    return micros == SFile::kForever ? INFINITE : static_cast<DWORD>((micros + 999u) / 1000u);
}

std::string PortLabel(const std::string& portName)
{
    const unsigned number = ComNumber(portName);
    return number ? std::to_string(number) : portName;
}

Handle Open(const std::string& portName, std::string& error)
{
    // A port the registry lists by another name (a virtual port driver's
    // CNCA0, say) is there in the device namespace.
    const unsigned number = ComNumber(portName);
    const std::wstring name = number ? SFile::WindowsPortName(number) : L"\\\\.\\" + FromUtf8(portName);
    const HANDLE port = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE)
    {
        error = ErrorText(GetLastError());
        return SFile::kInvalidHandle;
    }
    const HANDLE readEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE writeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!readEvent || !writeEvent)
    {
        error = ErrorText(GetLastError());
        for (const HANDLE made : {readEvent, writeEvent, port})
        {
            if (made)
                CloseHandle(made);
        }
        return SFile::kInvalidHandle;
    }
    auto* opened = new Port;
    opened->handle = port;
    opened->readEvent = readEvent;
    opened->writeEvent = writeEvent;
    return reinterpret_cast<Handle>(opened);
}

bool ApplyMode(const std::string& mode, DCB& control, std::string& error)
{
    // The mode ends in blanks, which Wine's parser refuses; Windows ignores them.
    const std::wstring wideMode = Widen(mode.substr(0, mode.find_last_not_of(' ') + 1));
    if (!BuildCommDCBW(wideMode.c_str(), &control))
    {
        error = "invalid mode \"" + mode + "\"";
        return false;
    }
    // Whatever another program left on: every byte value must pass unchanged
    // and nothing may stop the flow.
    control.fBinary = TRUE;
    control.fParity = control.Parity != NOPARITY;
    control.fOutxCtsFlow = FALSE;
    control.fOutxDsrFlow = FALSE;
    control.fDsrSensitivity = FALSE;
    control.fOutX = FALSE;
    control.fInX = FALSE;
    control.fErrorChar = FALSE;
    control.fNull = FALSE;
    control.fAbortOnError = FALSE;
    control.fDtrControl = DTR_CONTROL_DISABLE;
    control.fRtsControl = RTS_CONTROL_DISABLE;
    return true;
}

bool Configure(Handle handle, const std::string& mode, std::string& error)
{
    Port& port = PortOf(handle);
    DCB control;
    if (!ReadState(port.handle, control, error) || !ApplyMode(mode, control, error))
        return false;
    port.dtr = port.rts = port.hardwareFlow = false;
    return WriteState(port, control, error);
}

bool GetSettings(Handle handle, SFile::LineSettings& line, SFile::FlowControl& flow, std::string& error)
{
    DCB control;
    if (!ReadState(Native(handle), control, error))
        return false;
    const char parities[] = "NOEMS";
    line.baud = static_cast<int>(control.BaudRate);
    line.dataBits = control.ByteSize;
    line.parity = control.Parity < sizeof parities - 1 ? parities[control.Parity] : 'N';
    line.stopBits = control.StopBits == TWOSTOPBITS    ? 2
                    : control.StopBits == ONE5STOPBITS ? SFile::kOneAndHalfStopBits
                                                       : 1;
    flow.hardware = control.fOutxCtsFlow;
    flow.software = control.fOutX && control.fInX;
    return true;
}

bool SetLine(Handle handle, const SFile::LineSettings& line, std::string& error)
{
    const Port& port = PortOf(handle);
    DCB control;
    if (!ReadState(port.handle, control, error))
        return false;
    control.BaudRate = static_cast<DWORD>(line.baud);
    control.ByteSize = static_cast<BYTE>(line.dataBits);
    switch (line.parity)
    {
    case 'O': control.Parity = ODDPARITY; break;
    case 'E': control.Parity = EVENPARITY; break;
    case 'M': control.Parity = MARKPARITY; break;
    case 'S': control.Parity = SPACEPARITY; break;
    default: control.Parity = NOPARITY; break;
    }
    control.fParity = control.Parity != NOPARITY;
    control.StopBits = line.stopBits == 2                           ? TWOSTOPBITS
                       : line.stopBits == SFile::kOneAndHalfStopBits ? ONE5STOPBITS
                                                                     : ONESTOPBIT;
    return WriteState(port, control, error);
}

bool SetFlowControl(Handle handle, const SFile::FlowControl& flow, std::string& error)
{
    Port& port = PortOf(handle);
    DCB control;
    if (!ReadState(port.handle, control, error))
        return false;
    control.fOutxCtsFlow = flow.hardware;
    control.fOutX = flow.software;
    control.fInX = flow.software;
    if (flow.software)
    {
        // Another program may have moved them; the far end expects these.
        control.XonChar = kXon;
        control.XoffChar = kXoff;
    }
    const bool hadHardwareFlow = port.hardwareFlow;
    port.hardwareFlow = flow.hardware;
    if (WriteState(port, control, error))
        return true;
    port.hardwareFlow = hadHardwareFlow;
    return false;
}

bool SetControl(Handle handle, Control which, bool on, std::string& error)
{
    Port& port = PortOf(handle);
    BOOL done = FALSE;
    switch (which)
    {
    case Control::Dtr: done = EscapeCommFunction(port.handle, on ? SETDTR : CLRDTR); break;
    case Control::Rts: done = EscapeCommFunction(port.handle, on ? SETRTS : CLRRTS); break;
    case Control::Break: done = on ? SetCommBreak(port.handle) : ClearCommBreak(port.handle); break;
    }
    if (!done)
    {
        error = ErrorText(GetLastError());
        return false;
    }
    if (which == Control::Dtr)
        port.dtr = on;
    else if (which == Control::Rts)
        port.rts = on;
    return true;
}

bool GetOutputLines(Handle handle, bool& dtr, bool& rts)
{
    // The port is overlapped, so even this quick request needs its record.
    const HANDLE port = Native(handle);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!overlapped.hEvent)
        return false;
    ULONG lines = 0;
    DWORD size = 0;
    bool read = DeviceIoControl(port, kGetDtrRts, nullptr, 0, &lines, sizeof lines, &size, &overlapped);
    if (!read && GetLastError() == ERROR_IO_PENDING)
        read = GetOverlappedResult(port, &overlapped, &size, TRUE);
    CloseHandle(overlapped.hEvent);
    if (!read || size < sizeof lines)
        return false;
    dtr = lines & kDtrState;
    rts = lines & kRtsState;
    return true;
}

bool GetModemLines(Handle handle, SFile::ModemLines& lines, std::string& error)
{
    DWORD status = 0;
    if (!GetCommModemStatus(Native(handle), &status))
    {
        error = ErrorText(GetLastError());
        return false;
    }
    lines.cts = status & MS_CTS_ON;
    lines.dsr = status & MS_DSR_ON;
    lines.ri = status & MS_RING_ON;
    lines.dcd = status & MS_RLSD_ON;
    return true;
}

bool DisableTimeouts(Handle handle, std::string& error)
{
    COMMTIMEOUTS timeouts{};
    if (!SetCommTimeouts(Native(handle), &timeouts))
    {
        error = ErrorText(GetLastError());
        return false;
    }
    return true;
}

// A wait of a fraction of a millisecond lasts a timer tick here, and every
// chunk would be held back that long: a chunk goes on once the driver holds
// nothing more.
bool WaitsForGaps(Handle)
{
    return false;
}

namespace
{
// Starts writing what is left of the bytes in flight; false when the port
// refuses.
bool StartWrite(Port& port)
{
    port.writing = OVERLAPPED{};
    port.writing.hEvent = port.writeEvent;
    DWORD done = 0;
    const DWORD left = static_cast<DWORD>(port.inFlight.size() - port.inFlightDone);
    // Ended at once or not, its end is settled through its record.
    port.writePending = WriteFile(port.handle, port.inFlight.data() + port.inFlightDone, left, &done, &port.writing) ||
                        GetLastError() == ERROR_IO_PENDING;
    return port.writePending;
}

// Settles a write that has ended, and starts the rest of a part-done one;
// false when the port failed. One that ended aborted (the thread that started
// it ended) goes on.
bool SettleWrite(Port& port)
{
    while (port.writePending)
    {
        DWORD done = 0;
        const bool ended = GetOverlappedResult(port.handle, &port.writing, &done, FALSE) != FALSE;
        const DWORD error = ended ? ERROR_SUCCESS : GetLastError();
        if (error == ERROR_IO_INCOMPLETE)
            return true;
        port.writePending = false;
        port.inFlightDone += done;
        port.writtenUntold += done;
        if ((error != ERROR_SUCCESS && error != ERROR_OPERATION_ABORTED) ||
            (port.inFlightDone < port.inFlight.size() && !StartWrite(port)))
        {
            // What is left of it is lost with the port.
            port.inFlight.clear();
            port.inFlightDone = 0;
            return false;
        }
    }
    if (port.inFlightDone >= port.inFlight.size())
    {
        port.inFlight.clear();
        port.inFlightDone = 0;
    }
    return true;
}

// Ends the write in flight, whichever thread started it, and forgets what
// the port has taken.
void DropWrite(Port& port)
{
    if (port.writePending)
        CancelAndSettle(port.handle, port.writing);
    port.writePending = false;
    port.inFlight.clear();
    port.inFlightDone = 0;
    port.writtenUntold = 0;
}
} // namespace

bool Purge(Handle handle, SFile::Queues which)
{
    DWORD flags = kPurgeInput | kPurgeOutput;
    if (which == SFile::Queues::Input)
        flags = kPurgeInput;
    else if (which == SFile::Queues::Output)
        flags = kPurgeOutput;
    Port& port = PortOf(handle);
    if (flags & PURGE_RXCLEAR)
    {
        SettleWaitRead(port, true);
        port.hasWaitedByte = false;
    }
    const bool purged = PurgeComm(port.handle, flags) != FALSE;
    // The write in flight goes with the rest: its bytes are no longer the
    // caller's to count.
    if (flags & PURGE_TXABORT)
        DropWrite(port);
    return purged;
}

unsigned InQueue(Handle handle)
{
    const unsigned waited = PortOf(handle).hasWaitedByte ? 1 : 0;
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(Native(handle), &errors, &status))
        return waited;
    return waited + status.cbInQue;
}

bool Read(Handle handle, void* buffer, unsigned count, unsigned* bytesRead, std::uint32_t timeoutMs,
          std::uint32_t retries)
{
    const HANDLE port = Native(handle);
    // The wait's read comes first in the port's order, and shares the event.
    SettleWaitRead(PortOf(handle), true);
    const unsigned first = TakeWaitedByte(handle, buffer, count);
    unsigned char* const rest = static_cast<unsigned char*>(buffer) + first;
    DWORD done = 0;
    const bool ok =
        first == count ||
        Transfer(
            port, [&](OVERLAPPED* overlapped) { return ReadFile(port, rest, count - first, &done, overlapped) != FALSE; },
            &done, timeoutMs, retries, PortOf(handle).readEvent) == Outcome::Completed;
    if (bytesRead)
        *bytesRead = first + done;
    return ok;
}

bool Write(Handle handle, const void* buffer, unsigned count, unsigned* bytesWritten, std::uint32_t timeoutMs)
{
    const HANDLE port = Native(handle);
    DWORD done = 0;
    const bool ok =
        Transfer(
            port, [&](OVERLAPPED* overlapped) { return WriteFile(port, buffer, count, &done, overlapped) != FALSE; },
            &done, timeoutMs, 0) == Outcome::Completed;
    if (bytesWritten)
        *bytesWritten = done;
    return ok && done == count;
}

bool ReadAvailable(Handle handle, void* buffer, unsigned count, unsigned* bytesRead)
{
    // Never ask for more than the driver holds, so that the read completes
    // at once; the wait's read, with its byte, comes first.
    SettleWaitRead(PortOf(handle), true);
    const unsigned waiting = std::min(count, InQueue(handle));
    if (bytesRead)
        *bytesRead = 0;
    return waiting == 0 || Read(handle, buffer, waiting, bytesRead, SFile::kWriteTimeoutMs, 0);
}

bool WriteAvailable(Handle handle, const void* buffer, unsigned count, unsigned* bytesWritten)
{
    // The bytes are taken over and written while the worker goes on: a port
    // that takes output slowly must not hold up its clients. Until they are
    // out, it takes no more, and a wait for output waits for them.
    Port& port = PortOf(handle);
    if (bytesWritten)
        *bytesWritten = 0;
    if (!SettleWrite(port))
        return false;
    if (!port.inFlight.empty() || count == 0)
        return true;
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    const unsigned taken = std::min(count, kInFlightBytes);
    port.inFlight.assign(bytes, bytes + taken);
    if (!StartWrite(port))
    {
        port.inFlight.clear();
        return false;
    }
    if (bytesWritten)
        *bytesWritten = taken;
    return true;
}

bool WritesInFlight()
{
    return true;
}

bool TakeWritten(Handle handle, unsigned* written)
{
    Port& port = PortOf(handle);
    const bool sound = SettleWrite(port);
    *written = port.writtenUntold;
    port.writtenUntold = 0;
    return sound;
}

void Close(Handle handle)
{
    Port& port = PortOf(handle);
    DropWrite(port);
    SettleWaitRead(port, true);
    CloseHandle(port.handle);
    CloseHandle(port.readEvent);
    CloseHandle(port.writeEvent);
    delete &port;
}

} // namespace sfile_os
