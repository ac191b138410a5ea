#pragma once

#include <wx/dialog.h>

class Bridge;
class wxHtmlWindow;

// A modal page about one bridge: its connected clients with their byte
// counts and the addresses it has refused. "Refresh" rebuilds the page from
// the bridge's current state.
class BridgeSummaryPanel : public wxDialog
{
public:
    enum
    {
        ID_REFRESH = 0
    };

    // bridge: shown, not owned, never changed.
    BridgeSummaryPanel(wxWindow* parent, const Bridge& bridge);

    // The page for the bridge as it is now. Text taken from the bridge is
    // escaped.
    wxString BuildPage() const;
    // The page last loaded into the window.
    const wxString& GetPage() const { return m_page; }

private:
    void OnRefresh(wxCommandEvent& event);
    void LoadPage();

    const Bridge& m_bridge;
    wxHtmlWindow* m_htmlWindow;
    wxString m_page;
};
