#pragma once

#include <wx/string.h>

// What keeps one side of a bridge from working: in full, for a status line
// and the log, and in a few words, for a list. Empty when it works.
struct BridgeProblem
{
    wxString full;
    wxString brief;

    bool empty() const { return full.empty(); }
};

// Two parts of one problem text, joined by "; "; either may be empty.
inline wxString JoinedProblems(const wxString& first, const wxString& second)
{
    if (first.empty() || second.empty())
        return first + second;
    return first + "; " + second;
}
