// Clients on Windows: the bridge's serial worker waits for its clients'
// sockets beside the port, as on POSIX. A socket is tied (WSAEventSelect) to
// an event of the worker's thread for what the bridge wants of it, and tied
// again only when that changes.

#include "ClientIo.h"

#include "IpAddress.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <mstcpip.h>

#include <wx/log.h>

#include <atomic>
#include <vector>

namespace client_io
{
namespace
{
// A client whose host vanished without a word is found out after a minute
// and a half or so.
constexpr ULONG kKeepAliveIdleMs = 60000;
constexpr ULONG kKeepAliveIntervalMs = 10000;

// What the worker's wait is to watch a client's socket for.
class SocketWatch : public Watch
{
public:
    SocketWatch(SOCKET socket, ReadyHandler ready) : Watch(std::move(ready)), socket(socket) {}
    const SOCKET socket;
    // What the socket is tied to now: these network events, to this event.
    mutable long tied = 0;
    mutable unsigned long long tiedTo = 0;
};

// The event that the calling worker's clients are tied to; auto-reset, so
// that the wait that sees it takes it. A worker that ends takes its event
// along, and one that follows may get the same handle value for a new one:
// the number tells them apart.
struct ThreadEvent
{
    HANDLE handle = nullptr;
    unsigned long long number = 0;
};

const ThreadEvent& ThisThreadEvent()
{
    static std::atomic<unsigned long long> made{0};
    struct Owned
    {
        ThreadEvent event{CreateEventW(nullptr, FALSE, FALSE, nullptr), ++made};
        ~Owned()
        {
            if (event.handle)
                CloseHandle(event.handle);
        }
    };
    static thread_local Owned owned;
    return owned.event;
}

SOCKET Native(wxSocketBase* socket)
{
    return static_cast<SOCKET>(socket->GetSocket());
}

// The system's words for a Winsock error; Wine has none for them, and
// "unknown error 0x2740" tells a user nothing.
wxString SocketErrorText(int error)
{
    wchar_t* text = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    wxString words = length && text ? wxString(text, length) : wxString();
    if (text)
        LocalFree(text);
    words.Trim().Trim(false);
    while (words.EndsWith("."))
        words.RemoveLast();
    if (!words.empty())
        return words;
    switch (error)
    {
    case WSAEADDRINUSE: return "address already in use";
    case WSAEADDRNOTAVAIL: return "address not available";
    case WSAEACCES: return "permission denied";
    case WSAENETDOWN: return "network is down";
    case WSAEMFILE: return "too many open sockets";
    case WSAENOBUFS: return "no buffer space available";
    case WSAEINVAL: return "invalid argument";
    case WSAEAFNOSUPPORT: return "address family not supported";
    case WSANOTINITIALISED: return "sockets are not initialised";
    case WSAECONNRESET: return "connection reset by peer";
    case WSAECONNABORTED: return "connection aborted";
    case WSAETIMEDOUT: return "connection timed out";
    default: return wxString::Format("Winsock error %d", error);
    }
}
} // namespace

wxSocketServer* Listen(const wxSockAddress& address)
{
    // Without SO_REUSEADDR: on Windows it would let this socket share a port
    // that another program listens on, and connections would be split
    // between the two. Windows rebinds a port whose old connections linger
    // without it.
    auto* server = new wxSocketServer(address, wxSOCKET_NONE);
    if (!server->IsOk())
    {
        server->Destroy();
        return nullptr;
    }
    // The toolkit listens with a backlog of 5: a burst of connections
    // would see most of theirs dropped and retried seconds later.
    ::listen(Native(server), SOMAXCONN);
    return server;
}

ListenFailure WhyNotListening(const wxSockAddress& address)
{
    // The toolkit closes the socket it failed with, which may clear the
    // error: the same bind again tells why.
    const SOCKET probe = ::socket(address.GetAddressData()->sa_family, SOCK_STREAM, IPPROTO_TCP);
    if (probe == INVALID_SOCKET)
    {
        const int error = ::WSAGetLastError();
        return {SocketErrorText(error), false, false, error == WSAEAFNOSUPPORT};
    }
    const int error =
        ::bind(probe, address.GetAddressData(), address.GetAddressDataLen()) == 0 ? 0 : ::WSAGetLastError();
    ::closesocket(probe);
    if (error == 0)
        return {"cannot listen"};
    return {SocketErrorText(error), error == WSAEADDRINUSE || error == WSAEACCES, error == WSAEADDRNOTAVAIL,
            error == WSAEAFNOSUPPORT};
}

bool TakesIpv4Too(wxSocketServer* server)
{
    DWORD only = 1;
    int length = sizeof only;
    return ::getsockopt(Native(server), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<char*>(&only), &length) == 0 &&
           only == 0;
}

bool PeerOf(wxSocketBase* socket, Peer& peer)
{
    sockaddr_storage address{};
    int length = sizeof address;
    if (::getpeername(Native(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return false;
    if (address.ss_family == AF_INET)
    {
        const auto& ipv4 = reinterpret_cast<const sockaddr_in&>(address);
        peer.address = IpAddressText(reinterpret_cast<const unsigned char*>(&ipv4.sin_addr), sizeof ipv4.sin_addr);
        peer.port = ntohs(ipv4.sin_port);
        return true;
    }
    if (address.ss_family != AF_INET6)
        return false;
    const auto& ipv6 = reinterpret_cast<const sockaddr_in6&>(address);
    peer.address = IpAddressText(ipv6.sin6_addr.s6_addr, sizeof ipv6.sin6_addr.s6_addr);
    peer.port = ntohs(ipv6.sin6_port);
    // Windows names an interface by its number.
    if (ipv6.sin6_scope_id != 0 && IsIpv6Text(peer.address))
        peer.address += wxString::Format("%%%lu", static_cast<unsigned long>(ipv6.sin6_scope_id));
    return true;
}

wxString ErrorText(int error)
{
    return SocketErrorText(error);
}

bool Wanted(const Watch& watch, SFile::OtherWait& wanted)
{
    const auto& watched = static_cast<const SocketWatch&>(watch);
    const ThreadEvent& event = ThisThreadEvent();
    if (watched.stopped || (!watched.input && !watched.output) || !event.handle)
        return false;
    // A closed connection is read to its end, so it is waited for only
    // with input: it would be recorded again at every wait.
    const long events = (watched.input ? FD_READ | FD_CLOSE : 0) | (watched.output ? FD_WRITE : 0);
    // Once tied, Winsock records each event again after the call that
    // consumes it (a receive, a send that found the socket full), and every
    // wakeup of the event makes the bridge make that call: no need to tie
    // again until what is wanted changes.
    if (events != watched.tied || event.number != watched.tiedTo)
    {
        if (::WSAEventSelect(watched.socket, event.handle, events) != 0)
        {
            watched.tied = 0;
            return false;
        }
        watched.tied = events;
        watched.tiedTo = event.number;
        // What already holds is recorded by Windows but not by Wine: look.
        WSAPOLLFD entry{watched.socket,
                        static_cast<SHORT>((watched.input ? POLLRDNORM : 0) | (watched.output ? POLLWRNORM : 0)), 0};
        if (::WSAPoll(&entry, 1, 0) > 0)
            SetEvent(event.handle);
    }
    wanted.handle = reinterpret_cast<SFile::Handle>(event.handle);
    wanted.input = watched.input;
    wanted.output = watched.output;
    return true;
}

std::unique_ptr<Watch> Adopt(wxSocketBase* socket, ReadyHandler ready)
{
    // The toolkit's own watch (its window's messages) ends: the worker's
    // waits take its place.
    socket->Notify(false);
    socket->SetFlags(wxSOCKET_NOWAIT);
    const SOCKET native = Native(socket);
    u_long nonBlocking = 1;
    ::ioctlsocket(native, FIONBIO, &nonBlocking);
    // Answers from the device go out at once, not when Nagle allows.
    const BOOL on = TRUE;
    ::setsockopt(native, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    tcp_keepalive keepAlive{1, kKeepAliveIdleMs, kKeepAliveIntervalMs};
    DWORD ignored = 0;
    ::WSAIoctl(native, SIO_KEEPALIVE_VALS, &keepAlive, sizeof keepAlive, nullptr, 0, &ignored, nullptr, nullptr);
    return std::make_unique<SocketWatch>(native, std::move(ready));
}

long Send(wxSocketBase* socket, const unsigned char* bytes, std::size_t count)
{
    // Winsock says a socket takes more only after a send has found it full,
    // so send until one does.
    std::size_t total = 0;
    while (total < count)
    {
        const int sent = ::send(Native(socket), reinterpret_cast<const char*>(bytes + total),
                                static_cast<int>(count - total), 0);
        if (sent > 0)
            total += static_cast<std::size_t>(sent);
        else if (sent < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK)
            break;
        else
            return -1;
    }
    return static_cast<long>(total);
}

long Receive(wxSocketBase* socket, unsigned char* buffer, std::size_t size)
{
    const int got = ::recv(Native(socket), reinterpret_cast<char*>(buffer), static_cast<int>(size), 0);
    if (got > 0)
        return got;
    return got < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

void Shut(wxSocketBase* socket)
{
    ::shutdown(Native(socket), SD_BOTH);
}

bool PeerHasClosed(wxSocketBase* socket)
{
    // Winsock can say so only through its events, and Wine only once the
    // input has been read; the system's connection table knows at once.
    sockaddr_in local{}, peer{};
    int size = sizeof local;
    if (::getsockname(Native(socket), reinterpret_cast<sockaddr*>(&local), &size) != 0)
        return false;
    size = sizeof peer;
    if (::getpeername(Native(socket), reinterpret_cast<sockaddr*>(&peer), &size) != 0)
        return true; // no longer connected
    ULONG bytes = 0;
    std::vector<unsigned char> buffer;
    DWORD result = ERROR_INSUFFICIENT_BUFFER;
    while (result == ERROR_INSUFFICIENT_BUFFER)
    {
        buffer.resize(bytes + sizeof(MIB_TCPTABLE));
        bytes = static_cast<ULONG>(buffer.size());
        result = ::GetTcpTable(reinterpret_cast<MIB_TCPTABLE*>(buffer.data()), &bytes, FALSE);
    }
    if (result != NO_ERROR)
        return false;
    const auto* table = reinterpret_cast<const MIB_TCPTABLE*>(buffer.data());
    for (DWORD i = 0; i < table->dwNumEntries; ++i)
    {
        const MIB_TCPROW& row = table->table[i];
        if (row.dwLocalAddr == local.sin_addr.s_addr && (row.dwLocalPort & 0xFFFF) == local.sin_port &&
            row.dwRemoteAddr == peer.sin_addr.s_addr && (row.dwRemotePort & 0xFFFF) == peer.sin_port)
            return row.dwState != MIB_TCP_STATE_ESTAB;
    }
    return false;
}
} // namespace client_io
