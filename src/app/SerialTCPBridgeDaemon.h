#pragma once

#include "bridge/BridgeSet.h"

#include <wx/app.h>

#include <memory>
#include <vector>

class Bridge;

// The headless runner: serves every bridge stored in the working directory
// until SIGINT or SIGTERM (on Windows, Ctrl+C or another console event),
// then stops them all and exits with status 0. It reads the store again when
// asked (SIGHUP; on Windows the reload command). A store that is missing or
// that it cannot read ends it with status 1; it never creates or changes the
// store.
class SerialTCPBridgeDaemon : public wxAppConsole
{
public:
    SerialTCPBridgeDaemon();
    ~SerialTCPBridgeDaemon() override;

    bool OnInit() override;
    int OnRun() override;
    int OnExit() override;

private:
    // Reads the store again and applies it to the running bridges (see
    // BridgeSet::Apply). A store it cannot read leaves them as they are: false.
    bool Reload();
    // Appends every stored bridge; false, and logged, when the store is
    // missing or cannot be read. Never creates it.
    static bool ReadStoredBridges(std::vector<std::unique_ptr<Bridge>>& bridges);
    BridgeSet m_bridges;
    bool m_loaded;
};
