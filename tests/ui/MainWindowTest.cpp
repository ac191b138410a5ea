#include "UiFixture.h"

#include <wx/menu.h>
#include <wx/statusbr.h>

#include <fstream>

namespace
{
constexpr int kColumns = 7;
}

TEST_F(UiTest, AnEmptyStoreGivesAnEmptyListWithTheColumnsOfA400PixelList)
{
    OpenFrame();
    EXPECT_EQ(List().GetItemCount(), 0);
    ASSERT_EQ(List().GetColumnCount(), kColumns);
    const int widths[kColumns] = {24, 66, 66, 66, 49, 49, 49};
    const char* titles[kColumns] = {"#", "Serial port", "Baudrate", "TCP port", "Clients", "Read", "Write"};
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
    const std::vector<std::string> row0 = {"0", first.SlavePath(), "115200", std::to_string(firstPort), "0", "0", "0"};
    const std::vector<std::string> row1 = {"1", second.SlavePath(), "115200", std::to_string(secondPort), "0", "0", "0"};
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

TEST_F(UiTest, ABridgeWhosePortFailedIsShownAsSuch)
{
    PtyPair pty;
    StoreBridge(pty.SlavePath(), FreeTcpPort());
    StoreBridge("/dev/does-not-exist", FreeTcpPort());
    OpenFrame();
    EXPECT_EQ(frame->GetStatusBar()->GetStatusText(0),
              "Bridge #1: serial port /dev/does-not-exist: No such file or directory");
    EXPECT_NE(List().GetItemTextColour(1), List().GetItemTextColour(0));
}
