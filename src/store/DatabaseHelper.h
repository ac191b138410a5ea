#pragma once

#include <wx/string.h>

#include <memory>
#include <vector>

class Bridge;

// What saveBridge is asked to do.
enum StoreAction : int
{
    ACTION_UPDATE = 0, // store the settings and IP filter changes; inserts a bridge not stored yet
    ACTION_DELETE = 1, // delete the bridge and all its IP filters
    ACTION_INSERT = 2  // insert the bridge and its new IP filters
};

// The outcome of a store operation. A failure carries a message fit to show
// a user; the store has logged it already.
struct StoreResult
{
    bool ok = true;
    wxString message;
};

// Keeps the bridges and their IP filter lists in "bridges.db" in the working
// directory. Every operation opens its own connection and closes it before
// it returns; none throws. A failed save or delete changes neither the file
// nor the bridge in memory. Never instantiated; GUI thread only.
class DatabaseHelper
{
public:
    static const char kFileName[];

    virtual ~DatabaseHelper() = default;
    DatabaseHelper() = delete;

    // Appends a new bridge for every stored row, with its IP filters. A file
    // that is missing is created empty, unless createMissing is false, when
    // that is a failure; an existing one is only read. On a
    // failure the bridges read so far stay appended. A bridge whose IP
    // filters cannot be read is marked so (and will not start), and one whose
    // TCP port is not from 1 to 65535 keeps what was stored to show it.
    static StoreResult loadBridges(std::vector<std::unique_ptr<Bridge>>& bridges, bool createMissing = true);

    // Writes the bridge as action says, creating the tables if needed. On
    // success an inserted bridge carries its new id, written entries carry
    // their row ids and the mark IPF_UNCHANGED, and after an update the
    // entries marked deleted are gone from the bridge.
    static StoreResult saveBridge(Bridge& bridge, int action);
};
