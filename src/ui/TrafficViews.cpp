#include "TrafficViews.h"

#include "TrafficView.h"

namespace
{
void Close(TrafficView* view)
{
    if (!view)
        return;
    // At once, as the bridge may go next; the window follows when it can.
    view->Detach();
    view->Close(true);
}
} // namespace

TrafficViews::~TrafficViews()
{
    CloseAll();
}

void TrafficViews::Show(Bridge& bridge)
{
    TrafficView* view = m_views[&bridge];
    // One that is closing has let its bridge go already.
    if (!view || !view->GetBridge())
    {
        view = new TrafficView(bridge);
        m_views[&bridge] = view;
    }
    view->Show();
    view->Raise();
}

void TrafficViews::CloseFor(const Bridge& bridge)
{
    const auto found = m_views.find(&bridge);
    if (found == m_views.end())
        return;
    Close(found->second.get());
    m_views.erase(found);
}

void TrafficViews::CloseAll()
{
    for (auto& entry : m_views)
        Close(entry.second.get());
    m_views.clear();
}
