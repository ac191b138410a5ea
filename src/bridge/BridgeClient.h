#pragma once

#include "ClientIo.h"
#include "Rfc2217.h"

#include "serial/ByteQueue.h"

#include <wx/string.h>

#include <chrono>
#include <memory>

class wxSocketBase;

// One admitted TCP client of a bridge. GUI thread only.
struct BridgeClient
{
    int id = 0;                      // key in the client table, never reused
    wxSocketBase* socket = nullptr;  // owned; released with Destroy()
    bool isWriter = false;           // only a writer's bytes reach the serial port
    bool hungUp = false;             // its peer has closed; what it sent is still read to its end
    bool droppingTold = false;       // the log said that a reader's input is dropped
    long long writedBytes = 0;       // bytes it sent that were written to the serial port
    long long readedBytes = 0;       // serial bytes handed to it
    wxString peer;                   // "address:port", for log lines
    ByteQueue backlog;               // serial bytes its socket could not take yet
    std::unique_ptr<client_io::Watch> watch;
    std::unique_ptr<Rfc2217Session> telnet; // on a bridge that speaks RFC 2217; null for raw bytes
    bool refusedChangeTold = false;         // the log said that a reader's change of the port was refused
    // A new Telnet client gets the device's bytes once it has answered the
    // offers of binary, or once awaitBinaryUntil has passed; meanwhile they
    // wait in held, as the device sent them.
    bool awaitingBinary = false;
    std::chrono::steady_clock::time_point awaitBinaryUntil;
    ByteQueue held;

    // A client that asked for a pause in what the device sends.
    bool IsSuspended() const { return telnet && telnet->IsSuspended(); }
};
