#include "bridge/Bridge.h"
#include "bridge/Observable.h"
#include "bridge/ObserverBase.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
IpFilter Entry(const char* address, int id, int state)
{
    IpFilter entry;
    entry.ip_address = address;
    entry.id = id;
    entry.bridge_id = 9;
    entry.state = state;
    return entry;
}

std::vector<std::string> Addresses(const Bridge& bridge)
{
    std::vector<std::string> addresses;
    for (const IpFilter& entry : bridge.GetIpFilters())
        addresses.push_back(entry.ip_address.utf8_string());
    return addresses;
}

class Tape : public ObserverBase
{
public:
    Tape(std::vector<std::string>& log, const char* name) : m_log(log), m_name(name) {}
    void Update(long long value, int row, int kind) override
    {
        m_log.push_back(m_name + ":" + std::to_string(value) + "," + std::to_string(row) + "," + std::to_string(kind));
    }

private:
    std::vector<std::string>& m_log;
    std::string m_name;
};
} // namespace

TEST(BridgeRecord, WithoutASourceABridgeHasTheDefaults)
{
    const Bridge bridge(nullptr);
    EXPECT_EQ(bridge.GetComPort(), "/dev/ttyS0");
    EXPECT_EQ(bridge.GetComBaud(), 9600);
    EXPECT_EQ(bridge.GetTcpPort(), 4242);
    EXPECT_EQ(bridge.GetId(), -1);
    EXPECT_TRUE(bridge.GetIpFilters().empty());
    EXPECT_EQ(bridge.GetReadBytes(), 0);
    EXPECT_FALSE(bridge.IsRunning());
}

TEST(BridgeRecord, AssignCopiesSettingsAndEveryFilterButNotTheRow)
{
    Bridge source("/dev/ttyUSB1", 57600, 5000, 12);
    source.AddIpFilter(Entry("10.0.0.1", 1, IPF_UNCHANGED));
    source.AddIpFilter(Entry("10.0.0.2", 2, IPF_DELETED));
    source.AddIpFilter(Entry("10.0.0.3", -1, IPF_NEW));

    Bridge target("/dev/ttyS3", 300, 1, 1);
    target.SetRow(4);
    target.AddIpFilter(Entry("192.168.0.9", 5, IPF_UNCHANGED));
    target.Assign(&source);

    EXPECT_EQ(target.GetComPort(), "/dev/ttyUSB1");
    EXPECT_EQ(target.GetComBaud(), 57600);
    EXPECT_EQ(target.GetTcpPort(), 5000);
    EXPECT_EQ(target.GetId(), 12);
    EXPECT_EQ(target.GetRow(), 4);
    ASSERT_EQ(Addresses(target), (std::vector<std::string>{"10.0.0.1", "10.0.0.2", "10.0.0.3"}));
    EXPECT_EQ(target.GetIpFilters()[1].state, IPF_DELETED);
    EXPECT_EQ(target.GetIpFilters()[2].state, IPF_NEW);
    EXPECT_EQ(target.GetIpFilters()[0].bridge_id, 9);
    EXPECT_TRUE(target.GetRefusedIps().IsEmpty());

    target.Assign(nullptr);
    EXPECT_EQ(target.GetComPort(), "/dev/ttyS0");
    EXPECT_EQ(target.GetId(), -1);
    EXPECT_EQ(target.GetIpFilters().size(), 3u) << "resetting to the defaults keeps the lists";
}

TEST(BridgeRecord, FindIpFilterSkipsDeletedEntries)
{
    Bridge bridge(nullptr);
    bridge.AddIpFilter(Entry("10.0.0.1", 1, IPF_DELETED));
    bridge.AddIpFilter(Entry("10.0.0.1", 2, IPF_UNCHANGED));
    ASSERT_NE(bridge.FindIpFilter("10.0.0.1"), nullptr);
    EXPECT_EQ(bridge.FindIpFilter("10.0.0.1")->id, 2);
    EXPECT_EQ(bridge.FindIpFilter("10.0.0.10"), nullptr);
    EXPECT_EQ(bridge.FindIpFilter("10.0.0."), nullptr);

    bridge.MarkAllIpFiltersDeleted();
    EXPECT_EQ(bridge.FindIpFilter("10.0.0.1"), nullptr);
}

TEST(BridgeRecord, PurgeRemovesDeletedEntriesKeepingTheOrder)
{
    Bridge bridge(nullptr);
    bridge.AddIpFilter(Entry("A", 1, IPF_DELETED));
    bridge.AddIpFilter(Entry("B", 2, IPF_UNCHANGED));
    bridge.AddIpFilter(Entry("C", 3, IPF_DELETED));
    bridge.AddIpFilter(Entry("D", 4, IPF_NEW));
    bridge.PurgeDeletedIpFilters();
    EXPECT_EQ(Addresses(bridge), (std::vector<std::string>{"B", "D"}));
}

TEST(BridgeRecord, StopOfABridgeThatNeverRanOnlyNotifies)
{
    std::vector<std::string> log;
    Tape tape(log, "t");
    Bridge bridge(nullptr);
    bridge.SetRow(2);
    bridge.AddObserver(&tape);
    bridge.Stop();
    EXPECT_EQ(log, (std::vector<std::string>{"t:0,2,2", "t:0,2,0", "t:0,2,1"}));
}

TEST(Observable, EveryObserverHearsEveryChangeInTheOrderAdded)
{
    std::vector<std::string> log;
    Tape first(log, "first");
    Tape second(log, "second");
    Observable subject;
    subject.NotifyObservers(1, 0, UPDATE_READ); // nobody listens yet
    subject.AddObserver(&first);
    subject.AddObserver(&second);
    subject.NotifyObservers(10, 4, UPDATE_WRITE);
    subject.RemoveObserver(&first);
    subject.NotifyObservers(2, 4, UPDATE_CLIENTS);
    EXPECT_EQ(log, (std::vector<std::string>{"first:10,4,1", "second:10,4,1", "second:2,4,2"}));
}
