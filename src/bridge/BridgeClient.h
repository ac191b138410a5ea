#pragma once

#include "serial/ByteQueue.h"

#include <wx/string.h>

class wxSocketBase;

// One admitted TCP client of a bridge. GUI thread only.
struct BridgeClient
{
    int id = 0;                      // event id of the socket; key in the client table
    wxSocketBase* socket = nullptr;  // owned; released with Destroy()
    bool isWriter = false;           // only a writer's bytes reach the serial port
    long long writedBytes = 0;       // bytes it sent that were written to the serial port
    long long readedBytes = 0;       // serial bytes handed to it
    wxString peer;                   // "address:port", for log lines
    ByteQueue backlog;               // serial bytes its socket could not take yet
};
