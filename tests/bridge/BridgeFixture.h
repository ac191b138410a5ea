#pragma once

#include "bridge/Bridge.h"
#include "bridge/ObserverBase.h"
#include "support/EventLoop.h"
#include "support/LogRecorder.h"
#include "support/PatternStream.h"
#include "support/PtyPair.h"
#include "support/TcpClient.h"

#include <gtest/gtest.h>
#include <wx/thread.h>

#include <memory>
#include <vector>

// Remembers every notification and whether it came on the GUI thread.
class RecordingObserver : public ObserverBase
{
public:
    struct Call
    {
        long long value;
        int row;
        int kind;
        bool onMainThread;
    };

    void Update(long long value, int row, int kind) override
    {
        calls.push_back({value, row, kind, wxThread::IsMain()});
    }

    int Count(int kind) const
    {
        int count = 0;
        for (const Call& call : calls)
            count += call.kind == kind;
        return count;
    }

    long long Last(int kind) const
    {
        for (auto call = calls.rbegin(); call != calls.rend(); ++call)
        {
            if (call->kind == kind)
                return call->value;
        }
        return -1;
    }

    std::vector<Call> calls;
};

// A bridge between a pseudo-terminal and a free TCP port, observed.
class BridgeTest : public ::testing::Test
{
protected:
    static constexpr int kRow = 3;

    void SetUp() override
    {
        ASSERT_TRUE(pty.IsOk());
        port = FreeTcpPort();
        bridge = std::make_unique<Bridge>(wxString(pty.SlavePath()), 115200, port, 7);
        bridge->SetRow(kRow);
        bridge->AddObserver(&observer);
    }

    void TearDown() override { bridge->Stop(); }

    void StartBridge()
    {
        bridge->Start();
        ASSERT_TRUE(bridge->IsListening()) << bridge->GetProblem();
        ASSERT_TRUE(bridge->IsSerialOpen()) << bridge->GetProblem();
    }

    // Connects, to to (::1 for IPv6), and waits until the bridge has admitted
    // the client.
    bool Admit(TcpClient& client, const char* from = "127.0.0.1", int receiveBuffer = 0, const char* to = "127.0.0.1")
    {
        const int before = bridge->GetClientCount();
        return client.Connect(port, from, receiveBuffer, to) &&
               PumpUntil([&] { return bridge->GetClientCount() == before + 1; });
    }

    // Admits count more clients, each read by a thread that checks a pattern
    // stream of bytes bytes. Declare the readers after the clients, so that
    // they stop before the sockets they read are closed.
    bool AdmitReaders(std::size_t count, std::uint64_t bytes, std::vector<std::unique_ptr<TcpClient>>& clients,
                      std::vector<std::unique_ptr<PatternReader>>& readers)
    {
        for (std::size_t i = 0; i < count; ++i)
        {
            clients.push_back(std::make_unique<TcpClient>());
            if (!Admit(*clients.back()))
                return false;
            readers.push_back(std::make_unique<PatternReader>(clients.back()->Fd(), bytes));
        }
        return true;
    }

    // Pumps until the serial side has received count bytes; returns them all.
    std::string SerialReceives(size_t count)
    {
        std::string received;
        PumpUntil([&] {
            received += pty.ReceiveAvailable();
            return received.size() >= count;
        });
        return received;
    }

    // Pumps for a while and returns what reached the serial side meanwhile.
    std::string SerialReceivesMeanwhile(std::chrono::milliseconds duration)
    {
        PumpFor(duration);
        return pty.ReceiveAvailable();
    }

    // Pumps until every client has received count bytes.
    bool AllReceive(std::vector<TcpClient*> clients, size_t count)
    {
        return PumpUntil([&] {
            bool all = true;
            for (TcpClient* client : clients)
            {
                client->Poll();
                all = all && client->Received().size() >= count;
            }
            return all;
        });
    }

    LogRecorder log;
    PtyPair pty;
    unsigned short port = 0;
    RecordingObserver observer;
    std::unique_ptr<Bridge> bridge;
};
