#pragma once

#include "TrafficViews.h"
#include "bridge/ObserverBase.h"

#include <wx/frame.h>
#include <wx/timer.h>

#include <map>
#include <memory>
#include <vector>

class Bridge;
class wxDialog;
class wxListCtrl;
class wxListEvent;
class wxMenu;

// The main window: one row per bridge with its live counters, and the
// commands that add, modify, delete and summarise bridges. It owns the
// bridges it lists; building it loads and starts every stored bridge, and
// closing it stops them all.
//
// Rows are keyed by a number given at insertion and never reused: it is the
// row's item data, the bridge's row number and the "#" text, so a bridge's
// notifications find its row wherever deletions have moved it.
class SerialTCPBridgeFrame : public wxFrame, public ObserverBase
{
public:
    enum
    {
        ID_QUIT = 1000,
        ID_ABOUT = 1001,
        ID_ADD = 1002,
        ID_DELETE = 1003,
        ID_SUMMARY = 1004,
        ID_MODIFY = 1005,
        ID_LIST = 1006,
        ID_TRAFFIC = 1007
    };

    explicit SerialTCPBridgeFrame(const wxString& title);
    ~SerialTCPBridgeFrame() override;

    // Writes the changed counter into the bridge's row; GUI thread. A byte
    // counter's cell is rewritten at most about 20 times a second: values
    // that come faster wait for the next repaint, the latest one winning.
    void Update(long long value, int row, int kind) override;

    // Tells the user what went wrong while loading the store, if anything.
    // Called once the window is shown.
    void ReportStartupProblems();

    // Stops every bridge: ports freed, workers joined. For an end that
    // cannot wait for the window to close; closing it does this itself.
    void StopAll();

    wxListCtrl* GetList() const { return m_list; }
    // The bridge shown in the list row at index, or null.
    Bridge* GetBridgeAt(long index) const;

private:
    void OnClose(wxCloseEvent& event);
    void OnMenu(wxCommandEvent& event);
    void OnItemActivated(wxListEvent& event);
    void OnItemRightClick(wxListEvent& event);
    void OnSelectionChanged(wxListEvent& event);
    void OnRepaintTimer(wxTimerEvent& event);
    void WriteCell(int key, int column, long long value);

    void AddBridge();
    void ModifySelected();
    void DeleteSelected();
    void ShowSummary();
    void ShowTraffic();
    void ShowAbout();

    void AddRow(std::unique_ptr<Bridge> bridge);
    // Widens the columns whose title or texts do not fit; none gets narrower
    // than the width it was given at the start.
    void FitColumns();
    void WriteSettings(long index, const Bridge& bridge);
    // Marks rows whose bridges have a problem, writes every row's state,
    // and says why in the status bar.
    void ShowProblems();
    // The selected row's problem in full, or the only one, or how many.
    void ShowStatus();
    long FindRow(int key) const;
    long SelectedRow() const;
    // Shows a command's dialog; false when a close came meanwhile, and the
    // command must then leave its result alone.
    bool RunDialog(wxDialog& dialog, int& result);

    wxListCtrl* m_list;
    wxMenu* m_bridgesMenu;
    std::map<int, std::unique_ptr<Bridge>> m_bridges; // the row table, by row key
    int m_nextKey;
    std::vector<int> m_minimumWidths; // the column widths given at the start
    wxString m_startupProblem;
    wxDialog* m_openDialog;  // the command dialog being shown, if any
    bool m_closePending;     // a close came while it was shown
    wxTimer m_repaintTimer;  // runs while byte-counter cells were painted recently
    std::map<std::pair<int, int>, long long> m_pendingCells; // (row key, column) -> latest value
    TrafficViews m_trafficViews; // after m_bridges: the views close before the bridges go

    wxDECLARE_EVENT_TABLE();
};
