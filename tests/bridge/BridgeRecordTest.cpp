#include "bridge/Bridge.h"
#include "bridge/Observable.h"
#include "bridge/ObserverBase.h"
#include "support/FilterEntries.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace
{
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
    IpFilter stored = FilterEntry("10.0.0.1", IPF_UNCHANGED, 1);
    stored.bridge_id = 9;
    source.AddIpFilter(stored);
    source.AddIpFilter(FilterEntry("10.0.0.2", IPF_DELETED, 2));
    source.AddIpFilter(FilterEntry("10.0.0.3", IPF_NEW, -1));

    Bridge target("/dev/ttyS3", 300, 1, 1);
    target.SetRow(4);
    target.AddIpFilter(FilterEntry("192.168.0.9", IPF_UNCHANGED, 5));
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

TEST(BridgeRecord, IsUnchangedOnlyWhileEverySettingAndAdmittedAddressIsTheSame)
{
    // Away from every default, so that a setting left out of the comparison
    // cannot match by chance.
    Bridge original("/dev/ttyUSB3", 57600, 5000, 12);
    original.SetDataBits(7);
    original.SetParity('E');
    original.SetStopBits(2);
    original.SetListenAddress("127.0.0.1");
    original.SetProtocol(Bridge::kRfc2217Protocol);
    original.AddIpFilter(FilterEntry("10.0.0.1", IPF_UNCHANGED, 1));
    original.AddIpFilter(FilterEntry("10.0.0.2", IPF_NEW));
    original.AddIpFilter(FilterEntry("10.0.0.3", IPF_DELETED, 3));

    const Bridge copy(&original);
    EXPECT_TRUE(copy.HasSettingsOf(original));
    EXPECT_TRUE(original.HasSettingsOf(copy));

    // The same addresses admitted: another order, without the deleted entry,
    // or with a deleted one of its own.
    Bridge reordered(&original);
    reordered.GetIpFilters() = {FilterEntry("10.0.0.9", IPF_DELETED, 9), FilterEntry("10.0.0.2", IPF_UNCHANGED, 2),
                                FilterEntry("10.0.0.1", IPF_MODIFIED, 1)};
    EXPECT_TRUE(reordered.HasSettingsOf(original));
    EXPECT_TRUE(original.HasSettingsOf(reordered));

    const std::vector<std::pair<const char*, std::function<void(Bridge&)>>> changes = {
        {"port", [](Bridge& b) { b.SetComPort("/dev/ttyUSB4"); }},
        {"baud", [](Bridge& b) { b.SetComBaud(115200); }},
        {"data bits", [](Bridge& b) { b.SetDataBits(8); }},
        {"parity", [](Bridge& b) { b.SetParity('O'); }},
        {"stop bits", [](Bridge& b) { b.SetStopBits(1); }},
        {"TCP port", [](Bridge& b) { b.SetTcpPort(5001); }},
        {"listen address", [](Bridge& b) { b.SetListenAddress("0.0.0.0"); }},
        {"protocol", [](Bridge& b) { b.SetProtocol(Bridge::kRawProtocol); }},
        {"another address", [](Bridge& b) { b.GetIpFilters()[1].ip_address = "10.0.0.4"; }},
        {"an address deleted", [](Bridge& b) { b.GetIpFilters()[0].state = IPF_DELETED; }},
        {"a deleted address back", [](Bridge& b) { b.GetIpFilters()[2].state = IPF_UNCHANGED; }},
    };
    for (const auto& [what, change] : changes)
    {
        Bridge changed(&original);
        change(changed);
        EXPECT_FALSE(changed.HasSettingsOf(original)) << what;
        EXPECT_FALSE(original.HasSettingsOf(changed)) << what;
    }
}

TEST(BridgeRecord, FindIpFilterSkipsDeletedEntries)
{
    Bridge bridge(nullptr);
    bridge.AddIpFilter(FilterEntry("10.0.0.1", IPF_DELETED, 1));
    bridge.AddIpFilter(FilterEntry("10.0.0.1", IPF_UNCHANGED, 2));
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
    bridge.AddIpFilter(FilterEntry("A", IPF_DELETED, 1));
    bridge.AddIpFilter(FilterEntry("B", IPF_UNCHANGED, 2));
    bridge.AddIpFilter(FilterEntry("C", IPF_DELETED, 3));
    bridge.AddIpFilter(FilterEntry("D", IPF_NEW, 4));
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
