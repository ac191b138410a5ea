#pragma once

#include "bridge/Bridge.h"
#include "store/DatabaseHelper.h"
#include "support/DialogDriver.h"
#include "support/EventLoop.h"
#include "support/FilterEntries.h"
#include "support/LogRecorder.h"
#include "support/PtyPair.h"
#include "support/TcpClient.h"
#include "support/TempDir.h"
#include "ui/SerialTCPBridgeFrame.h"

#include <gtest/gtest.h>
#include <wx/listctrl.h>
#include <wx/toplevel.h>

#include <memory>

// A main window over a store in a directory of its own, with every modal
// dialog answered by the test.
class UiTest : public ::testing::Test
{
protected:
    void TearDown() override { CloseFrame(); }

    // Stores a bridge as the options dialog would; returns its id.
    int StoreBridge(const wxString& port, unsigned short tcpPort, std::vector<const char*> addresses = {})
    {
        Bridge bridge(port, 115200, tcpPort, -1);
        for (const char* address : addresses)
            bridge.AddIpFilter(FilterEntry(address, IPF_NEW));
        EXPECT_TRUE(DatabaseHelper::saveBridge(bridge, ACTION_UPDATE).ok);
        return bridge.GetId();
    }

    SerialTCPBridgeFrame& OpenFrame()
    {
        frame = new SerialTCPBridgeFrame("Serial TCP bridge under test");
        frame->Show();
        return *frame;
    }

    void CloseFrame()
    {
        if (!frame)
            return;
        frame->Close(true);
        frame = nullptr;
        EXPECT_TRUE(PumpUntil([] { return wxTopLevelWindows.empty(); }));
    }

    wxListCtrl& List() { return *frame->GetList(); }
    std::string Cell(long row, int column) { return List().GetItemText(row, column).utf8_string(); }
    void Select(long row) { List().SetItemState(row, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED); }

    void Command(int id)
    {
        wxCommandEvent menu(wxEVT_MENU, id);
        frame->GetEventHandler()->ProcessEvent(menu);
    }

    // Connects and waits until the row shows the client.
    bool Connect(TcpClient& client, unsigned short port, long row, const char* clients, const char* from = "127.0.0.1")
    {
        return client.Connect(port, from) && PumpUntil([&] { return Cell(row, 4) == clients; });
    }

    TempDir dir;
    LogRecorder log;
    DialogDriver dialogs;
    SerialTCPBridgeFrame* frame = nullptr;
};
