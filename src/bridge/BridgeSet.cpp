#include "BridgeSet.h"

#include "Bridge.h"

#include "log/Logger.h"

#include <algorithm>
#include <map>
#include <set>

BridgeSet::~BridgeSet()
{
    StopAll();
}

void BridgeSet::Start(std::vector<std::unique_ptr<Bridge>> bridges)
{
    StopAll();
    m_bridges = std::move(bridges);
    for (std::size_t row = 0; row < m_bridges.size(); ++row)
    {
        m_bridges[row]->SetRow(static_cast<int>(row));
        m_bridges[row]->Start();
    }
}

BridgeSet::Changes BridgeSet::Apply(std::vector<std::unique_ptr<Bridge>> stored)
{
    Changes changes;
    std::map<long long, std::unique_ptr<Bridge>> unchanged;
    std::set<long long> ran;
    for (auto& bridge : m_bridges)
    {
        ran.insert(bridge->GetId());
        const auto same = std::find_if(stored.begin(), stored.end(), [&](const std::unique_ptr<Bridge>& candidate) {
            return candidate->GetId() == bridge->GetId();
        });
        if (same != stored.end() && bridge->HasSettingsOf(**same))
        {
            unchanged[bridge->GetId()] = std::move(bridge);
            continue;
        }
        bridge->Stop();
        if (same == stored.end())
        {
            Logger::message("Bridge %lld (%s, TCP port %u) is no longer stored: it stops", bridge->GetId(),
                            bridge->GetComPort(), static_cast<unsigned>(bridge->GetTcpPort()));
            ++changes.stopped;
        }
    }
    m_bridges.clear();

    for (auto& bridge : stored)
    {
        const auto kept = unchanged.find(bridge->GetId());
        if (kept != unchanged.end())
        {
            // The trace file is not a setting to restart for: the bridge
            // takes it as it runs, and keeps its clients.
            if (kept->second->GetTraceFile() != bridge->GetTraceFile())
            {
                Logger::message("Bridge %lld (%s, TCP port %u) traces %s", bridge->GetId(), bridge->GetComPort(),
                                static_cast<unsigned>(bridge->GetTcpPort()),
                                bridge->GetTraceFile().empty() ? wxString("to no file now")
                                                               : "to " + bridge->GetTraceFile() + " now");
                kept->second->TraceTo(bridge->GetTraceFile());
            }
            bridge = std::move(kept->second);
            ++changes.unchanged;
        }
        else
        {
            const bool changed = ran.count(bridge->GetId()) != 0;
            Logger::message("Bridge %lld (%s, TCP port %u) is %s: it starts", bridge->GetId(), bridge->GetComPort(),
                            static_cast<unsigned>(bridge->GetTcpPort()), changed ? "changed" : "new");
            ++(changed ? changes.restarted : changes.started);
            bridge->Start();
        }
        bridge->SetRow(static_cast<int>(m_bridges.size()));
        m_bridges.push_back(std::move(bridge));
    }
    return changes;
}

void BridgeSet::StopAll()
{
    for (auto& bridge : m_bridges)
        bridge->Stop();
    m_bridges.clear();
}

int BridgeSet::Listening() const
{
    return static_cast<int>(std::count_if(m_bridges.begin(), m_bridges.end(),
                                          [](const std::unique_ptr<Bridge>& bridge) { return bridge->IsListening(); }));
}
