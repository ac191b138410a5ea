#pragma once

// The socket work of a bridge: how its server listens, and how its clients'
// sockets are read, written and watched. One implementation per platform,
// chosen by the build (ClientIoPosix.cpp, ClientIoWin32.cpp); on both, the
// bridge's serial worker waits for its clients' sockets beside the port, so
// that their bytes move on that one thread. The bridge keeps admission and
// relay.
//
// Threads: listening, Adopt and PeerOf on the GUI thread; a client's socket,
// after Adopt, on the thread its bridge relays on (see SFile::WaitsForOthers).

#include "serial/SFile.h"

#include <wx/socket.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <utility>

namespace client_io
{
// The socket can take more output or has input, or, with hungUp, the system
// has said that the peer closed its side; what it sent before may still
// wait to be read.
using ReadyHandler = std::function<void(bool hungUp)>;

// Watches one client's socket and calls its handler when it is ready; each
// platform adds how its wait is told of the socket. Free it only when no
// event is being dispatched: the call that removed its client may still be
// on the stack.
class Watch
{
public:
    explicit Watch(ReadyHandler ready) : ready(std::move(ready)) {}
    virtual ~Watch() = default;

    const ReadyHandler ready;
    // What the bridge wants of the socket now.
    bool input = true;
    bool output = false;
    bool stopped = false;
};

// Makes a listening socket on address, an IPv4 or IPv6 local address and
// port (or the port of every local address of its family), which no other
// socket may share; null when that fails.
wxSocketServer* Listen(const wxSockAddress& address);
// Why Listen failed, for a log line; whether another socket holds the port,
// the address is not one of this machine's, or the machine has no such
// family of addresses (no IPv6).
struct ListenFailure
{
    wxString cause;
    bool inUse = false;
    bool notLocal = false;
    bool noFamily = false;
};
ListenFailure WhyNotListening(const wxSockAddress& address);
// Whether an IPv6 server on every address takes IPv4 clients as well, as
// ::ffff:a.b.c.d, which the system decides (Linux does by default, Windows
// does not).
bool TakesIpv4Too(wxSocketServer* server);

// Where a connected socket's peer is: its address as canonical text (an IPv4
// client of an IPv6 socket as IPv4, a link-local one with its zone) and its
// port. False when the system cannot tell.
struct Peer
{
    wxString address;
    unsigned port = 0;
};
bool PeerOf(wxSocketBase* socket, Peer& peer);
// A socket call's error code (wxSysErrorCode) in words, for a log line.
wxString ErrorText(int error);

// Where the serial worker waits for the clients beside the port
// (SFile::WaitsForOthers): what the watch waits for now, as that wait takes
// it, false when nothing; Ready calls its handler once the wait found it
// ready.
bool Wanted(const Watch& watch, SFile::OtherWait& wanted);
inline void Ready(Watch& watch)
{
    if (!watch.stopped)
        watch.ready(false);
}

// Takes over an accepted socket: it is made non-blocking, sends small
// writes at once, probes a silent peer, and is read and written only
// through the calls below. Returns its watch, waiting for input, or null.
std::unique_ptr<Watch> Adopt(wxSocketBase* socket, ReadyHandler ready);
// What the watch waits for from now on, from the next wait on; false when
// it cannot.
inline bool Update(Watch& watch, bool input, bool output)
{
    watch.input = input;
    watch.output = output;
    return true;
}
// Stops watching, before the socket is closed and its number reused.
inline void Stop(Watch& watch)
{
    watch.stopped = true;
}

// Returns the count written, 0 when the socket takes nothing now, or -1
// when the connection failed.
long Send(wxSocketBase* socket, const unsigned char* bytes, std::size_t count);
// Returns the count read, 0 when nothing waits, or -1 when the peer has
// closed the connection or it failed.
long Receive(wxSocketBase* socket, unsigned char* buffer, std::size_t size);
// Ends the connection both ways at once, while the socket itself is closed
// later, on the GUI thread.
void Shut(wxSocketBase* socket);
// Whether the peer has closed its side, or the connection failed, while
// what it sent before may still wait unread.
bool PeerHasClosed(wxSocketBase* socket);
} // namespace client_io
