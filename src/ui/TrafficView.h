#pragma once

#include "TrafficLines.h"

#include <wx/frame.h>
#include <wx/timer.h>

#include <memory>

class Bridge;
class TraceRing;
class TrafficList;
class wxFileDialog;

// A window that shows one bridge's traffic as it flows: the latest 64 KiB
// or so of it, each direction in its colour and events in a third, as hex
// and text or as text only. The bridge feeds the window's ring and never
// waits for it; the window takes what came about ten times a second and
// shows only the rows on screen, so that a busy bridge costs it little.
// Records pushed out of the ring before the window took them (the bridge
// was faster, or the view paused) show as one event line.
//
// Pause stops the display; the ring goes on keeping the newest 64 KiB,
// which shows on resuming, after a line that counts what was let go. Clear
// empties the view and what waits in the ring. "Save as..." writes the
// records shown in the trace file's format.
//
// The window holds its bridge from construction until Detach or its close,
// whichever comes first; whoever destroys the bridge detaches it first. It
// has no parent: a save dialog of its own may hold it open a moment after
// the main window has gone. The GUI thread only.
class TrafficView : public wxFrame
{
public:
    enum
    {
        ID_LAYOUT = 1100,
        ID_PAUSE,
        ID_CLEAR,
        ID_SAVE,
        ID_LIST,
    };
    static constexpr int kDrawMs = 100;

    explicit TrafficView(Bridge& bridge);
    ~TrafficView() override;

    // Stops watching the bridge and forgets it; the window stays until closed.
    void Detach();
    // The bridge watched, null once detached.
    const Bridge* GetBridge() const { return m_bridge; }

    // Writes the records shown to the file at path, in the trace file's
    // format; false, logged and with the reason in why, when it cannot.
    bool SaveTo(const wxString& path, wxString& why);

private:
    void OnClose(wxCloseEvent& event);
    void OnTimer(wxTimerEvent& event);
    void OnLayout(wxCommandEvent& event);
    void OnPause(wxCommandEvent& event);
    void OnClear(wxCommandEvent& event);
    void OnSave(wxCommandEvent& event);

    Bridge* m_bridge;
    std::shared_ptr<TraceRing> m_ring;
    TrafficLines m_lines;
    TrafficList* m_list;
    wxTimer m_drawTimer;
    bool m_paused = false;
    wxFileDialog* m_saveDialog = nullptr; // while "Save as..." asks where
    bool m_closePending = false;           // a close came meanwhile

    wxDECLARE_EVENT_TABLE();
};
