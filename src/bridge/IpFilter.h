#pragma once

#include <wx/string.h>

// Change states of an IP filter entry: what the store has to write for it.
enum IpFilterState : int
{
    IPF_UNCHANGED = 4, // as loaded or created; nothing to write
    IPF_DELETED = 5,   // to be deleted from the store; admits nobody meanwhile
    IPF_MODIFIED = 6,  // address changed; to be updated
    IPF_NEW = 7        // to be inserted
};

// One entry of a bridge's IP allow-list. The field names are the store's
// column names.
struct IpFilter
{
    wxString ip_address; // an IP address in its canonical text, compared as text
    long long id = -1;        // row id in the store, -1 while not stored
    long long bridge_id = -1; // store id of the owning bridge, for inserts
    int state = IPF_UNCHANGED;
};
