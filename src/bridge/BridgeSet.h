#pragma once

#include <cstddef>
#include <memory>
#include <vector>

class Bridge;

// The bridges a program serves, in the order the store gives them, and the
// one operation that brings them in step with what is stored now, so that a
// change takes effect without a restart. GUI thread only.
class BridgeSet
{
public:
    // What Apply did.
    struct Changes
    {
        int unchanged = 0; // went on with their clients
        int restarted = 0; // changed: stopped, then started with the new settings
        int started = 0;   // new
        int stopped = 0;   // no longer stored
    };

    BridgeSet() = default;
    BridgeSet(const BridgeSet&) = delete;
    BridgeSet& operator=(const BridgeSet&) = delete;
    // Stops every bridge.
    ~BridgeSet();

    // Takes the bridges in their order, gives each its row and starts it.
    void Start(std::vector<std::unique_ptr<Bridge>> bridges);
    // Takes the bridges as stored now. A running bridge stored with the same
    // id and settings goes on with its clients, tracing to the stored trace
    // file from now on; the others stop, those removed or changed before any
    // starts, so that a TCP port one of them frees can be taken by another;
    // then changed and new ones start. Each stop and start is logged.
    Changes Apply(std::vector<std::unique_ptr<Bridge>> stored);
    // Stops every bridge and forgets them.
    void StopAll();

    std::size_t Count() const { return m_bridges.size(); }
    // How many have a TCP server that listens.
    int Listening() const;

private:
    std::vector<std::unique_ptr<Bridge>> m_bridges;
};
