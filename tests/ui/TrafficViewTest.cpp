#include "UiFixture.h"
#include "support/PatternStream.h"
#include "support/TempDir.h"
#include "support/TraceParse.h"
#include "ui/TrafficView.h"

#include <wx/choice.h>
#include <wx/filedlg.h>
#include <wx/tglbtn.h>

namespace
{
using Row = std::vector<std::string>; // time, direction, client, hex, text

std::vector<TrafficView*> Views()
{
    std::vector<TrafficView*> views;
    for (wxWindow* window : wxTopLevelWindows)
        if (auto* view = dynamic_cast<TrafficView*>(window))
            views.push_back(view);
    return views;
}

std::vector<Row> Rows(TrafficView& view)
{
    auto* list = dynamic_cast<wxListCtrl*>(view.FindWindow(TrafficView::ID_LIST));
    std::vector<Row> rows;
    for (long item = 0; list && item < list->GetItemCount(); ++item)
    {
        Row row;
        for (int column = 0; column < list->GetColumnCount(); ++column)
            row.push_back(list->GetItemText(item, column).utf8_string());
        rows.push_back(row);
    }
    return rows;
}

// Whether a row shows the direction and the cells given (empty: any).
bool Shows(TrafficView& view, const std::string& direction, const std::string& client, const std::string& hex,
           const std::string& text)
{
    for (const Row& row : Rows(view))
        if (row[1] == direction && (client.empty() || row[2] == client) && (hex.empty() || row[3] == hex) &&
            row[4] == text)
            return true;
    return false;
}

bool ShowsText(TrafficView& view, const std::string& part)
{
    for (const Row& row : Rows(view))
        if (row[4].find(part) != std::string::npos)
            return true;
    return false;
}

// What the bridge writes to the device, which it does on the event loop.
std::string ReceivePumping(PtyPair& pty, std::size_t count)
{
    std::string received;
    PumpUntil([&] {
        received += pty.ReceiveAvailable();
        return received.size() >= count;
    });
    return received;
}

// Sets a control of the view as a user would, and tells the view so.
template <typename Control, typename Value>
void Operate(TrafficView& view, int id, wxEventType type, Value value, void (Control::*set)(Value))
{
    auto* control = dynamic_cast<Control*>(view.FindWindow(id));
    (control->*set)(value);
    wxCommandEvent event(type, id);
    event.SetEventObject(control);
    event.SetInt(value);
    control->GetEventHandler()->ProcessEvent(event);
}

void Choose(TrafficView& view, int layout)
{
    Operate<wxChoice, int>(view, TrafficView::ID_LAYOUT, wxEVT_CHOICE, layout, &wxChoice::SetSelection);
}

void Pause(TrafficView& view, bool paused)
{
    Operate<wxToggleButton, bool>(view, TrafficView::ID_PAUSE, wxEVT_TOGGLEBUTTON, paused, &wxToggleButton::SetValue);
}
} // namespace

TEST_F(UiTest, TheTrafficViewShowsBothDirectionsPausesAndSavesTheTrace)
{
    PtyPair pty;
    const unsigned short port = FreeTcpPort();
    StoreBridge(pty.SlavePath(), port);
    OpenFrame();
    Select(0);
    Command(SerialTCPBridgeFrame::ID_TRAFFIC);
    Command(SerialTCPBridgeFrame::ID_TRAFFIC);
    ASSERT_EQ(Views().size(), 1u) << "opening it again raises the open one";
    TrafficView& view = *Views()[0];

    TcpClient client;
    ASSERT_TRUE(Connect(client, port, 0, "1"));
    const std::string peer = client.LocalName();
    const std::string fromDevice = "device says hi\r\n", fromClient = "AT\r";
    ASSERT_TRUE(pty.Send(fromDevice));
    ASSERT_TRUE(client.Send(fromClient));
    EXPECT_EQ(ReceivePumping(pty, fromClient.size()), fromClient);
    EXPECT_TRUE(PumpUntil([&] {
        return Shows(view, "serial -> clients", "", "64 65 76 69 63 65 20 73  61 79 73 20 68 69 0d 0a",
                     "device says hi..") &&
               Shows(view, "client -> serial", peer, "41 54 0d", "AT.");
    }));
    EXPECT_TRUE(Shows(view, "event", "", "client " + peer + " connected, writer", ""));

    Choose(view, 1);
    EXPECT_TRUE(Shows(view, "serial -> clients", "", "", "device says hi\\r\\n"));
    EXPECT_TRUE(Shows(view, "client -> serial", peer, "", "AT\\r"));
    EXPECT_TRUE(Shows(view, "event", "", "", "client " + peer + " connected, writer"));

    // Paused, it shows nothing new; the traffic meanwhile waits and shows on resuming.
    Pause(view, true);
    const std::vector<Row> before = Rows(view);
    ASSERT_TRUE(pty.Send("while paused"));
    ASSERT_TRUE(client.Send("ATZ\r"));
    EXPECT_EQ(ReceivePumping(pty, 4), "ATZ\r");
    EXPECT_TRUE(PumpUntil([&] { return client.Poll() && client.Received() == fromDevice + "while paused"; }));
    PumpFor(std::chrono::milliseconds(3 * TrafficView::kDrawMs));
    EXPECT_EQ(Rows(view), before);
    Pause(view, false);
    EXPECT_TRUE(PumpUntil([&] { return ShowsText(view, "while paused") && ShowsText(view, "ATZ\\r"); }));

    const std::string saved = (std::filesystem::current_path() / "saved trace.txt").string();
    dialogs.Expect([&](wxDialog* dialog) {
        static_cast<wxFileDialog*>(dialog)->SetPath(saved);
        return wxID_OK;
    });
    ClickButton(&view, TrafficView::ID_SAVE);
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_TRUE(dialogs.AllSeen());
    std::vector<ParsedRecord> records;
    std::string why;
    EXPECT_TRUE(ParseTrace(FileBytes(saved), records, why)) << why;
    EXPECT_EQ(DeviceStream(records), fromDevice + "while paused");
    EXPECT_EQ(ClientStream(records), fromClient + "ATZ\r");
    std::vector<std::string> peers;
    for (const ParsedRecord& record : records)
        if (record.toSerial)
            peers.push_back(record.peer);
    EXPECT_EQ(peers, (std::vector<std::string>{peer, peer}));

    // More than the view keeps comes while paused: a line says that some was let go.
    Pause(view, true);
    const std::string flood = PatternBytes(0, 3 * TrafficLines::kLimitBytes);
    ASSERT_TRUE(pty.Send(flood, std::chrono::seconds(10)));
    const std::size_t total = fromDevice.size() + std::string("while paused").size() + flood.size();
    EXPECT_TRUE(PumpUntil([&] { return client.Poll() && client.Received().size() == total; }));
    Pause(view, false);
    EXPECT_TRUE(PumpUntil([&] { return ShowsText(view, "records not shown"); }));
}

TEST_F(UiTest, ClosingTheTrafficViewLosesNoByteOfTheRelayAndDeletingTheBridgeClosesIt)
{
    constexpr std::uint64_t kBytes = 2u << 20;
    constexpr std::uint64_t kBytesPerSecond = 1u << 20;
    PtyPair pty;
    const unsigned short port = FreeTcpPort();
    StoreBridge(pty.SlavePath(), port);
    OpenFrame();
    TcpClient client;
    ASSERT_TRUE(Connect(client, port, 0, "1"));
    Select(0);
    Command(SerialTCPBridgeFrame::ID_TRAFFIC);
    ASSERT_EQ(Views().size(), 1u);
    TrafficView& view = *Views()[0];

    PatternReader reader(client.Fd(), kBytes);
    PatternWriter writer(pty.Master(), kBytes, kBytesPerSecond);
    EXPECT_TRUE(PumpUntil([&] { return reader.Received() > kBytes / 4 && Rows(view).size() > 100; }));
    view.Close();
    EXPECT_TRUE(PumpUntil([&] { return Views().empty(); }));
    EXPECT_TRUE(PumpUntil([&] { return reader.Done() || reader.Failed(); }, std::chrono::seconds(20)));
    EXPECT_FALSE(reader.Failed());
    EXPECT_EQ(reader.Received(), kBytes);

    // A deleted bridge takes its view with it.
    Command(SerialTCPBridgeFrame::ID_TRAFFIC);
    ASSERT_EQ(Views().size(), 1u);
    Command(SerialTCPBridgeFrame::ID_DELETE);
    EXPECT_EQ(List().GetItemCount(), 0);
    EXPECT_TRUE(PumpUntil([&] { return Views().empty(); }));
}
