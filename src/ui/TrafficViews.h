#pragma once

// The toolkit's weak references use std::is_base_of without including its header.
#include <type_traits>

#include <wx/weakref.h>

#include <map>

class Bridge;
class TrafficView;

// The open traffic views of the main window's bridges, at most one per
// bridge. The owner of the bridges closes a bridge's view before the bridge
// goes, and every view before the bridges go, so that no view outlives what
// it watches. The GUI thread only.
class TrafficViews
{
public:
    TrafficViews() = default;
    TrafficViews(const TrafficViews&) = delete;
    TrafficViews& operator=(const TrafficViews&) = delete;
    ~TrafficViews();

    // Opens bridge's view, or brings the open one to the front.
    void Show(Bridge& bridge);
    // Closes bridge's view, if any; it holds nothing of bridge afterwards.
    void CloseFor(const Bridge& bridge);
    void CloseAll();

private:
    // A view closed by its user is gone from here by itself.
    std::map<const Bridge*, wxWeakRef<TrafficView>> m_views;
};
