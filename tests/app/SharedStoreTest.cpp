#include "support/ChildProcess.h"
#include "support/RawSqlite.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <memory>

using namespace std::chrono_literals;
using Rows = std::vector<std::vector<std::string>>;

// bridges.db as several programs meet it at once: the runner, its commands
// run by scripts, and files that others damaged or replaced.
namespace
{
class SharedStoreTest : public ::testing::Test
{
protected:
    struct Outcome
    {
        int status = -1;
        std::string out, err;
    };

    // A command on the test's store, run from a directory of its own so that
    // commands run at once keep their outputs apart.
    std::unique_ptr<ChildProcess> Start(std::vector<std::string> arguments)
    {
        const std::filesystem::path own = dir / ("run" + std::to_string(m_runs++));
        std::filesystem::create_directory(own);
        arguments.insert(arguments.begin(), {"--dir", dir.Path().string()});
        return std::make_unique<ChildProcess>(SERIAL_TCP_BRIDGED, arguments, own.string());
    }

    static Outcome Finish(ChildProcess& child, std::chrono::milliseconds timeout = 20s)
    {
        Outcome outcome;
        EXPECT_TRUE(child.Wait(timeout, outcome.status)) << "it did not end";
        outcome.out = child.StandardOutput();
        outcome.err = child.StandardError();
        return outcome;
    }

    Outcome Run(const std::vector<std::string>& arguments) { return Finish(*Start(arguments)); }

    Rows Query(const std::string& sql) { return RawSqlite((dir / "bridges.db").string()).Rows(sql); }

    TempDir dir;

private:
    int m_runs = 0;
};
} // namespace

TEST_F(SharedStoreTest, CommandsRunAtOnceAllWaitTheirTurnAndEveryChangeStays)
{
    constexpr int kBridges = 10;
    for (int i = 0; i < kBridges; ++i)
        ASSERT_EQ(Run({"add", "/dev/ttyS" + std::to_string(i), "9600", std::to_string(5000 + i)}).status, 0);

    // Each stored bridge gets two changes at once, of different settings,
    // while twice as many new bridges are added: 20 sets and 20 adds.
    std::vector<std::unique_ptr<ChildProcess>> commands;
    for (int i = 0; i < kBridges; ++i)
    {
        const std::string id = std::to_string(i + 1);
        for (int added = 2 * i; added < 2 * i + 2; ++added)
            commands.push_back(Start({"add", "/dev/ttyUSB" + std::to_string(added), "9600",
                                      std::to_string(6000 + added)}));
        commands.push_back(Start({"set", id, "--baud", "19200"}));
        commands.push_back(Start({"set", id, "--allow", "10.0.0." + id}));
    }
    for (auto& command : commands)
    {
        const Outcome outcome = Finish(*command);
        EXPECT_EQ(outcome.status, 0) << outcome.err;
    }

    EXPECT_EQ(Query("select count(*) from bridges"), Rows{{std::to_string(3 * kBridges)}});
    EXPECT_EQ(Query("select count(*) from bridges where com_port like '/dev/ttyUSB%' and com_baud = 9600"),
              Rows{{std::to_string(2 * kBridges)}});
    for (int i = 1; i <= kBridges; ++i)
    {
        EXPECT_EQ(Query("select com_baud, (select group_concat(ip_address) from ipfilters where bridge_id = b.id) "
                        "from bridges b where id = " +
                        std::to_string(i)),
                  (Rows{{"19200", "10.0.0." + std::to_string(i)}}))
            << "bridge " << i << " kept both changes";
    }
}

TEST_F(SharedStoreTest, ACommandThatFindsTheStoreHeldFailsWithTheReasonAndChangesNothing)
{
    ASSERT_EQ(Run({"add", "/dev/ttyS0", "9600", "4001"}).status, 0);
    const Rows before = Query("select * from bridges");
    {
        // Another writer that takes its time: reading goes on, writing waits.
        RawSqlite holder((dir / "bridges.db").string());
        ASSERT_EQ(holder.Execute("begin immediate; update bridges set com_baud = 300;"), "");
        const Outcome held = Run({"set", "1", "--baud", "19200"});
        EXPECT_EQ(held.status, 1);
        EXPECT_EQ(held.err, "serial-tcp-bridged: Cannot write to bridges.db: database is locked\n");
        EXPECT_EQ(held.out, "");
    }
    EXPECT_EQ(Query("select * from bridges"), before);
}

TEST_F(SharedStoreTest, StoresThatWouldMisleadAreRefusedByEveryProgramAndLeftAsTheyAre)
{
    const std::string store = (dir / "bridges.db").string();
    struct Case
    {
        const char* what;
        std::function<void()> make;
        std::string reason; // as the commands and the runner give it
        bool listed;        // list reads it as a store without bridges
    };
    const Case cases[] = {
        {"bridges without their allow-lists",
         [&] {
             ASSERT_EQ(Run({"add", "/dev/ttyS0", "9600", "4001", "--allow", "10.0.0.1"}).status, 0);
             RawSqlite(store).Execute("drop table ipfilters;");
         },
         "bridges.db has no ipfilters table: its bridges are not started, as they would admit every address", false},
        {"damaged pages",
         [&] {
             ASSERT_EQ(Run({"add", "/dev/ttyS0", "9600", "4001"}).status, 0);
             ASSERT_EQ(Run({"add", "/dev/ttyS1", "9600", "4002"}).status, 0);
             DamageTheBridgesPage(store);
         },
         "Cannot read the bridges from bridges.db: the file is damaged (On tree page 2 cell 0: Rowid 0 out of "
         "order); it is left as it is",
         false},
        {"a directory", [&] { std::filesystem::create_directory(store); },
         "Cannot read the bridges from bridges.db: it is not a regular file", false},
        {"a FIFO", [&] { ASSERT_EQ(::mkfifo(store.c_str(), 0600), 0); },
         "Cannot read the bridges from bridges.db: it is not a regular file", false},
        {"a link to a device", [&] { std::filesystem::create_symlink("/dev/null", store); },
         "Cannot read the bridges from bridges.db: it is not a regular file", false},
        {"an emptied file", [&] { std::ofstream{store}; }, "Cannot read the bridges from bridges.db: it has no bridges table",
         true},
    };
    for (const Case& bad : cases)
    {
        SCOPED_TRACE(bad.what);
        std::filesystem::remove_all(store);
        bad.make();
        const std::string before = std::filesystem::is_regular_file(store) ? FileBytes(store) : "";

        const Outcome added = Run({"add", "/dev/ttyS9", "9600", "4009"});
        const Outcome listed = Run({"list"});
        if (bad.listed)
        {
            EXPECT_EQ(listed.status, 0);
            EXPECT_EQ(added.status, 0) << "add makes the tables of an empty file";
        }
        else
        {
            EXPECT_EQ(added.status, 1);
            EXPECT_EQ(added.err, "serial-tcp-bridged: " + bad.reason + "\n");
            EXPECT_EQ(listed.status, 1);
            EXPECT_EQ(listed.err, "serial-tcp-bridged: " + bad.reason + "\n");
            if (!before.empty())
                EXPECT_EQ(FileBytes(store), before) << "nothing was written into it";
            EXPECT_FALSE(std::filesystem::is_regular_file(store) && before.empty()) << "nothing was made in its place";
        }

        if (bad.listed)
        {
            std::filesystem::remove_all(store);
            bad.make();
        }
        auto runner = Start({});
        const Outcome served = Finish(*runner, 10s);
        EXPECT_EQ(served.status, 1);
        EXPECT_NE(served.err.find(bad.reason), std::string::npos) << served.err;
    }
}

TEST_F(SharedStoreTest, IdsPastThirtyTwoBitsAreTheirOwnAndAChangeOfNoRowIsNoSuccess)
{
    ASSERT_EQ(Run({"add", "/dev/ttyS0", "9600", "4001"}).status, 0);
    RawSqlite((dir / "bridges.db").string()).Execute("update bridges set id = 4294967298;");

    Outcome outcome = Run({"list"});
    EXPECT_EQ(outcome.out.substr(0, outcome.out.find('\n', outcome.out.find('\n') + 1)),
              "ID          #  SERIAL PORT  BAUD  FRAME  TCP PORT  LISTEN  PROTOCOL  ALLOW\n"
              "4294967298  0  /dev/ttyS0   9600  8N1    4001      all     raw       any");
    // The low 32 bits of the id name no bridge.
    for (const auto& arguments : {std::vector<std::string>{"remove", "2"}, {"set", "2", "--baud", "19200"}})
    {
        outcome = Run(arguments);
        EXPECT_EQ(outcome.status, 1) << arguments[0];
        EXPECT_EQ(outcome.err, "serial-tcp-bridged: no bridge has the id \"2\" in " + (dir / "bridges.db").string() +
                                   "\n");
    }
    EXPECT_EQ(Run({"set", "4294967298", "--allow", "10.0.0.1"}).status, 0);
    EXPECT_EQ(Query("select bridge_id from ipfilters"), Rows{{"4294967298"}});
    outcome = Run({"remove", "4294967298"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(Query("select count(*) from bridges"), Rows{{"0"}});
    EXPECT_EQ(Query("select count(*) from ipfilters"), Rows{{"0"}});
}
