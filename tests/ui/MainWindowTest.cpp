#include "UiFixture.h"
#include "support/RawSqlite.h"

#include <wx/menu.h>
#include <wx/statusbr.h>

#include <fstream>

namespace
{
constexpr int kColumns = 8;
}

TEST_F(UiTest, AnEmptyStoreGivesAnEmptyListWithTheColumnsOfA400PixelList)
{
    OpenFrame();
    EXPECT_EQ(List().GetItemCount(), 0);
    ASSERT_EQ(List().GetColumnCount(), kColumns);
    const int widths[kColumns] = {24, 66, 66, 66, 49, 49, 49, 132};
    const char* titles[kColumns] = {"#", "Serial port", "Baudrate", "TCP port", "Clients", "Read", "Write", "State"};
    for (int column = 0; column < kColumns; ++column)
    {
        wxListItem item;
        item.SetMask(wxLIST_MASK_TEXT);
        List().GetColumn(column, item);
        EXPECT_EQ(item.GetText(), titles[column]);
        EXPECT_EQ(List().GetColumnWidth(column), widths[column]) << titles[column];
    }
    EXPECT_EQ(frame->GetStatusBar()->GetStatusText(0), "bridge");
    EXPECT_EQ(frame->GetMenuBar()->GetMenuCount(), 3u);
    EXPECT_EQ(frame->GetMenuBar()->GetMenuLabel(1), "&Bridges");
}

TEST_F(UiTest, StoredBridgesAreListedAndListenAtOnce)
{
    PtyPair first, second;
    const unsigned short firstPort = FreeTcpPort(), secondPort = FreeTcpPort();
    StoreBridge(first.SlavePath(), firstPort);
    StoreBridge(second.SlavePath(), secondPort);
    OpenFrame();

    ASSERT_EQ(List().GetItemCount(), 2);
    const std::vector<std::string> row0 = {"0", first.SlavePath(), "115200", std::to_string(firstPort),
                                           "0", "0", "0", "running"};
    const std::vector<std::string> row1 = {"1", second.SlavePath(), "115200", std::to_string(secondPort),
                                           "0", "0", "0", "running"};
    for (int column = 0; column < kColumns; ++column)
    {
        EXPECT_EQ(Cell(0, column), row0[column]);
        EXPECT_EQ(Cell(1, column), row1[column]);
    }

    TcpClient a, b;
    EXPECT_TRUE(Connect(a, firstPort, 0, "1"));
    EXPECT_TRUE(Connect(b, secondPort, 1, "1"));
    ASSERT_TRUE(first.Send("0123456789"));
    EXPECT_TRUE(PumpUntil([&] { return Cell(0, 5) == "10"; }));
    EXPECT_EQ(Cell(1, 5), "0");
}

TEST_F(UiTest, UpdatesFindTheirRowAfterARowInTheMiddleIsDeleted)
{
    PtyPair ptys[3];
    unsigned short ports[3];
    for (int i = 0; i < 3; ++i)
    {
        ports[i] = FreeTcpPort();
        StoreBridge(ptys[i].SlavePath(), ports[i]);
    }
    OpenFrame();
    Select(1);
    Command(SerialTCPBridgeFrame::ID_DELETE);
    ASSERT_EQ(List().GetItemCount(), 2);
    EXPECT_EQ(Cell(1, 0), "2") << "a row keeps the number it was given";

    TcpClient client;
    EXPECT_TRUE(Connect(client, ports[2], 1, "1"));
    ASSERT_TRUE(ptys[2].Send("abcd"));
    EXPECT_TRUE(PumpUntil([&] { return Cell(1, 5) == "4"; }));
    EXPECT_EQ(Cell(0, 4), "0");
    EXPECT_EQ(Cell(0, 5), "0");

    frame->Update(3, 2, UPDATE_CLIENTS);
    EXPECT_EQ(Cell(1, 4), "3");
    frame->Update(7, 2, 9);
    EXPECT_EQ(Cell(1, 4), "3") << "an unknown kind changes nothing";
}

TEST_F(UiTest, FastCountersShowTheirLatestValue)
{
    StoreBridge("/dev/does-not-exist", FreeTcpPort());
    OpenFrame();
    for (long long value = 1; value <= 1000; ++value)
        frame->Update(value, 0, UPDATE_READ);
    EXPECT_TRUE(PumpUntil([&] { return Cell(0, 5) == "1000"; }));
    frame->Update(0, 0, UPDATE_READ);
    EXPECT_EQ(Cell(0, 5), "0") << "a reset shows at once";
    PumpFor(std::chrono::milliseconds(100));
    EXPECT_EQ(Cell(0, 5), "0") << "and no older value comes after it";
}

TEST_F(UiTest, AStoreThatCannotBeReadIsReportedOnceTheWindowIsShown)
{
    std::ofstream("bridges.db") << "not a database";
    OpenFrame();
    EXPECT_EQ(List().GetItemCount(), 0);
    frame->ReportStartupProblems();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text, "Cannot read the bridges from bridges.db: file is not a database");
    CloseFrame();

    // A damaged one too, rather than rows of nothing.
    std::filesystem::remove("bridges.db");
    StoreBridge("/dev/ttyS0", 4001);
    StoreBridge("/dev/ttyS1", 4002);
    DamageTheBridgesPage("bridges.db");
    OpenFrame();
    EXPECT_EQ(List().GetItemCount(), 0);
    frame->ReportStartupProblems();
    ASSERT_EQ(dialogs.messages.size(), 2u);
    EXPECT_EQ(dialogs.messages[1].text, "Cannot read the bridges from bridges.db: the file is damaged (On tree page 2 "
                                        "cell 0: Rowid 0 out of order); it is left as it is");
}

TEST_F(UiTest, BridgesWhoseIpFiltersCannotBeReadAreListedButNotStarted)
{
    const unsigned short port = FreeTcpPort();
    ASSERT_EQ(RawSqlite("bridges.db")
                  .Execute(std::string(kBridgesSchema) + "insert into bridges (com_port, com_baud, tcp_port) values "
                                                         "('/dev/does-not-exist', 9600, " + std::to_string(port) + ");"),
              "");
    const std::string before = FileBytes("bridges.db");
    OpenFrame();
    ASSERT_EQ(List().GetItemCount(), 1);
    EXPECT_EQ(Cell(0, 7), "allow-list could not be read");
    TcpClient client;
    EXPECT_FALSE(client.Connect(port)) << "it would admit every address";
    frame->ReportStartupProblems();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_NE(dialogs.messages[0].text.find("not started"), std::string::npos) << dialogs.messages[0].text;
    CloseFrame();
    EXPECT_EQ(FileBytes("bridges.db"), before);
}

TEST_F(UiTest, ASerialPortLostWhileRunningIsShown)
{
    PtyPair pty;
    StoreBridge(pty.SlavePath(), FreeTcpPort());
    OpenFrame();
    EXPECT_EQ(frame->GetStatusBar()->GetStatusText(0), "bridge");
    const wxColour working = List().GetItemTextColour(0);
    pty.CloseMaster();
    EXPECT_TRUE(PumpUntil([&] {
        return frame->GetStatusBar()->GetStatusText(0) == "Bridge #0: serial port " + pty.SlavePath() + ": lost";
    }));
    EXPECT_NE(List().GetItemTextColour(0), working);
}

TEST_F(UiTest, EveryBridgeShowsItsStateAndTheSelectedOneItsProblemInFull)
{
    PtyPair pty;
    TcpClient holder; // holds the third bridge's TCP port
    const unsigned short takenPort = FreeTcpPort();
    const int first = StoreBridge(pty.SlavePath(), FreeTcpPort());
    StoreBridge("/dev/does-not-exist", FreeTcpPort());
    StoreBridge(pty.SlavePath(), takenPort);
    const int grouped = StoreBridge("/dev/does-not-exist", FreeTcpPort());
    RawSqlite("bridges.db").Execute("update bridges set listen_address = '224.0.0.5' where id = " +
                                    std::to_string(grouped));
    ASSERT_TRUE(holder.Listen(takenPort));
    OpenFrame();

    // Messages name a bridge by its stored id, which the commands use too.
    const std::string user = wxString::Format("%s used by bridge %d", pty.SlavePath(), first).utf8_string();
    EXPECT_EQ(Cell(0, 7), "running");
    EXPECT_EQ(Cell(1, 7), "waiting for /dev/does-not-exist");
    EXPECT_EQ(Cell(2, 7), wxString::Format("TCP port %u in use; %s", takenPort, user));
    EXPECT_EQ(Cell(3, 7), "not a listen address") << "bound, it would look as if it ran";
    EXPECT_EQ(frame->GetStatusBar()->GetStatusText(0),
              "3 bridges have problems: select one to see why");
    EXPECT_NE(List().GetItemTextColour(1), List().GetItemTextColour(0));

    Select(2);
    EXPECT_EQ(frame->GetStatusBar()->GetStatusText(0),
              wxString::Format("Bridge #2: TCP port %u: Address already in use; serial port %s: used by bridge %d of "
                               "this program",
                               takenPort, pty.SlavePath(), first));
    holder.Close();
    EXPECT_TRUE(PumpUntil([&] { return Cell(2, 7) == user; }));
}
