#include "TrafficList.h"

#include "TrafficLines.h"

#include <algorithm>

namespace
{
const wxColour kToClientsColour(0, 80, 170);
const wxColour kToSerialColour(170, 70, 0);
const wxColour kEventColour(120, 40, 150);
constexpr int kCellPadding = 12;
constexpr int kLeastPoints = 9;

// The widest text each column holds, in the list's fixed-width font.
const char* const kWidest[] = {
    "00:00:00.000000",
    "serial -> clients",
    "255.255.255.255:65535",
    "00 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00",
    "0000000000000000",
};
// Text only: a row's bytes with a few escapes.
const char kWidestText[] = "0000000000000000000000000000000000000000000000000000000000000000\\r\\n";
} // namespace

TrafficList::TrafficList(wxWindow* parent, wxWindowID id, const TrafficLines& lines)
    : wxListCtrl(parent, id, wxDefaultPosition, wxDefaultSize, wxLC_REPORT | wxLC_VIRTUAL),
      m_lines(lines)
{
    // A point smaller than the rest, so that every column fits on a
    // 1024-pixel screen, but no smaller than Windows' own small text.
    const int points = std::max(GetFont().GetPointSize() - 1, kLeastPoints);
    SetFont(wxFont(wxFontInfo(points).Family(wxFONTFAMILY_TELETYPE)));
    m_toClients.SetTextColour(kToClientsColour);
    m_toSerial.SetTextColour(kToSerialColour);
    m_event.SetTextColour(kEventColour);
    const char* titles[] = {"Time", "Direction", "Client", "Hex", "Text"};
    for (int column = TrafficLines::COLUMN_TIME; column <= TrafficLines::COLUMN_TEXT; ++column)
        InsertColumn(column, titles[column]);
    FitColumns();
}

void TrafficList::ShowChanges(std::size_t removed)
{
    const long before = GetItemCount();
    const long top = GetTopItem();
    const bool following = before == 0 || top + GetCountPerPage() >= before;
    const long count = static_cast<long>(m_lines.GetRowCount());
    SetItemCount(count);
    if (count > 0 && following)
        EnsureVisible(count - 1);
    else if (removed > 0)
        EnsureVisible(std::max(0L, top - static_cast<long>(removed)));
    Refresh();
}

void TrafficList::ShowAll()
{
    FitColumns();
    SetItemCount(static_cast<long>(m_lines.GetRowCount()));
    if (GetItemCount() > 0)
        EnsureVisible(GetItemCount() - 1);
    Refresh();
}

void TrafficList::FitColumns()
{
    const bool hex = m_lines.GetLayout() == TrafficLines::Layout::HexAndText;
    for (int column = TrafficLines::COLUMN_TIME; column <= TrafficLines::COLUMN_TEXT; ++column)
    {
        const char* widest = column == TrafficLines::COLUMN_TEXT && !hex ? kWidestText : kWidest[column];
        int width = GetTextExtent(widest).GetWidth() + kCellPadding;
        if (column == TrafficLines::COLUMN_HEX && !hex)
            width = 0;
        SetColumnWidth(column, width);
    }
}

wxString TrafficList::OnGetItemText(long item, long column) const
{
    return wxString::FromUTF8(m_lines.GetCell(static_cast<std::size_t>(item),
                                              static_cast<TrafficLines::Column>(column)));
}

wxItemAttr* TrafficList::OnGetItemAttr(long item) const
{
    switch (m_lines.GetKind(static_cast<std::size_t>(item)))
    {
    case TraceRecord::Kind::ToClients: return &m_toClients;
    case TraceRecord::Kind::ToSerial: return &m_toSerial;
    case TraceRecord::Kind::Event: break;
    }
    return &m_event;
}
