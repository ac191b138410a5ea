#pragma once

#include "serial/ByteQueue.h"

#include <wx/evtloop.h>
#include <wx/string.h>
#if wxUSE_EVENTLOOP_SOURCE
#include <wx/evtloopsrc.h>
#endif

#include <memory>

class wxSocketBase;

// One admitted TCP client of a bridge. GUI thread only.
struct BridgeClient
{
    int id = 0;                      // key in the client table, never reused
    wxSocketBase* socket = nullptr;  // owned; released with Destroy()
    bool isWriter = false;           // only a writer's bytes reach the serial port
    bool hungUp = false;             // a writer whose peer has closed; read to its end
    bool droppingTold = false;       // the log said that a reader's input is dropped
    long long writedBytes = 0;       // bytes it sent that were written to the serial port
    long long readedBytes = 0;       // serial bytes handed to it
    wxString peer;                   // "address:port", for log lines
    ByteQueue backlog;               // serial bytes its socket could not take yet
#if wxUSE_EVENTLOOP_SOURCE
    // The event loop watches the socket itself: the toolkit's socket events
    // cost a queued event and several system calls each.
    std::unique_ptr<wxEventLoopSourceHandler> watcher;
    std::unique_ptr<wxEventLoopSource> watch;
    int watchFlags = 0;              // what watch waits for
#endif
};
