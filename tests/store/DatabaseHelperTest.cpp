#include "bridge/Bridge.h"
#include "store/DatabaseHelper.h"
#include "support/FilterEntries.h"
#include "support/LogRecorder.h"
#include "support/RawSqlite.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <random>

using Rows = std::vector<std::vector<std::string>>;

namespace
{
class DatabaseHelperTest : public ::testing::Test
{
protected:
    // Saves a new bridge and returns its id.
    int Insert(const char* port, int tcpPort, std::vector<const char*> addresses = {})
    {
        Bridge bridge(wxString(port), 9600, static_cast<wxUint16>(tcpPort), -1);
        for (const char* address : addresses)
            bridge.AddIpFilter(FilterEntry(address, IPF_NEW));
        EXPECT_TRUE(DatabaseHelper::saveBridge(bridge, ACTION_UPDATE).ok);
        return bridge.GetId();
    }

    std::vector<std::unique_ptr<Bridge>> Load(bool expectOk = true)
    {
        std::vector<std::unique_ptr<Bridge>> bridges;
        const StoreResult result = DatabaseHelper::loadBridges(bridges);
        EXPECT_EQ(result.ok, expectOk) << result.message;
        return bridges;
    }

    Rows Query(const std::string& sql) { return RawSqlite("bridges.db").Rows(sql); }

    TempDir dir;
    LogRecorder log;
};
} // namespace

TEST_F(DatabaseHelperTest, TheFirstLoadCreatesAnEmptyFileAndNoBridges)
{
    std::vector<std::unique_ptr<Bridge>> none;
    EXPECT_FALSE(DatabaseHelper::loadBridges(none, StoreFile::MustExist).ok) << "unless asked not to";
    EXPECT_FALSE(std::filesystem::exists(dir / "bridges.db"));

    EXPECT_TRUE(Load().empty());
    EXPECT_TRUE(std::filesystem::exists(dir / "bridges.db"));
    EXPECT_TRUE(Query("select name from sqlite_master").empty()) << "loading creates no table";
}

TEST_F(DatabaseHelperTest, TheFirstSaveCreatesBothTablesWithTheirStatements)
{
    Load();
    Insert("/dev/ttyS0", 4242);
    // SQLite keeps each statement without its closing semicolon, and adds
    // the columns of the serial character frame and the listen address to
    // the one of bridges.
    const auto statement = [](std::string text) { return text.substr(0, text.size() - 1); };
    const std::string bridges = statement(kBridgesSchema);
    EXPECT_EQ(Query("select sql from sqlite_master where name='bridges'"),
              Rows{{bridges.substr(0, bridges.size() - 1) +
                    ", [data_bits] INTEGER  NULL, [parity] VARCHAR(1)  NULL, [stop_bits] INTEGER  NULL"
                    ", [listen_address] TEXT  NULL, [protocol] TEXT  NULL, [trace_file] TEXT  NULL)"}});
    EXPECT_EQ(Query("select sql from sqlite_master where name='ipfilters'"), Rows{{statement(kIpFiltersSchema)}});
    EXPECT_TRUE(log.Contains("br->GetId()=-1"));
}

TEST_F(DatabaseHelperTest, AnInsertedBridgeGetsItsIdAndItsFilters)
{
    Bridge bridge(wxString("/dev/ttyUSB0"), 115200, 5000, -1);
    bridge.AddIpFilter(FilterEntry("10.0.0.1", IPF_NEW));
    bridge.AddIpFilter(FilterEntry("10.0.0.9", IPF_DELETED)); // added and removed before any save
    bridge.AddIpFilter(FilterEntry("10.0.0.2", IPF_NEW));
    ASSERT_TRUE(DatabaseHelper::saveBridge(bridge, ACTION_UPDATE).ok);

    const int id = bridge.GetId();
    ASSERT_GT(id, 0);
    EXPECT_EQ(Query("select id, com_port, com_baud, tcp_port from bridges"),
              (Rows{{std::to_string(id), "/dev/ttyUSB0", "115200", "5000"}}));
    const Rows filters = Query("select id, bridge_id, ip_address from ipfilters order by id");
    ASSERT_EQ(filters.size(), 2u);
    const std::vector<IpFilter>& entries = bridge.GetIpFilters();
    ASSERT_EQ(entries.size(), 3u) << "an insert leaves removed entries in the list";
    EXPECT_EQ(filters[0], (std::vector<std::string>{std::to_string(entries[0].id), std::to_string(id), "10.0.0.1"}));
    EXPECT_EQ(filters[1], (std::vector<std::string>{std::to_string(entries[2].id), std::to_string(id), "10.0.0.2"}));
    EXPECT_EQ(entries[0].state, IPF_UNCHANGED);
    EXPECT_EQ(entries[1].state, IPF_DELETED);
    EXPECT_EQ(entries[2].state, IPF_UNCHANGED);
    for (const IpFilter& entry : entries)
        EXPECT_EQ(entry.bridge_id, id);
}

TEST_F(DatabaseHelperTest, SavingTwiceWritesNoDuplicatesAndALaterDeleteRemovesTheRow)
{
    Bridge bridge(wxString("/dev/ttyS1"), 9600, 4000, -1);
    bridge.AddIpFilter(FilterEntry("192.168.1.10", IPF_NEW));
    bridge.AddIpFilter(FilterEntry("192.168.1.11", IPF_NEW));
    ASSERT_TRUE(DatabaseHelper::saveBridge(bridge, ACTION_UPDATE).ok);
    ASSERT_TRUE(DatabaseHelper::saveBridge(bridge, ACTION_UPDATE).ok);
    EXPECT_EQ(Query("select count(*) from ipfilters"), Rows{{"2"}});

    bridge.FindIpFilter("192.168.1.10")->state = IPF_DELETED;
    bridge.AddIpFilter(FilterEntry("192.168.1.12", IPF_NEW));
    ASSERT_TRUE(DatabaseHelper::saveBridge(bridge, ACTION_UPDATE).ok);
    EXPECT_EQ(Query("select ip_address from ipfilters order by id"), (Rows{{"192.168.1.11"}, {"192.168.1.12"}}));
    EXPECT_EQ(Addresses(bridge), (std::vector<std::string>{"192.168.1.11", "192.168.1.12"}))
        << "an update drops the deleted entries from the list";
}

TEST_F(DatabaseHelperTest, AnUpdateTouchesOnlyItsOwnRow)
{
    Insert("/dev/ttyS0", 4000);
    const int middle = Insert("/dev/ttyS1", 4001);
    Insert("/dev/ttyS2", 4002);
    const Rows before = Query("select * from bridges order by id");

    std::vector<std::unique_ptr<Bridge>> bridges = Load();
    ASSERT_EQ(bridges.size(), 3u);
    Bridge& changed = *bridges[1];
    ASSERT_EQ(changed.GetId(), middle);
    changed.SetComPort("/dev/ttyACM0");
    changed.SetComBaud(57600);
    changed.SetTcpPort(6001);
    changed.SetTraceFile("/var/log/acm0.trace");
    ASSERT_TRUE(DatabaseHelper::saveBridge(changed, ACTION_UPDATE).ok);

    Rows expected = before;
    expected[1] = {std::to_string(middle), "/dev/ttyACM0", "57600", "6001", "8", "N", "1", "NULL", "NULL",
                   "/var/log/acm0.trace"};
    EXPECT_EQ(Query("select * from bridges order by id"), expected);
}

TEST_F(DatabaseHelperTest, ADeleteRemovesTheBridgeAndItsFiltersOnly)
{
    const int kept = Insert("/dev/ttyS0", 4000, {"10.0.0.1"});
    const int gone = Insert("/dev/ttyS1", 4001, {"10.0.0.2", "10.0.0.3"});
    Bridge bridge(wxString("/dev/ttyS1"), 9600, 4001, gone);
    ASSERT_TRUE(DatabaseHelper::saveBridge(bridge, ACTION_DELETE).ok);
    EXPECT_EQ(Query("select id from bridges"), Rows{{std::to_string(kept)}});
    EXPECT_EQ(Query("select bridge_id, ip_address from ipfilters"), (Rows{{std::to_string(kept), "10.0.0.1"}}));

    Bridge unsaved(nullptr);
    EXPECT_TRUE(DatabaseHelper::saveBridge(unsaved, ACTION_DELETE).ok) << "nothing to delete is no failure";
}

TEST_F(DatabaseHelperTest, RowsLoadWithNullsAsEmpty)
{
    RawSqlite other("bridges.db");
    ASSERT_EQ(other.Execute(std::string(kBridgesSchema) + kIpFiltersSchema), "");
    ASSERT_EQ(other.Execute("insert into bridges (id, com_port, com_baud, tcp_port) values (3, NULL, NULL, NULL);"
                            "insert into bridges (id, com_port, com_baud, tcp_port) values (8, 'COM4', '19200', 70000);"
                            "insert into ipfilters (id, bridge_id, ip_address) values (20, 8, '10.1.1.2');"
                            "insert into ipfilters (id, bridge_id, ip_address) values (11, 8, NULL);"
                            "insert into ipfilters (id, bridge_id, ip_address) values (12, 9, '10.9.9.9');"),
              "");

    std::vector<std::unique_ptr<Bridge>> bridges = Load();
    ASSERT_EQ(bridges.size(), 2u);
    EXPECT_EQ(bridges[0]->GetId(), 3);
    EXPECT_EQ(bridges[0]->GetComPort(), "");
    EXPECT_EQ(bridges[0]->GetComBaud(), 0);
    EXPECT_EQ(bridges[0]->GetTcpPort(), 0);
    EXPECT_TRUE(bridges[0]->GetIpFilters().empty());

    EXPECT_EQ(bridges[1]->GetComPort(), "COM4");
    EXPECT_EQ(bridges[1]->GetComBaud(), 19200);
    EXPECT_EQ(bridges[1]->GetTcpPort(), 0) << "70000 is no TCP port";
    const std::vector<IpFilter>& entries = bridges[1]->GetIpFilters();
    ASSERT_EQ(entries.size(), 2u);
    std::vector<std::pair<int, std::string>> loaded;
    for (const IpFilter& entry : entries)
    {
        loaded.emplace_back(entry.id, entry.ip_address.utf8_string());
        EXPECT_EQ(entry.bridge_id, -1);
        EXPECT_EQ(entry.state, IPF_UNCHANGED);
    }
    std::sort(loaded.begin(), loaded.end());
    EXPECT_EQ(loaded, (std::vector<std::pair<int, std::string>>{{11, ""}, {20, "10.1.1.2"}}));
}

TEST_F(DatabaseHelperTest, StoredTcpPortsOutsideTheRangeStopTheirBridgesAndStayAsTheyAre)
{
    RawSqlite other("bridges.db");
    ASSERT_EQ(other.Execute(std::string(kBridgesSchema) + kIpFiltersSchema +
                            "insert into bridges (com_port, com_baud, tcp_port) values ('COM1', 9600, 0);"
                            "insert into bridges (com_port, com_baud, tcp_port) values ('COM1', 9600, NULL);"
                            "insert into bridges (com_port, com_baud, tcp_port) values ('COM1', 9600, -1);"
                            "insert into bridges (com_port, com_baud, tcp_port) values ('COM1', 9600, 65536);"
                            "insert into bridges (com_port, com_baud, tcp_port) values ('COM1', 9600, 70000);"
                            "insert into bridges (com_port, com_baud, tcp_port) values ('COM1', 9600, 1);"
                            "insert into bridges (com_port, com_baud, tcp_port) values ('COM1', 9600, 65535);"),
              "");
    const std::string before = FileBytes("bridges.db");
    std::vector<std::unique_ptr<Bridge>> bridges = Load();
    ASSERT_EQ(bridges.size(), 7u);
    // The ends of the range are ports like any other.
    for (const unsigned port : {65535u, 1u})
    {
        const std::unique_ptr<Bridge> edge = std::move(bridges.back());
        bridges.pop_back();
        EXPECT_EQ(edge->GetTcpPort(), port);
        EXPECT_EQ(edge->GetStoredTcpPort(), "") << port;
    }
    const char* stored[] = {"0", "NULL", "-1", "65536", "70000"};
    for (std::size_t i = 0; i < bridges.size(); ++i)
    {
        Bridge& bridge = *bridges[i];
        bridge.Start();
        EXPECT_FALSE(bridge.IsListening()) << stored[i];
        EXPECT_FALSE(bridge.IsSerialOpen());
        EXPECT_EQ(bridge.GetState(), wxString::Format("TCP port %s out of range", stored[i]));
        const wxString problem = wxString::Format("TCP port %s is not one from 1 to 65535; nothing listens", stored[i]);
        EXPECT_EQ(bridge.GetProblem(), problem);
        EXPECT_TRUE(log.Contains("Bridge::Start() - " + problem.utf8_string()));
        bridge.Stop();
    }
    EXPECT_EQ(FileBytes("bridges.db"), before);
}

TEST_F(DatabaseHelperTest, TheAddedColumnsAreKeptAndOldFilesLoadWithTheirDefaults)
{
    RawSqlite other("bridges.db");
    ASSERT_EQ(other.Execute(std::string(kBridgesSchema) + kIpFiltersSchema +
                            "insert into bridges (com_port, com_baud, tcp_port) values ('/dev/ttyS4', 300, 4300);"),
              "");
    std::vector<std::unique_ptr<Bridge>> bridges = Load();
    ASSERT_EQ(bridges.size(), 1u);
    EXPECT_EQ(bridges[0]->GetDataBits(), 8);
    EXPECT_EQ(bridges[0]->GetParity(), 'N');
    EXPECT_EQ(bridges[0]->GetStopBits(), 1);
    EXPECT_EQ(bridges[0]->GetListenAddress(), "");
    EXPECT_EQ(bridges[0]->GetProtocol(), "raw");
    EXPECT_EQ(bridges[0]->GetTraceFile(), "");
    ASSERT_TRUE(DatabaseHelper::saveBridge(*bridges[0], ACTION_UPDATE).ok);

    Bridge framed(wxString("/dev/ttyS5"), 1200, 4301, -1);
    framed.SetDataBits(7);
    framed.SetParity('E');
    framed.SetStopBits(2);
    framed.SetListenAddress("127.0.0.1");
    framed.SetProtocol("rfc2217");
    framed.SetTraceFile(wxString::FromUTF8("traces/ttyS5 Größe.log"));
    ASSERT_TRUE(DatabaseHelper::saveBridge(framed, ACTION_UPDATE).ok);
    // A program that knows only the first columns still adds rows.
    ASSERT_EQ(other.Execute("insert into bridges (com_port, com_baud, tcp_port) values ('/dev/ttyS6', 300, 4302);"), "");

    bridges = Load();
    ASSERT_EQ(bridges.size(), 3u);
    EXPECT_EQ(bridges[0]->GetComPort(), "/dev/ttyS4") << "the older row survives the added columns";
    EXPECT_EQ(bridges[0]->GetDataBits(), 8);
    EXPECT_EQ(bridges[0]->GetListenAddress(), "");
    EXPECT_EQ(bridges[1]->GetDataBits(), 7);
    EXPECT_EQ(bridges[1]->GetParity(), 'E');
    EXPECT_EQ(bridges[1]->GetStopBits(), 2);
    EXPECT_EQ(bridges[1]->GetListenAddress(), "127.0.0.1");
    EXPECT_EQ(bridges[1]->GetProtocol(), "rfc2217");
    EXPECT_EQ(bridges[1]->GetTraceFile(), wxString::FromUTF8("traces/ttyS5 Größe.log"));
    EXPECT_EQ(bridges[2]->GetListenAddress(), "");
    EXPECT_EQ(bridges[2]->GetProtocol(), "raw");
    EXPECT_EQ(bridges[2]->GetTraceFile(), "");

    bridges[1]->SetListenAddress("");
    bridges[1]->SetProtocol("raw");
    bridges[1]->SetTraceFile("");
    ASSERT_TRUE(DatabaseHelper::saveBridge(*bridges[1], ACTION_UPDATE).ok);
    EXPECT_EQ(Query("select listen_address, protocol, trace_file from bridges order by id"),
              (Rows{{"NULL", "NULL", "NULL"}, {"NULL", "NULL", "NULL"}, {"NULL", "NULL", "NULL"}}))
        << "all addresses, raw bytes and no trace are stored as files without the columns mean them";
}

TEST_F(DatabaseHelperTest, QuotesSemicolonsAndNonAsciiTextRoundTripVerbatim)
{
    const wxString port = wxString::FromUTF8("/dev/serial/by-id/usb-O'Brien;drop table bridges;--Größe-ÄÖÜ-€");
    const wxString address = wxString::FromUTF8("10.0.0.1'); delete from ipfilters; --ü");
    Bridge bridge(port, 9600, 4242, -1);
    bridge.AddIpFilter(FilterEntry(address, IPF_NEW));
    ASSERT_TRUE(DatabaseHelper::saveBridge(bridge, ACTION_UPDATE).ok);
    ASSERT_TRUE(DatabaseHelper::saveBridge(bridge, ACTION_UPDATE).ok);

    std::vector<std::unique_ptr<Bridge>> bridges = Load();
    ASSERT_EQ(bridges.size(), 1u);
    EXPECT_EQ(bridges[0]->GetComPort(), port);
    ASSERT_EQ(bridges[0]->GetIpFilters().size(), 1u);
    EXPECT_EQ(bridges[0]->GetIpFilters()[0].ip_address, address);
}

TEST_F(DatabaseHelperTest, AFileWithoutIpFiltersLoadsItsBridgesAndSaysSo)
{
    RawSqlite other("bridges.db");
    ASSERT_EQ(other.Execute(std::string(kBridgesSchema) +
                            "insert into bridges (com_port, com_baud, tcp_port) values ('COM2', 9600, 4100);"),
              "");
    const std::string before = FileBytes("bridges.db");

    std::vector<std::unique_ptr<Bridge>> bridges;
    const StoreResult result = DatabaseHelper::loadBridges(bridges);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.message.Find("ipfilters"), wxNOT_FOUND) << result.message;
    ASSERT_EQ(bridges.size(), 1u);
    EXPECT_TRUE(log.Contains(result.message.utf8_string()));
    EXPECT_EQ(FileBytes("bridges.db"), before) << "the store does not repair a file by loading it";
    // Nor by saving into it: the old bridge would be served to everyone.
    Bridge added(nullptr);
    const StoreResult refused = DatabaseHelper::saveBridge(added, ACTION_UPDATE);
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.message,
              "Cannot save the bridge to bridges.db: it has no ipfilters table, so its bridges would admit every "
              "address");
    EXPECT_EQ(FileBytes("bridges.db"), before);

    // Started, it would admit every address.
    bridges[0]->Start();
    EXPECT_FALSE(bridges[0]->IsListening());
    EXPECT_EQ(bridges[0]->GetState(), "allow-list could not be read");

    // The same for a table that is there but cannot be read.
    bridges.clear();
    ASSERT_EQ(other.Execute("create table ipfilters (id integer, bridge_id integer);"
                            "insert into ipfilters values (1, 1);"),
              "");
    const StoreResult unreadable = DatabaseHelper::loadBridges(bridges);
    EXPECT_FALSE(unreadable.ok);
    EXPECT_NE(unreadable.message.Find("Cannot read the IP filters"), wxNOT_FOUND) << unreadable.message;
    ASSERT_EQ(bridges.size(), 1u);
    bridges[0]->Start();
    EXPECT_FALSE(bridges[0]->IsListening());
    EXPECT_EQ(bridges[0]->GetState(), "allow-list could not be read");
}

TEST_F(DatabaseHelperTest, ACorruptFileIsReportedAndNeverOverwritten)
{
    std::string garbage(8192, '\0');
    std::mt19937 random(7);
    for (char& byte : garbage)
        byte = static_cast<char>(random());
    std::ofstream("bridges.db", std::ios::binary) << garbage;

    std::vector<std::unique_ptr<Bridge>> bridges;
    const StoreResult loaded = DatabaseHelper::loadBridges(bridges);
    EXPECT_FALSE(loaded.ok);
    EXPECT_EQ(loaded.message, "Cannot read the bridges from bridges.db: file is not a database");
    EXPECT_TRUE(bridges.empty());

    Bridge bridge(nullptr);
    const StoreResult saved = DatabaseHelper::saveBridge(bridge, ACTION_UPDATE);
    EXPECT_FALSE(saved.ok);
    EXPECT_EQ(saved.message, "Cannot save the bridge to bridges.db: file is not a database");
    EXPECT_EQ(bridge.GetId(), -1);
    EXPECT_EQ(FileBytes("bridges.db"), garbage);
}

TEST_F(DatabaseHelperTest, ATruncatedFileIsReportedAndLeftAsItIs)
{
    for (int i = 0; i < 40; ++i)
        Insert("/dev/ttyS0", 4000 + i, {"10.0.0.1", "10.0.0.2"});
    const std::string whole = FileBytes("bridges.db");
    ASSERT_GT(whole.size(), 4096u);
    const std::string truncated = whole.substr(0, whole.size() / 2 + 100);
    std::ofstream("bridges.db", std::ios::binary | std::ios::trunc) << truncated;

    std::vector<std::unique_ptr<Bridge>> bridges;
    const StoreResult loaded = DatabaseHelper::loadBridges(bridges);
    EXPECT_FALSE(loaded.ok);
    EXPECT_NE(loaded.message.Find("Cannot read the bridges from bridges.db"), wxNOT_FOUND) << loaded.message;
    EXPECT_EQ(FileBytes("bridges.db"), truncated);
}

TEST_F(DatabaseHelperTest, AForeignSchemaIsReportedAndLeftAsItIs)
{
    RawSqlite other("bridges.db");
    ASSERT_EQ(other.Execute("CREATE TABLE bridges (name TEXT, device TEXT, speed INTEGER);"
                            "insert into bridges values ('lab', '/dev/ttyUSB0', 9600);"),
              "");
    const std::string before = FileBytes("bridges.db");
    std::vector<std::unique_ptr<Bridge>> bridges;
    const StoreResult loaded = DatabaseHelper::loadBridges(bridges);
    EXPECT_FALSE(loaded.ok);
    EXPECT_TRUE(bridges.empty());
    EXPECT_EQ(FileBytes("bridges.db"), before);
}

TEST_F(DatabaseHelperTest, HugeNegativeAndLongValuesLoadWithoutHarm)
{
    RawSqlite other("bridges.db");
    const std::string longText(100000, 'x');
    ASSERT_EQ(other.Execute(std::string(kBridgesSchema) + kIpFiltersSchema +
                            "insert into bridges (com_port, com_baud, tcp_port) values ('" + longText +
                            "', -5, 99999999999);"
                            "insert into bridges (com_port, com_baud, tcp_port) values ('COM1', 99999999999, -1);"
                            "insert into ipfilters (bridge_id, ip_address) values (1, '" + longText + "');"),
              "");
    std::vector<std::unique_ptr<Bridge>> bridges = Load();
    ASSERT_EQ(bridges.size(), 2u);
    EXPECT_EQ(bridges[0]->GetComPort().length(), longText.size());
    EXPECT_EQ(bridges[0]->GetComBaud(), -5);
    EXPECT_EQ(bridges[0]->GetTcpPort(), 0) << "no TCP port";
    EXPECT_EQ(bridges[1]->GetTcpPort(), 0);
    ASSERT_EQ(bridges[0]->GetIpFilters().size(), 1u);
    EXPECT_EQ(bridges[0]->GetIpFilters()[0].ip_address.length(), longText.size());
}

TEST_F(DatabaseHelperTest, AFileAnotherProcessWritesIsReadMeanwhileAndASaveFailsOnlyAfterWaiting)
{
    const int keptId = Insert("/dev/ttyS0", 4000);
    const std::string before = FileBytes("bridges.db");
    int ready[2], release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0)
    {
        // A writer that takes its time, uncommitted.
        sqlite3* database = nullptr;
        sqlite3_open("bridges.db", &database);
        const bool locked = sqlite3_exec(database, "begin immediate; update bridges set com_baud = 300;", nullptr,
                                         nullptr, nullptr) == SQLITE_OK;
        char signal = locked ? 'y' : 'n';
        [[maybe_unused]] ssize_t ignored = ::write(ready[1], &signal, 1);
        ignored = ::read(release[0], &signal, 1);
        ::_exit(0);
    }
    char answer = 0;
    ASSERT_EQ(::read(ready[0], &answer, 1), 1);
    ASSERT_EQ(answer, 'y');

    std::vector<std::unique_ptr<Bridge>> bridges;
    const StoreResult loaded = DatabaseHelper::loadBridges(bridges);
    Bridge bridge(wxString("/dev/ttyS9"), 9600, 4009, -1);
    bridge.AddIpFilter(FilterEntry("10.0.0.1", IPF_NEW));
    const auto saving = std::chrono::steady_clock::now();
    const StoreResult saved = DatabaseHelper::saveBridge(bridge, ACTION_UPDATE);
    const auto waited = std::chrono::steady_clock::now() - saving;

    const char done = 'x';
    [[maybe_unused]] ssize_t ignored = ::write(release[1], &done, 1);
    int status = 0;
    ::waitpid(holder, &status, 0);

    EXPECT_TRUE(loaded.ok) << loaded.message;
    ASSERT_EQ(bridges.size(), 1u);
    EXPECT_EQ(bridges[0]->GetComBaud(), 9600) << "what was committed";
    EXPECT_FALSE(saved.ok);
    EXPECT_EQ(saved.message, "Cannot save the bridge to bridges.db: database is locked");
    EXPECT_GE(waited, std::chrono::milliseconds(DatabaseHelper::kBusyTimeoutMs * 9 / 10)) << "it waited its turn first";
    EXPECT_EQ(bridge.GetId(), -1) << "a failed save leaves the bridge as it was";
    EXPECT_EQ(bridge.GetIpFilters()[0].state, IPF_NEW);
    EXPECT_EQ(FileBytes("bridges.db"), before);
    EXPECT_EQ(Query("select id from bridges"), Rows{{std::to_string(keptId)}});
}

TEST_F(DatabaseHelperTest, AReadOnlyFileLoadsButRefusesSaves)
{
    Insert("/dev/ttyS0", 4000);
    const std::string before = FileBytes("bridges.db");
    ::chmod("bridges.db", 0444);
    ::chmod(dir.Path().c_str(), 0555);

    // Root writes whatever the mode says, so the check runs as nobody.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(10);
        std::vector<std::unique_ptr<Bridge>> bridges;
        if (!DatabaseHelper::loadBridges(bridges).ok || bridges.size() != 1)
            ::_exit(11);
        Bridge bridge(nullptr);
        bridge.AddIpFilter(FilterEntry("10.0.0.1", IPF_NEW));
        const StoreResult saved = DatabaseHelper::saveBridge(bridge, ACTION_UPDATE);
        if (saved.ok || saved.message.empty())
            ::_exit(12);
        if (bridge.GetId() != -1 || bridge.GetIpFilters()[0].state != IPF_NEW)
            ::_exit(13);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(FileBytes("bridges.db"), before);
}

TEST_F(DatabaseHelperTest, AnUpdateOfABridgeThatIsNoLongerStoredFailsAndChangesNothing)
{
    const int id = Insert("/dev/ttyS0", 4000);
    Bridge bridge(wxString("/dev/ttyS0"), 9600, 4000, id);
    RawSqlite("bridges.db").Execute("delete from bridges;");
    bridge.AddIpFilter(FilterEntry("10.0.0.1", IPF_NEW));
    const StoreResult result = DatabaseHelper::saveBridge(bridge, ACTION_UPDATE);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.message, "Cannot save the bridge to bridges.db: the bridge is no longer stored there");
    EXPECT_EQ(bridge.GetIpFilters()[0].state, IPF_NEW);
    EXPECT_EQ(Query("select count(*) from ipfilters"), Rows{{"0"}});
}
