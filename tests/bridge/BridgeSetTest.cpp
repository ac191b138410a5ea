#include "bridge/Bridge.h"
#include "bridge/BridgeSet.h"
#include "support/EventLoop.h"
#include "support/LogRecorder.h"
#include "support/PtyPair.h"
#include "support/TcpClient.h"

#include <gtest/gtest.h>

#include <array>

namespace
{
std::unique_ptr<Bridge> Stored(const PtyPair& pty, int baud, unsigned short tcpPort, long long id)
{
    return std::make_unique<Bridge>(wxString(pty.SlavePath()), baud, tcpPort, id);
}
} // namespace

TEST(BridgeSet, ApplyKeepsUnchangedBridgesWithTheirClientsAndStopsTheOthersBeforeAnyStarts)
{
    LogRecorder log;
    std::array<PtyPair, 4> ptys;
    const unsigned short keptPort = FreeTcpPort(), changedPort = FreeTcpPort(), movedPort = FreeTcpPort();
    BridgeSet set;
    std::vector<std::unique_ptr<Bridge>> first;
    first.push_back(Stored(ptys[0], 115200, keptPort, 1));
    first.push_back(Stored(ptys[1], 115200, changedPort, 2));
    first.push_back(Stored(ptys[2], 115200, movedPort, 3));
    set.Start(std::move(first));
    ASSERT_EQ(set.Listening(), 3);

    std::array<TcpClient, 3> clients;
    ASSERT_TRUE(clients[0].Connect(keptPort) && clients[1].Connect(changedPort) && clients[2].Connect(movedPort));
    ASSERT_TRUE(PumpUntil([&] { return log.CountContaining("New client connection accepted") == 3; }));

    // The second changes its speed, the third is removed, and a new one takes
    // the third's TCP port, which is free only once the third has stopped.
    std::vector<std::unique_ptr<Bridge>> stored;
    stored.push_back(Stored(ptys[0], 115200, keptPort, 1));
    stored.push_back(Stored(ptys[1], 9600, changedPort, 2));
    stored.push_back(Stored(ptys[3], 115200, movedPort, 4));
    const BridgeSet::Changes changes = set.Apply(std::move(stored));
    EXPECT_EQ(changes.unchanged, 1);
    EXPECT_EQ(changes.restarted, 1);
    EXPECT_EQ(changes.started, 1);
    EXPECT_EQ(changes.stopped, 1);
    EXPECT_EQ(set.Count(), 3u);
    EXPECT_EQ(set.Listening(), 3) << "the new bridge has the port the removed one freed";
    EXPECT_TRUE(log.Contains("Bridge 3 (" + ptys[2].SlavePath() + ", TCP port " + std::to_string(movedPort) +
                             ") is no longer stored: it stops"));
    EXPECT_TRUE(log.Contains("Bridge 2 (" + ptys[1].SlavePath() + ", TCP port " + std::to_string(changedPort) +
                             ") is changed: it starts"));

    EXPECT_TRUE(PumpUntil([&] { return !clients[1].Poll() && !clients[2].Poll(); }))
        << "the changed and the removed bridge's clients were dropped";
    ASSERT_TRUE(ptys[0].Send("still here"));
    EXPECT_TRUE(PumpUntil([&] { return clients[0].Poll() && clients[0].Received() == "still here"; }));
    ASSERT_TRUE(clients[0].Send("and the writer"));
    std::string written;
    EXPECT_TRUE(PumpUntil([&] {
        written += ptys[0].ReceiveAvailable();
        return written == "and the writer";
    }));

    TcpClient moved;
    ASSERT_TRUE(moved.Connect(movedPort));
    ASSERT_TRUE(PumpUntil([&] { return log.CountContaining("New client connection accepted") == 4; }));
    ASSERT_TRUE(moved.Send("new"));
    std::string reached;
    EXPECT_TRUE(PumpUntil([&] {
        reached += ptys[3].ReceiveAvailable();
        return reached == "new";
    })) << "the new bridge serves the new device";

    set.StopAll();
    EXPECT_EQ(set.Count(), 0u);
    EXPECT_TRUE(PumpUntil([&] { return !clients[0].Poll() && !moved.Poll(); }));
}
