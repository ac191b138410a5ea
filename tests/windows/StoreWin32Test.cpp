// The store and the log on a real file system under Windows: the cases that
// depend on how the system opens, locks and protects files.
#include "bridge/Bridge.h"
#include "store/DatabaseHelper.h"
#include "log/Logger.h"
#include "support/FilterEntries.h"
#include "support/RawSqlite.h"
#include "support/TempDir.h"

#include "UnderWine.h"

#include <gtest/gtest.h>
#include <wx/log.h>

#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <iostream>

namespace
{
class StoreWin32Test : public ::testing::Test
{
protected:
    // A folder whose name is not plain ASCII, as a user's often is.
    StoreWin32Test() : folder(dir / L"Brücke €")
    {
        std::filesystem::create_directory(folder);
        std::filesystem::current_path(folder);
    }

    TempDir dir;
    std::filesystem::path folder;
};
} // namespace

TEST_F(StoreWin32Test, BridgesRoundTripThroughAFileThatTheFirstLoadCreates)
{
    std::vector<std::unique_ptr<Bridge>> none;
    ASSERT_TRUE(DatabaseHelper::loadBridges(none).ok);
    EXPECT_TRUE(none.empty());
    EXPECT_TRUE(std::filesystem::exists(folder / "bridges.db"));

    Bridge bridge(wxString("COM12"), 115200, 4001, -1);
    bridge.SetDataBits(7);
    bridge.SetParity('E');
    bridge.SetStopBits(2);
    bridge.AddIpFilter(FilterEntry("10.0.0.1", IPF_NEW));
    ASSERT_TRUE(DatabaseHelper::saveBridge(bridge, ACTION_UPDATE).ok);

    std::vector<std::unique_ptr<Bridge>> loaded;
    ASSERT_TRUE(DatabaseHelper::loadBridges(loaded).ok);
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(loaded[0]->GetComPort(), "COM12");
    EXPECT_EQ(loaded[0]->GetComBaud(), 115200);
    EXPECT_EQ(loaded[0]->GetTcpPort(), 4001);
    EXPECT_EQ(loaded[0]->GetDataBits(), 7);
    EXPECT_EQ(loaded[0]->GetParity(), 'E');
    EXPECT_EQ(loaded[0]->GetStopBits(), 2);
    ASSERT_EQ(loaded[0]->GetIpFilters().size(), 1u);
    EXPECT_EQ(loaded[0]->GetIpFilters()[0].ip_address, "10.0.0.1");

    std::vector<std::unique_ptr<Bridge>> strict;
    std::filesystem::remove(folder / "bridges.db");
    EXPECT_FALSE(DatabaseHelper::loadBridges(strict, StoreFile::MustExist).ok);
    EXPECT_FALSE(std::filesystem::exists(folder / "bridges.db")) << "unless asked to, nothing is created";
}

TEST_F(StoreWin32Test, AFileThatIsLockedCorruptOrReadOnlyIsReportedAndLeftAsItIs)
{
    Bridge kept(wxString("COM3"), 9600, 4000, -1);
    ASSERT_TRUE(DatabaseHelper::saveBridge(kept, ACTION_UPDATE).ok);
    const std::string before = FileBytes(folder / "bridges.db");

    {
        // Another writer, uncommitted: what was committed is read, a save waits and fails.
        RawSqlite holder("bridges.db");
        ASSERT_EQ(holder.Execute("begin immediate; update bridges set com_baud = 300;"), "");
        std::vector<std::unique_ptr<Bridge>> bridges;
        EXPECT_TRUE(DatabaseHelper::loadBridges(bridges).ok);
        ASSERT_EQ(bridges.size(), 1u);
        EXPECT_EQ(bridges[0]->GetComBaud(), 9600);
        Bridge other(wxString("COM4"), 9600, 4002, -1);
        EXPECT_FALSE(DatabaseHelper::saveBridge(other, ACTION_UPDATE).ok);
        EXPECT_EQ(other.GetId(), -1);
        holder.Execute("rollback;");
    }
    EXPECT_TRUE(FileBytes(folder / "bridges.db") == before);

    ASSERT_TRUE(SetFileAttributesW((folder / "bridges.db").c_str(), FILE_ATTRIBUTE_READONLY));
    const HANDLE probe = CreateFileW((folder / "bridges.db").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
    if (probe != INVALID_HANDLE_VALUE && UnderWine())
    {
        CloseHandle(probe);
        std::cout << "Skipped the read-only file: Wine run by root lets anyone write it.\n";
    }
    else
    {
        std::vector<std::unique_ptr<Bridge>> bridges;
        EXPECT_TRUE(DatabaseHelper::loadBridges(bridges).ok);
        EXPECT_EQ(bridges.size(), 1u);
        Bridge other(wxString("COM4"), 9600, 4002, -1);
        const StoreResult saved = DatabaseHelper::saveBridge(other, ACTION_UPDATE);
        EXPECT_FALSE(saved.ok);
        EXPECT_FALSE(saved.message.empty());
    }
    SetFileAttributesW((folder / "bridges.db").c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(FileBytes(folder / "bridges.db") == before);

    const std::string garbage(8192, '\x5a');
    std::ofstream(folder / "bridges.db", std::ios::binary | std::ios::trunc) << garbage;
    std::vector<std::unique_ptr<Bridge>> bridges;
    EXPECT_EQ(DatabaseHelper::loadBridges(bridges).message,
              "Cannot read the bridges from bridges.db: file is not a database");
    Bridge other(nullptr);
    EXPECT_FALSE(DatabaseHelper::saveBridge(other, ACTION_UPDATE).ok);
    EXPECT_TRUE(FileBytes(folder / "bridges.db") == garbage);
}

TEST_F(StoreWin32Test, TheLogOfTheLastRunIsKeptAsideAtTheNextStart)
{
    std::ofstream(folder / "filelog.txt.1", std::ios::binary) << "the run before\n";
    std::ofstream(folder / "filelog.txt", std::ios::binary) << "the last run\n";
    Logger::initLog();
    Logger::message("this run");
    EXPECT_EQ(FileBytes(folder / "filelog.txt.1"), "the last run\n");
    const std::string current = FileBytes(folder / "filelog.txt");
    EXPECT_NE(current.find("this run"), std::string::npos);
    EXPECT_EQ(current.find("the last run"), std::string::npos);
}
