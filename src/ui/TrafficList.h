#pragma once

#include <wx/listctrl.h>

class TrafficLines;

// The rows of a live traffic view: a virtual list that asks for the cells of
// the rows on screen only, so that a view stays as fast with thousands of
// rows as with ten. Each direction has its colour, events a third. It reads
// lines, which must outlive it. The GUI thread only.
class TrafficList : public wxListCtrl
{
public:
    TrafficList(wxWindow* parent, wxWindowID id, const TrafficLines& lines);

    // Shows the rows of lines after removed rows went from the front and
    // others came at the end; keeps the newest in sight when it was.
    void ShowChanges(std::size_t removed);
    // Shows lines anew, as after a clear or a change of layout.
    void ShowAll();

protected:
    wxString OnGetItemText(long item, long column) const override;
    wxItemAttr* OnGetItemAttr(long item) const override;

private:
    // Widens the text column for the layout of lines; hides the hex one in text only.
    void FitColumns();

    const TrafficLines& m_lines;
    mutable wxItemAttr m_toClients;
    mutable wxItemAttr m_toSerial;
    mutable wxItemAttr m_event;
};
