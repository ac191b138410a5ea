#include "SerialTCPBridgeFrame.h"

#include "BridgeOptionsPanel.h"
#include "BridgeSummaryPanel.h"
#include "PlatformMenu.h"
#include "bridge/Bridge.h"
#include "store/DatabaseHelper.h"
#include "log/Logger.h"

#include <wx/intl.h>
#include <wx/listctrl.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/settings.h>

#include <algorithm>
#include <vector>

namespace
{
enum Column
{
    COLUMN_NUMBER,
    COLUMN_SERIAL_PORT,
    COLUMN_BAUD,
    COLUMN_TCP_PORT,
    COLUMN_CLIENTS,
    COLUMN_READ,
    COLUMN_WRITE,
    COLUMN_STATE
};

const wxColour kProblemColour(176, 0, 32);
// A byte counter's cell is repainted at most once in this many milliseconds.
constexpr int kRepaintMs = 50;
const char kWidestCounter[] = "000000000000";
constexpr int kCellPadding = 12;

// Menu texts go through the translation; an empty help text must not, as it
// would fetch the catalogue's header.
wxString Translated(const char* text)
{
    return *text ? wxGetTranslation(text) : wxString();
}

wxMenu* CreateBridgesMenu()
{
    auto* menu = new wxMenu;
    menu->Append(SerialTCPBridgeFrame::ID_ADD, Translated("&Add a new bridge\tF5"), Translated(""));
    menu->AppendSeparator();
    menu->Append(SerialTCPBridgeFrame::ID_MODIFY, Translated("&Modify selected bridge\tF7"), Translated(""));
    menu->Append(SerialTCPBridgeFrame::ID_DELETE, Translated("&Delete selected bridges\tF8"), Translated(""));
    menu->AppendSeparator();
    menu->Append(SerialTCPBridgeFrame::ID_SUMMARY, Translated("&Show a summary\tF10"),
                 Translated("Show a summary for the selected bridge"));
    menu->Append(SerialTCPBridgeFrame::ID_TRAFFIC, Translated("&Traffic...\tF9"),
                 Translated("Show the selected bridge's traffic as it flows"));
    return menu;
}

wxString Number(long long value)
{
    return wxString::Format("%lld", value);
}

void ShowStoreFailure(wxWindow* parent, const wxString& message)
{
    wxMessageBox(message, "Bridge store", wxOK | wxICON_ERROR, parent);
}
} // namespace

wxBEGIN_EVENT_TABLE(SerialTCPBridgeFrame, wxFrame)
    EVT_CLOSE(SerialTCPBridgeFrame::OnClose)
    EVT_MENU_RANGE(SerialTCPBridgeFrame::ID_QUIT, SerialTCPBridgeFrame::ID_MODIFY, SerialTCPBridgeFrame::OnMenu)
    EVT_MENU(SerialTCPBridgeFrame::ID_TRAFFIC, SerialTCPBridgeFrame::OnMenu)
    EVT_LIST_ITEM_ACTIVATED(SerialTCPBridgeFrame::ID_LIST, SerialTCPBridgeFrame::OnItemActivated)
    EVT_LIST_ITEM_RIGHT_CLICK(SerialTCPBridgeFrame::ID_LIST, SerialTCPBridgeFrame::OnItemRightClick)
    EVT_LIST_ITEM_SELECTED(SerialTCPBridgeFrame::ID_LIST, SerialTCPBridgeFrame::OnSelectionChanged)
    EVT_LIST_ITEM_DESELECTED(SerialTCPBridgeFrame::ID_LIST, SerialTCPBridgeFrame::OnSelectionChanged)
wxEND_EVENT_TABLE()

SerialTCPBridgeFrame::SerialTCPBridgeFrame(const wxString& title)
    : wxFrame(nullptr, wxID_ANY, title, wxDefaultPosition, wxDefaultSize, wxDEFAULT_FRAME_STYLE),
      m_list(nullptr),
      m_bridgesMenu(CreateBridgesMenu()),
      m_nextKey(0),
      m_openDialog(nullptr),
      m_closePending(false),
      m_repaintTimer(this)
{
    Bind(wxEVT_TIMER, &SerialTCPBridgeFrame::OnRepaintTimer, this, m_repaintTimer.GetId());
    auto* fileMenu = new wxMenu;
    fileMenu->Append(ID_QUIT, Translated(QuitMenuText()), Translated("Quit the application"));
    auto* helpMenu = new wxMenu;
    helpMenu->Append(ID_ABOUT, Translated("&About\tF1"), Translated("Show info about this application"));
    auto* menuBar = new wxMenuBar;
    menuBar->Append(fileMenu, Translated("&File"));
    menuBar->Append(m_bridgesMenu, Translated("&Bridges"));
    menuBar->Append(helpMenu, Translated("&Help"));
    SetMenuBar(menuBar);

    CreateStatusBar(1);
    SetStatusText(Translated("bridge"), 0);

    m_list = new wxListCtrl(this, ID_LIST, wxDefaultPosition, wxSize(400, 300), wxLC_REPORT | wxLC_SINGLE_SEL);
    const int width = m_list->GetSize().GetWidth() - 4;
    m_list->InsertColumn(COLUMN_NUMBER, "#", wxLIST_FORMAT_LEFT, width / 16);
    m_list->InsertColumn(COLUMN_SERIAL_PORT, "Serial port", wxLIST_FORMAT_LEFT, width / 6);
    m_list->InsertColumn(COLUMN_BAUD, "Baudrate", wxLIST_FORMAT_LEFT, width / 6);
    m_list->InsertColumn(COLUMN_TCP_PORT, "TCP port", wxLIST_FORMAT_LEFT, width / 6);
    m_list->InsertColumn(COLUMN_CLIENTS, "Clients", wxLIST_FORMAT_RIGHT, width / 8);
    m_list->InsertColumn(COLUMN_READ, "Read", wxLIST_FORMAT_RIGHT, width / 8);
    m_list->InsertColumn(COLUMN_WRITE, "Write", wxLIST_FORMAT_RIGHT, width / 8);
    m_list->InsertColumn(COLUMN_STATE, "State", wxLIST_FORMAT_LEFT, width / 3);
    for (int column = 0; column < m_list->GetColumnCount(); ++column)
        m_minimumWidths.push_back(m_list->GetColumnWidth(column));

    std::vector<std::unique_ptr<Bridge>> stored;
    const StoreResult loaded = DatabaseHelper::loadBridges(stored);
    if (!loaded.ok)
        m_startupProblem = loaded.message;
    for (std::unique_ptr<Bridge>& bridge : stored)
    {
        Bridge& started = *bridge;
        AddRow(std::move(bridge));
        started.Start();
    }
    ShowProblems();
    if (m_list->GetItemCount() > 0)
    {
        FitColumns();
        // Open wide enough to show every column.
        int total = 0;
        for (int column = 0; column < m_list->GetColumnCount(); ++column)
            total += m_list->GetColumnWidth(column);
        const wxSize client = GetClientSize();
        SetClientSize(std::max(client.GetWidth(), total + wxSystemSettings::GetMetric(wxSYS_VSCROLL_X)),
                      client.GetHeight());
    }
}

SerialTCPBridgeFrame::~SerialTCPBridgeFrame()
{
    m_trafficViews.CloseAll();
    for (auto& entry : m_bridges)
        entry.second->RemoveObserver(this);
    StopAll();
}

void SerialTCPBridgeFrame::Update(long long value, int row, int kind)
{
    if (kind == UPDATE_PROBLEM)
    {
        ShowProblems();
        return;
    }
    static const std::map<int, int> kColumns = {
        {UPDATE_READ, COLUMN_READ}, {UPDATE_WRITE, COLUMN_WRITE}, {UPDATE_CLIENTS, COLUMN_CLIENTS}};
    const auto column = kColumns.find(kind);
    if (column == kColumns.end())
        return;
    // The client count changes seldom; a reset to 0 must show at once.
    if (kind == UPDATE_CLIENTS || value == 0 || !m_repaintTimer.IsRunning())
    {
        m_pendingCells.erase({row, column->second});
        WriteCell(row, column->second, value);
        if (kind != UPDATE_CLIENTS && value != 0)
            m_repaintTimer.StartOnce(kRepaintMs);
        return;
    }
    m_pendingCells[{row, column->second}] = value;
}

void SerialTCPBridgeFrame::OnRepaintTimer(wxTimerEvent&)
{
    if (m_pendingCells.empty())
        return;
    for (const auto& [cell, value] : m_pendingCells)
        WriteCell(cell.first, cell.second, value);
    m_pendingCells.clear();
    m_repaintTimer.StartOnce(kRepaintMs);
}

void SerialTCPBridgeFrame::WriteCell(int key, int column, long long value)
{
    const long index = FindRow(key);
    if (index != wxNOT_FOUND)
        m_list->SetItem(index, column, Number(value), -1);
}

void SerialTCPBridgeFrame::ReportStartupProblems()
{
    if (!m_startupProblem.empty())
        ShowStoreFailure(this, m_startupProblem);
    m_startupProblem.clear();
}

Bridge* SerialTCPBridgeFrame::GetBridgeAt(long index) const
{
    if (index < 0 || index >= m_list->GetItemCount())
        return nullptr;
    const auto found = m_bridges.find(static_cast<int>(m_list->GetItemData(index)));
    return found == m_bridges.end() ? nullptr : found->second.get();
}

void SerialTCPBridgeFrame::OnClose(wxCloseEvent&)
{
    // A signal can ask while a command's dialog runs, which lives on that
    // command's stack: end the dialog first and close once it has returned.
    if (m_openDialog)
    {
        m_closePending = true;
        m_openDialog->EndModal(wxID_CANCEL);
        return;
    }
    // Every port is freed and every worker ended before the window goes.
    StopAll();
    m_trafficViews.CloseAll();
    Destroy();
}

bool SerialTCPBridgeFrame::RunDialog(wxDialog& dialog, int& result)
{
    m_openDialog = &dialog;
    result = dialog.ShowModal();
    m_openDialog = nullptr;
    if (!m_closePending)
        return true;
    CallAfter([this] { Close(true); });
    return false;
}

void SerialTCPBridgeFrame::OnMenu(wxCommandEvent& event)
{
    switch (event.GetId())
    {
    case ID_QUIT: Close(true); break;
    case ID_ABOUT: ShowAbout(); break;
    case ID_ADD: AddBridge(); break;
    case ID_DELETE: DeleteSelected(); break;
    case ID_SUMMARY: ShowSummary(); break;
    case ID_MODIFY: ModifySelected(); break;
    case ID_TRAFFIC: ShowTraffic(); break;
    default: break;
    }
}

void SerialTCPBridgeFrame::OnItemActivated(wxListEvent&)
{
    ModifySelected();
}

void SerialTCPBridgeFrame::OnSelectionChanged(wxListEvent&)
{
    ShowStatus();
}

void SerialTCPBridgeFrame::OnItemRightClick(wxListEvent&)
{
    // A menu of the menu bar cannot also be a pop-up menu: show a twin.
    std::unique_ptr<wxMenu> popup(CreateBridgesMenu());
    PopupMenu(popup.get());
}

void SerialTCPBridgeFrame::AddBridge()
{
    BridgeOptionsPanel dialog(this, nullptr);
    int result = wxID_CANCEL;
    if (!RunDialog(dialog, result) || result != wxID_OK)
        return;
    std::unique_ptr<Bridge> bridge = dialog.TakeWorkingCopy();
    Bridge& added = *bridge;
    AddRow(std::move(bridge));
    added.Start();
    ShowProblems();
    FitColumns();
}

void SerialTCPBridgeFrame::ModifySelected()
{
    const long index = SelectedRow();
    Bridge* bridge = GetBridgeAt(index);
    if (!bridge)
        return;
    BridgeOptionsPanel dialog(this, bridge);
    int result = wxID_CANCEL;
    if (!RunDialog(dialog, result) || result != wxID_OK)
        return;
    // A changed trace file alone, which Assign applies as the bridge runs,
    // is no reason to drop its clients; any other OK restarts the bridge.
    const Bridge& copy = dialog.GetWorkingCopy();
    const bool restart = !bridge->HasSettingsOf(copy) || bridge->GetTraceFile() == copy.GetTraceFile();
    bridge->Assign(&dialog.GetWorkingCopy());
    WriteSettings(index, *bridge);
    if (restart)
    {
        bridge->Stop();
        bridge->Start();
    }
    ShowProblems();
    FitColumns();
}

void SerialTCPBridgeFrame::DeleteSelected()
{
    const long index = SelectedRow();
    Bridge* bridge = GetBridgeAt(index);
    if (!bridge)
        return;
    bridge->Stop();
    const StoreResult deleted = DatabaseHelper::saveBridge(*bridge, ACTION_DELETE);
    if (!deleted.ok)
    {
        // The row stays, and so does the bridge, running as before.
        ShowStoreFailure(this, deleted.message);
        bridge->Start();
        ShowProblems();
        return;
    }
    const int key = static_cast<int>(m_list->GetItemData(index));
    m_trafficViews.CloseFor(*bridge);
    m_list->DeleteItem(index);
    m_bridges.erase(key);
    ShowProblems();
}

void SerialTCPBridgeFrame::ShowSummary()
{
    Bridge* bridge = GetBridgeAt(SelectedRow());
    if (!bridge)
        return;
    BridgeSummaryPanel dialog(this, *bridge);
    int result = wxID_OK;
    RunDialog(dialog, result);
}

void SerialTCPBridgeFrame::ShowTraffic()
{
    if (Bridge* bridge = GetBridgeAt(SelectedRow()))
        m_trafficViews.Show(*bridge);
}

void SerialTCPBridgeFrame::ShowAbout()
{
    wxMessageBox("Serial <-> TCP bridge", wxGetTranslation("Welcome to..."), wxOK | wxCENTRE);
}

void SerialTCPBridgeFrame::AddRow(std::unique_ptr<Bridge> bridge)
{
    const int key = m_nextKey++;
    const long index = m_list->InsertItem(m_list->GetItemCount(), Number(key));
    m_list->SetItemData(index, key);
    WriteSettings(index, *bridge);
    m_list->SetItem(index, COLUMN_CLIENTS, Number(bridge->GetClientCount()));
    m_list->SetItem(index, COLUMN_READ, Number(bridge->GetReadBytes()));
    m_list->SetItem(index, COLUMN_WRITE, Number(bridge->GetWriteBytes()));
    bridge->SetRow(key);
    bridge->AddObserver(this);
    m_bridges[key] = std::move(bridge);
}

void SerialTCPBridgeFrame::FitColumns()
{
    // Counters grow after the fit: leave them room for a dozen digits.
    const int counterWidth = m_list->GetTextExtent(kWidestCounter).GetWidth() + kCellPadding;
    for (int column = 0; column < m_list->GetColumnCount(); ++column)
    {
        // The last column would otherwise fill what the window has left, not fit its texts.
        m_list->SetColumnWidth(column, column == COLUMN_STATE ? wxLIST_AUTOSIZE : wxLIST_AUTOSIZE_USEHEADER);
        // Not every list control counts the heading in ("Serial p..." under Wine).
        wxListItem heading;
        heading.SetMask(wxLIST_MASK_TEXT);
        m_list->GetColumn(column, heading);
        int least = std::max(m_minimumWidths[column], m_list->GetTextExtent(heading.GetText()).GetWidth() + 2 * kCellPadding);
        if (column == COLUMN_READ || column == COLUMN_WRITE)
            least = std::max(least, counterWidth);
        if (m_list->GetColumnWidth(column) < least)
            m_list->SetColumnWidth(column, least);
    }
}

void SerialTCPBridgeFrame::WriteSettings(long index, const Bridge& bridge)
{
    m_list->SetItem(index, COLUMN_SERIAL_PORT, bridge.GetComPort());
    m_list->SetItem(index, COLUMN_BAUD, Number(bridge.GetComBaud()));
    const wxString& stored = bridge.GetStoredTcpPort();
    m_list->SetItem(index, COLUMN_TCP_PORT, stored.empty() ? Number(bridge.GetTcpPort()) : stored);
}

void SerialTCPBridgeFrame::ShowProblems()
{
    for (long index = 0; index < m_list->GetItemCount(); ++index)
    {
        const Bridge* bridge = GetBridgeAt(index);
        if (!bridge)
            continue;
        const bool failed = !bridge->GetProblem().empty();
        m_list->SetItemTextColour(index, failed ? kProblemColour
                                                : wxSystemSettings::GetColour(wxSYS_COLOUR_LISTBOXTEXT));
        m_list->SetItem(index, COLUMN_STATE, bridge->GetState());
        // A state that changes later, such as a port that fails, must still show whole.
        const int stateWidth = m_list->GetTextExtent(bridge->GetState()).GetWidth() + kCellPadding;
        if (m_list->GetColumnWidth(COLUMN_STATE) < stateWidth)
            m_list->SetColumnWidth(COLUMN_STATE, stateWidth);
    }
    ShowStatus();
}

void SerialTCPBridgeFrame::ShowStatus()
{
    // The selected bridge's problem in full; else the only one, or how many there are.
    const Bridge* selected = GetBridgeAt(SelectedRow());
    if (selected && !selected->GetProblem().empty())
    {
        SetStatusText(wxString::Format("Bridge #%d: %s", selected->GetRow(), selected->GetProblem()), 0);
        return;
    }
    wxString firstProblem;
    int problems = 0;
    for (long index = 0; index < m_list->GetItemCount(); ++index)
    {
        const Bridge* bridge = GetBridgeAt(index);
        if (bridge && !bridge->GetProblem().empty() && problems++ == 0)
            firstProblem = wxString::Format("Bridge #%d: %s", bridge->GetRow(), bridge->GetProblem());
    }
    if (problems == 0)
        SetStatusText(Translated("bridge"), 0);
    else if (problems == 1)
        SetStatusText(firstProblem, 0);
    else
        SetStatusText(wxString::Format("%d bridges have problems: select one to see why", problems), 0);
}

long SerialTCPBridgeFrame::FindRow(int key) const
{
    return m_list->FindItem(-1, static_cast<wxUIntPtr>(key));
}

long SerialTCPBridgeFrame::SelectedRow() const
{
    return m_list->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED);
}

void SerialTCPBridgeFrame::StopAll()
{
    for (auto& entry : m_bridges)
        entry.second->Stop();
}
