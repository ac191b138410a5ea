#pragma once

#include "bridge/Bridge.h"

#include <string>
#include <vector>

inline IpFilter FilterEntry(const wxString& address, int state, int id = -1)
{
    IpFilter entry;
    entry.ip_address = address;
    entry.state = state;
    entry.id = id;
    return entry;
}

// The addresses of a bridge's IP filter list, in its order.
inline std::vector<std::string> Addresses(const Bridge& bridge)
{
    std::vector<std::string> addresses;
    for (const IpFilter& entry : bridge.GetIpFilters())
        addresses.push_back(entry.ip_address.utf8_string());
    return addresses;
}
