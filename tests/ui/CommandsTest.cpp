#include "UiFixture.h"
#include "serial/PortDiscovery.h"
#include "serial/SerialPortHandler.h"
#include "support/RawSqlite.h"
#include "ui/BridgeOptionsPanel.h"
#include "ui/BridgeSummaryPanel.h"

#include <wx/combobox.h>
#include <wx/pickerbase.h>
#include <wx/settings.h>

#include <fstream>

using Rows = std::vector<std::vector<std::string>>;

namespace
{
// Fills the options dialog and presses OK once it runs.
DialogDriver::Handler FillOptions(const std::string& port, unsigned short tcpPort, std::vector<const char*> addresses,
                                  const char* listenAddress = "", const char* protocol = "raw")
{
    return [=](wxDialog* dialog) {
        dialog->CallAfter([=] {
            SetControlText(dialog, "serialPort", port);
            SelectChoice(dialog, "baudRate", "115200");
            SelectChoice(dialog, "protocol", protocol);
            SetControlText(dialog, "tcpPort", wxString::Format("%u", tcpPort));
            SetControlText(dialog, "listenAddress", listenAddress);
            for (const char* address : addresses)
            {
                SetControlText(dialog, "ipAddress", address);
                ClickButton(dialog, BridgeOptionsPanel::ID_ADD);
            }
            ClickButton(dialog, BridgeOptionsPanel::ID_OK_BUTTON);
        });
        return wxID_NONE;
    };
}

Rows Query(const std::string& sql)
{
    return RawSqlite("bridges.db").Rows(sql);
}
} // namespace

TEST_F(UiTest, AddListsTheNewBridgeAndItListensAtOnce)
{
    PtyPair pty;
    const unsigned short port = FreeTcpPort();
    OpenFrame();
    dialogs.Expect(FillOptions(pty.SlavePath(), port, {"127.0.0.1"}, "127.0.0.1"));
    Command(SerialTCPBridgeFrame::ID_ADD);

    EXPECT_TRUE(dialogs.AllSeen());
    EXPECT_TRUE(dialogs.messages.empty());
    ASSERT_EQ(List().GetItemCount(), 1);
    EXPECT_EQ(Cell(0, 1), pty.SlavePath());
    EXPECT_EQ(Cell(0, 3), std::to_string(port));
    EXPECT_EQ(Query("select com_port, com_baud, tcp_port, listen_address from bridges"),
              (Rows{{pty.SlavePath(), "115200", std::to_string(port), "127.0.0.1"}}));
    EXPECT_EQ(Query("select ip_address from ipfilters"), Rows{{"127.0.0.1"}});
    TcpClient client, elsewhere;
    EXPECT_TRUE(Connect(client, port, 0, "1"));
    EXPECT_FALSE(elsewhere.Connect(port, "127.0.0.1", 0, "127.0.0.2")) << "it listens on its listen address only";
}

TEST_F(UiTest, CancellingAnAddChangesNothing)
{
    OpenFrame();
    dialogs.Expect([](wxDialog* dialog) {
        SetControlText(dialog, "tcpPort", "5000");
        return wxID_CANCEL;
    });
    Command(SerialTCPBridgeFrame::ID_ADD);
    EXPECT_EQ(List().GetItemCount(), 0);
    EXPECT_TRUE(Query("select name from sqlite_master").empty());
}

TEST_F(UiTest, ModifyMovesTheBridgeToItsNewTcpPort)
{
    PtyPair pty;
    const unsigned short oldPort = FreeTcpPort(), newPort = FreeTcpPort();
    const int id = StoreBridge(pty.SlavePath(), oldPort);
    OpenFrame();
    TcpClient client;
    ASSERT_TRUE(Connect(client, oldPort, 0, "1"));
    ASSERT_TRUE(pty.Send("xyz"));
    ASSERT_TRUE(PumpUntil([&] { return Cell(0, 5) == "3"; }));

    Select(0);
    dialogs.Expect(FillOptions(pty.SlavePath(), newPort, {}, "", "rfc2217"));
    Command(SerialTCPBridgeFrame::ID_MODIFY);

    EXPECT_TRUE(dialogs.AllSeen());
    EXPECT_EQ(Cell(0, 3), std::to_string(newPort));
    EXPECT_EQ(Cell(0, 4), "0");
    EXPECT_EQ(Cell(0, 5), "0");
    EXPECT_EQ(Cell(0, 6), "0");
    EXPECT_EQ(Query("select id, tcp_port, protocol from bridges"),
              (Rows{{std::to_string(id), std::to_string(newPort), "rfc2217"}}));
    EXPECT_TRUE(PumpUntil([&] { return !client.Poll(); })) << "its clients were disconnected";
    TcpClient stale, fresh;
    EXPECT_FALSE(stale.Connect(oldPort));
    EXPECT_TRUE(Connect(fresh, newPort, 0, "1"));
    // Now a Telnet peer: it is offered binary mode first.
    EXPECT_TRUE(PumpUntil([&] { return fresh.Poll() && fresh.Received().size() >= 3; }));
    EXPECT_EQ(fresh.Received().substr(0, 3), std::string("\xff\xfb\x00", 3));
}

TEST_F(UiTest, ATraceFileChangedAloneIsTakenWithoutDroppingTheClients)
{
    PtyPair pty;
    const unsigned short port = FreeTcpPort();
    StoreBridge(pty.SlavePath(), port);
    OpenFrame();
    TcpClient client;
    ASSERT_TRUE(Connect(client, port, 0, "1"));
    // Opens the options, checks what the trace field shows, types traceTo and presses OK.
    const auto traceTo = [&](const wxString& shown, const wxString& typed) {
        dialogs.Expect([=](wxDialog* dialog) {
            dialog->CallAfter([=] {
                auto* picker = dynamic_cast<wxPickerBase*>(wxWindow::FindWindowByName("traceFile", dialog));
                EXPECT_EQ(picker ? picker->GetTextCtrl()->GetValue() : "no trace field", shown);
                SetControlText(dialog, "traceFile", typed);
                ClickButton(dialog, BridgeOptionsPanel::ID_OK_BUTTON);
            });
            return wxID_NONE;
        });
        Select(0);
        Command(SerialTCPBridgeFrame::ID_MODIFY);
        EXPECT_TRUE(dialogs.AllSeen());
    };
    const auto relayed = [&](const std::string& bytes) {
        return pty.Send(bytes) && PumpUntil([&] {
                   return client.Poll() && client.Received().size() >= bytes.size() &&
                          client.Received().compare(client.Received().size() - bytes.size(), bytes.size(), bytes) == 0;
               });
    };

    traceTo("", " bridge.log ");
    EXPECT_EQ(Query("select trace_file from bridges"), Rows{{"bridge.log"}});
    EXPECT_TRUE(relayed("xyz")) << "the client stayed";
    frame->GetBridgeAt(0)->FlushTrace();
    EXPECT_EQ(CountOf(FileBytes("bridge.log"), " serial -> clients, 3 bytes\n  0000  78 79 7a "), 1u)
        << FileBytes("bridge.log");

    traceTo("bridge.log", "");
    EXPECT_EQ(Query("select trace_file from bridges"), Rows{{"NULL"}});
    EXPECT_TRUE(relayed("abcd")) << "the client stayed";
    EXPECT_EQ(CountOf(FileBytes("bridge.log"), "4 bytes"), 0u) << "the trace has stopped";
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(UiTest, APortIsShownByItsLineAndAChosenOneIsStoredByItsStableName)
{
    const std::vector<DiscoveredPort> ports = SerialPortHandler::GetPorts();
    if (ports.empty())
        GTEST_SKIP() << "this machine has no serial port to list";
    const DiscoveredPort& stored = ports.front();
    const DiscoveredPort& chosen = ports.back();
    StoreBridge(stored.device, FreeTcpPort());
    OpenFrame();
    Select(0);
    wxString shown;
    const auto pressOk = [&](const char* line) {
        return [&, line](wxDialog* dialog) {
            dialog->CallAfter([&, line, dialog] {
                shown = static_cast<wxComboBox*>(wxWindow::FindWindowByName("serialPort", dialog))->GetValue();
                if (line)
                    SelectChoice(dialog, "serialPort", wxString::FromUTF8(line));
                ClickButton(dialog, BridgeOptionsPanel::ID_OK_BUTTON);
            });
            return wxID_NONE;
        };
    };
    // Untouched, the stored name stays, even where the port has a by-id link.
    dialogs.Expect(pressOk(nullptr));
    Command(SerialTCPBridgeFrame::ID_MODIFY);
    EXPECT_EQ(shown, wxString::FromUTF8(stored.Label()));
    EXPECT_EQ(Query("select com_port from bridges"), Rows{{stored.device}});

    const std::string chosenLine = chosen.Label();
    dialogs.Expect(pressOk(chosenLine.c_str()));
    Command(SerialTCPBridgeFrame::ID_MODIFY);
    EXPECT_TRUE(dialogs.AllSeen());
    EXPECT_EQ(Query("select com_port from bridges"), Rows{{chosen.name}});
}

TEST_F(UiTest, ActivatingARowOpensItsOptions)
{
    const unsigned short port = FreeTcpPort();
    StoreBridge("/dev/does-not-exist", port);
    OpenFrame();
    Select(0);
    wxString shownPort;
    dialogs.Expect([&](wxDialog* dialog) {
        shownPort = static_cast<wxTextCtrl*>(wxWindow::FindWindowByName("tcpPort", dialog))->GetValue();
        return wxID_CANCEL;
    });
    wxListEvent activated(wxEVT_LIST_ITEM_ACTIVATED, SerialTCPBridgeFrame::ID_LIST);
    activated.SetEventObject(&List());
    List().GetEventHandler()->ProcessEvent(activated);
    EXPECT_TRUE(dialogs.AllSeen());
    EXPECT_EQ(shownPort, wxString::Format("%u", port));
}

TEST_F(UiTest, DeleteRemovesTheRowTheStoredRowsAndThePort)
{
    PtyPair pty;
    const unsigned short keptPort = FreeTcpPort(), gonePort = FreeTcpPort();
    StoreBridge("/dev/does-not-exist", keptPort, {"10.0.0.1"});
    StoreBridge(pty.SlavePath(), gonePort, {"127.0.0.1", "10.0.0.2"});
    OpenFrame();
    TcpClient client;
    ASSERT_TRUE(Connect(client, gonePort, 1, "1"));

    Select(1);
    Command(SerialTCPBridgeFrame::ID_DELETE);
    EXPECT_TRUE(dialogs.unexpected.empty()) << "no question is asked";
    ASSERT_EQ(List().GetItemCount(), 1);
    EXPECT_EQ(Cell(0, 3), std::to_string(keptPort));
    EXPECT_EQ(Query("select tcp_port from bridges"), Rows{{std::to_string(keptPort)}});
    EXPECT_EQ(Query("select ip_address from ipfilters"), Rows{{"10.0.0.1"}});
    EXPECT_TRUE(PumpUntil([&] { return !client.Poll(); }));
    TcpClient late;
    EXPECT_FALSE(late.Connect(gonePort));
}

TEST_F(UiTest, TheSummaryListsClientsAndRefusedAddresses)
{
    const unsigned short port = FreeTcpPort();
    StoreBridge("/dev/does-not-exist", port, {"127.0.0.1"});
    OpenFrame();
    TcpClient first, second, stranger, other;
    ASSERT_TRUE(Connect(first, port, 0, "1"));
    ASSERT_TRUE(Connect(second, port, 0, "2"));
    ASSERT_TRUE(stranger.Connect(port, "127.0.0.2"));
    ASSERT_TRUE(other.Connect(port, "127.0.0.3"));
    Bridge* bridge = frame->GetBridgeAt(0);
    ASSERT_TRUE(PumpUntil([&] { return bridge->GetRefusedIps().size() == 2; }));

    wxString page;
    dialogs.Expect([&](wxDialog* dialog) {
        page = static_cast<BridgeSummaryPanel*>(dialog)->GetPage();
        return wxID_OK;
    });
    Select(0);
    Command(SerialTCPBridgeFrame::ID_SUMMARY);
    ASSERT_TRUE(dialogs.AllSeen());

    const wxString colour = wxSystemSettings::GetColour(wxSYS_COLOUR_BTNFACE).GetAsString(wxC2S_HTML_SYNTAX);
    EXPECT_EQ(page, "<html><body bgcolor=" + colour +
                        " ><center><h3>Bridge summary (#0)</h3></center>Listen address: all addresses<br>"
                        "Protocol: raw<br>Trace file: none<br>Client list:<br><table><tr><td><b>IP "
                        "address</b></td><td><b>Readed bytes</b></td><td><b>Writed bytes</b></td></tr>"
                        "<tr><td>127.0.0.1 (writer)</td><td>0</td><td>0</td></tr>"
                        "<tr><td>127.0.0.1</td><td>0</td><td>0</td></tr></table><br>"
                        "<br><b>Refused client list:</b><br>127.0.0.2<br>127.0.0.3</body></html>");
}

TEST_F(UiTest, RefreshRebuildsTheSummaryFromTheBridgeAsItIsNow)
{
    Bridge bridge(wxString("/dev/does-not-exist"), 9600, FreeTcpPort(), -1);
    bridge.SetRow(4);
    bridge.SetListenAddress("127.0.0.1");
    bridge.SetTraceFile("bridge<4>.log");
    bridge.Start();
    BridgeSummaryPanel summary(nullptr, bridge);
    const wxString colour = wxSystemSettings::GetColour(wxSYS_COLOUR_BTNFACE).GetAsString(wxC2S_HTML_SYNTAX);
    EXPECT_EQ(summary.GetPage(), "<html><body bgcolor=" + colour +
                                     " ><center><h3>Bridge summary (#4)</h3></center>Listen address: 127.0.0.1<br>"
                                     "Protocol: raw<br>Trace file: bridge&lt;4&gt;.log<br><br>Client list is empty."
                                     "<br>Refused client list is empty.</body></html>");

    TcpClient client;
    ASSERT_TRUE(client.Connect(bridge.GetTcpPort()));
    ASSERT_TRUE(PumpUntil([&] { return bridge.GetClientCount() == 1; }));
    ClickButton(&summary, BridgeSummaryPanel::ID_REFRESH);
    EXPECT_NE(summary.GetPage().Find("<tr><td>127.0.0.1 (writer)</td><td>0</td><td>0</td></tr>"), wxNOT_FOUND);
    bridge.Stop();
}

TEST_F(UiTest, ACloseWhileADialogIsOpenEndsTheDialogFirst)
{
    OpenFrame();
    dialogs.Expect([&](wxDialog* dialog) {
        dialog->CallAfter([this] { frame->Close(true); });
        return wxID_NONE;
    });
    Command(SerialTCPBridgeFrame::ID_ADD);
    frame = nullptr; // it is on its way out
    EXPECT_TRUE(PumpUntil([] { return wxTopLevelWindows.empty(); }));
}

TEST_F(UiTest, EscapeCancelsTheOptionsDialogAndEnterPressesOk)
{
    OpenFrame();
    bool stillOpen = false;
    const auto press = [&](int key) {
        dialogs.Expect([&, key](wxDialog* dialog) {
            dialog->CallAfter([dialog, key, &stillOpen] {
                wxKeyEvent event(wxEVT_CHAR_HOOK);
                event.m_keyCode = key;
                event.SetEventObject(dialog);
                dialog->GetEventHandler()->ProcessEvent(event);
                // After what the key queued.
                dialog->CallAfter([dialog, &stillOpen] {
                    stillOpen = dialog->IsModal();
                    if (stillOpen)
                        dialog->EndModal(wxID_CANCEL);
                });
            });
            return wxID_NONE;
        });
        Command(SerialTCPBridgeFrame::ID_ADD);
    };
    press(WXK_ESCAPE);
    EXPECT_TRUE(dialogs.AllSeen());
    EXPECT_FALSE(stillOpen) << "Escape left the dialog open";
    EXPECT_EQ(List().GetItemCount(), 0);

    press(WXK_RETURN);
    EXPECT_TRUE(dialogs.AllSeen());
    EXPECT_FALSE(stillOpen) << "Enter left the dialog open";
    EXPECT_EQ(List().GetItemCount(), 1) << "the new bridge was added";
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(UiTest, AboutNamesTheProgram)
{
    OpenFrame();
    Command(SerialTCPBridgeFrame::ID_ABOUT);
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text, "Serial <-> TCP bridge");
    EXPECT_EQ(dialogs.messages[0].caption, "Welcome to...");
}

TEST_F(UiTest, CommandsOnTheSelectionDoNothingWithoutOne)
{
    StoreBridge("/dev/does-not-exist", FreeTcpPort());
    OpenFrame();
    for (int command : {SerialTCPBridgeFrame::ID_MODIFY, SerialTCPBridgeFrame::ID_DELETE,
                        SerialTCPBridgeFrame::ID_SUMMARY})
        Command(command);
    EXPECT_TRUE(dialogs.unexpected.empty());
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_EQ(List().GetItemCount(), 1);
}

TEST_F(UiTest, TheOptionsDialogRefusesWhatItCannotStore)
{
    OpenFrame();
    bool stillOpen = true;
    dialogs.Expect([&](wxDialog* dialog) {
        dialog->CallAfter([&, dialog] {
            SetControlText(dialog, "serialPort", "/dev/ttyS0");
            SelectChoice(dialog, "baudRate", "9600");
            for (const char* port : {"", "0", "65536", "99999"})
            {
                SetControlText(dialog, "tcpPort", port);
                ClickButton(dialog, BridgeOptionsPanel::ID_OK_BUTTON);
            }
            for (const char* address : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "01.2.3.4", "1..2.3", "::g", "1::2::3"})
            {
                SetControlText(dialog, "ipAddress", address);
                ClickButton(dialog, BridgeOptionsPanel::ID_ADD);
            }
            SetControlText(dialog, "tcpPort", "4242");
            for (const char* address : {"127.0.0.01", "255.255.255.255", "239.1.2.3", "[::1]", "2001:db8::1%eth0"})
            {
                SetControlText(dialog, "listenAddress", address);
                ClickButton(dialog, BridgeOptionsPanel::ID_OK_BUTTON);
            }
            SetControlText(dialog, "listenAddress", "");
            SetControlText(dialog, "serialPort", "  ");
            ClickButton(dialog, BridgeOptionsPanel::ID_OK_BUTTON);
            stillOpen = dialog->IsModal();
            ClickButton(dialog, BridgeOptionsPanel::ID_CANCEL_BUTTON);
        });
        return wxID_NONE;
    });
    Command(SerialTCPBridgeFrame::ID_ADD);
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(List().GetItemCount(), 0);

    std::vector<std::string> texts;
    for (const auto& message : dialogs.messages)
        texts.push_back(message.text);
    const auto port = [](const std::string& typed) {
        return "The TCP port must be a number from 1 to 65535, not \"" + typed + "\".";
    };
    const auto notAnAddress = [](const std::string& typed) {
        return "\"" + typed + "\" is not an IP address such as 192.168.0.10 or 2001:db8::5.";
    };
    const std::string orEmpty = " Leave the listen address empty to listen on all addresses.";
    EXPECT_EQ(texts, (std::vector<std::string>{
                         port(""), port("0"), port("65536"), port("99999"),
                         "Type the IP address of a client to admit, such as 192.168.0.10 or 2001:db8::5.",
                         notAnAddress("1.2.3"), notAnAddress("1.2.3.4.5"), notAnAddress("256.1.1.1"),
                         notAnAddress("01.2.3.4"), notAnAddress("1..2.3"), notAnAddress("::g"), notAnAddress("1::2::3"),
                         "\"127.0.0.01\" is not an IP address such as 192.168.0.10 or 2001:db8::5." + orEmpty,
                         "\"255.255.255.255\" is a broadcast or multicast address, which no client can connect to." +
                             orEmpty,
                         "\"239.1.2.3\" is a broadcast or multicast address, which no client can connect to." + orEmpty,
                         "\"[::1]\" is written with brackets, which only go around an address followed by a port." +
                             orEmpty,
                         "\"2001:db8::1%eth0\" has a zone, which only a link-local address (fe80::...) takes." +
                             orEmpty,
                         "Choose or type the serial port."}));
}

TEST_F(UiTest, AFailedSaveKeepsTheDialogOpenWithTheInput)
{
    std::ofstream("bridges.db") << "not a database";
    OpenFrame();
    bool stillOpen = false;
    wxString keptPort;
    dialogs.Expect([&](wxDialog* dialog) {
        dialog->CallAfter([&, dialog] {
            SetControlText(dialog, "serialPort", "/dev/ttyS0");
            SelectChoice(dialog, "baudRate", "9600");
            SetControlText(dialog, "tcpPort", "4321");
            ClickButton(dialog, BridgeOptionsPanel::ID_OK_BUTTON);
            stillOpen = dialog->IsModal();
            keptPort = static_cast<wxTextCtrl*>(wxWindow::FindWindowByName("tcpPort", dialog))->GetValue();
            ClickButton(dialog, BridgeOptionsPanel::ID_CANCEL_BUTTON);
        });
        return wxID_NONE;
    });
    Command(SerialTCPBridgeFrame::ID_ADD);
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(keptPort, "4321");
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text, "Cannot save the bridge to bridges.db: file is not a database");
    EXPECT_EQ(List().GetItemCount(), 0);
}

TEST_F(UiTest, ARefusedOkKeepsNothingOfWhatItRefusedForTheNextTry)
{
    const unsigned short port = FreeTcpPort();
    StoreBridge("/dev/ttyUSB97", port);
    OpenFrame();
    Select(0);
    dialogs.Expect([&](wxDialog* dialog) {
        dialog->CallAfter([&, dialog] {
            SetControlText(dialog, "serialPort", "/dev/ttyUSB98");
            SetControlText(dialog, "tcpPort", "0");
            ClickButton(dialog, BridgeOptionsPanel::ID_OK_BUTTON);
            // The port as loaded again, and a TCP port that passes.
            SetControlText(dialog, "serialPort", "/dev/ttyUSB97");
            SetControlText(dialog, "tcpPort", std::to_string(port));
            ClickButton(dialog, BridgeOptionsPanel::ID_OK_BUTTON);
        });
        return wxID_NONE;
    });
    Command(SerialTCPBridgeFrame::ID_MODIFY);
    EXPECT_TRUE(dialogs.AllSeen());
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text, "The TCP port must be a number from 1 to 65535, not \"0\".");
    EXPECT_EQ(Query("select com_port, tcp_port from bridges"), (Rows{{"/dev/ttyUSB97", std::to_string(port)}}));
}
