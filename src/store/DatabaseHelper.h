#pragma once

#include <wx/string.h>

#include <functional>
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

// What a load asks of the file it reads.
enum class StoreFile
{
    CreateIfMissing, // a missing file is created empty and holds no bridges
    MustExist,       // a missing file is a failure; an empty one holds no bridges
    MustHoldBridges  // a file without the bridges table (an emptied one, say) is a failure too
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
//
// Several programs may use one file at once (the desktop program, the
// runner, commands run by scripts): writes take the file's write lock before
// they read anything, so each waits its turn for up to kBusyTimeoutMs.
// Every operation refuses a path that is not a regular file and a file
// whose pages are damaged, and writes nothing into either.
class DatabaseHelper
{
public:
    static const char kFileName[];
    // How long an operation waits for another program's write to end.
    static constexpr int kBusyTimeoutMs = 10000;

    virtual ~DatabaseHelper() = default;
    DatabaseHelper() = delete;

    // Whether anything is under the file's name, following links: a file, or
    // something else, such as a directory, that every operation refuses. A
    // link to nothing is nothing.
    static bool storeExists();

    // Appends a new bridge for every stored row, with its IP filters; file
    // says what a missing or empty file means. An existing file is only
    // read. On a failure the bridges read so far stay appended. A bridge
    // whose IP filters cannot be read is marked so (and will not start), and
    // one whose TCP port is not from 1 to 65535 keeps what was stored to show it.
    static StoreResult loadBridges(std::vector<std::unique_ptr<Bridge>>& bridges,
                                   StoreFile file = StoreFile::CreateIfMissing);

    // Writes the bridge as action says, creating the tables if needed. On
    // success an inserted bridge carries its new id, written entries carry
    // their row ids and the mark IPF_UNCHANGED, and after an update the
    // entries marked deleted are gone from the bridge.
    static StoreResult saveBridge(Bridge& bridge, int action);

    // Reads every stored bridge into bridges and calls decide with them in
    // view, then writes the bridge it names as its action says, all in one
    // write transaction: no other program writes between the reading and the
    // writing, so changes made at once by several programs all stay. decide
    // is not called when the bridges cannot all be read (a missing ipfilters
    // table, say); a null bridge writes nothing. Updating or deleting a
    // bridge that is not stored is a failure.
    struct Change
    {
        Bridge* bridge = nullptr;
        StoreAction action = ACTION_UPDATE;
    };
    static StoreResult changeBridges(std::vector<std::unique_ptr<Bridge>>& bridges, StoreFile file,
                                     const std::function<Change()>& decide);
};
