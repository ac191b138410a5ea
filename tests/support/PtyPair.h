#pragma once

#include <chrono>
#include <string>

// A pseudo-terminal pair that stands in for a serial port: the code under
// test opens SlavePath() as its device, the test plays the far end on the
// master. Every wait is bounded.
class PtyPair
{
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool IsOk() const { return m_master >= 0; }
    const std::string& SlavePath() const { return m_slavePath; }
    int Master() const { return m_master; }
    // The test's own descriptor of the slave side, kept open so that the
    // terminal stays alive between openings by the code under test.
    int Slave() const { return m_slave; }

    // Sends bytes as if the device had sent them.
    bool Send(const std::string& bytes, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Collects exactly count bytes the code under test wrote, or fewer on time-out.
    std::string Receive(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Whatever arrives until nothing has come for quiet.
    std::string ReceiveUntilQuiet(std::chrono::milliseconds quiet);
    // Whatever has arrived, without waiting.
    std::string ReceiveAvailable();

    // Hangs up, as an unplugged adapter would.
    void CloseMaster();
    // Fills the terminal towards this end with zeros that it leaves unread,
    // as a device that has read nothing for a while: the port takes no more.
    // Returns how many bytes that took.
    std::size_t FillUnread();

private:
    int m_master;
    int m_slave;
    std::string m_slavePath;
};

// Waits until done() holds, at most timeout; true when it did.
template <typename Condition>
bool WaitFor(Condition done, std::chrono::milliseconds timeout = std::chrono::seconds(5));

#include <thread>

template <typename Condition>
bool WaitFor(Condition done, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done())
    {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
