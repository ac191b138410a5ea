#pragma once

#include <chrono>
#include <string>

// A TCP client of the code under test, on a plain non-blocking socket.
// Used by one thread at a time; every wait is bounded.
class TcpClient
{
public:
    TcpClient() = default;
    ~TcpClient();
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    // Connects to to:port from the local address from (any address of
    // 127/8 works on Linux); to may be IPv6 (::1), and the client then comes
    // from ::1. receiveBuffer > 0 shrinks the socket's receive buffer first,
    // for a client that is meant to fall behind.
    bool Connect(unsigned short port, const char* from = "127.0.0.1", int receiveBuffer = 0,
                 const char* to = "127.0.0.1");
    int Fd() const { return m_fd; }
    // Where the bridge sees it from, as its log and trace write it:
    // "127.0.0.1:51234" or "[::1]:51234".
    std::string LocalName() const;
    // Listens on the port of every local IPv4 address, or of address, instead,
    // as another program that holds it would; Close frees it.
    bool Listen(unsigned short port, const char* address = "0.0.0.0");

    // Sends every byte, waiting at most timeout for room.
    bool Send(const std::string& bytes, std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // Takes what has arrived, without waiting. False once the peer has closed
    // or the connection failed.
    bool Poll();
    const std::string& Received() const { return m_received; }
    // Reads what has arrived and throws it away; false once the peer closed.
    bool Drain();
    bool PeerClosed() const { return m_peerClosed; }

    void Close();
    // Closes with a reset instead of an orderly close, as a crashed peer would.
    void Reset();

private:
    int m_fd = -1;
    std::string m_received;
    bool m_peerClosed = false;
};

// A TCP port that nothing listens on or lingers on right now, below the range
// the system takes clients' own ports from, and that this process was not
// given before.
unsigned short FreeTcpPort();
