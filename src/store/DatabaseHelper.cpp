#include "DatabaseHelper.h"

#include "log/Logger.h"
#include "StoreBackend.h"
#include "bridge/Bridge.h"
#include "serial/SFile.h"

#include <wx/filefn.h>
#include <wx/filename.h>

#include <utility>

const char DatabaseHelper::kFileName[] = "bridges.db";

namespace
{
const char kCreateBridges[] = "CREATE TABLE [bridges] ([id] INTEGER  NOT NULL PRIMARY KEY AUTOINCREMENT,"
                              "[com_port] VARCHAR(8)  NULL,[com_baud] INTEGER  NULL,[tcp_port] INTEGER  NULL);";
const char kCreateIpFilters[] = "CREATE TABLE [ipfilters] ([id] INTEGER  NOT NULL PRIMARY KEY AUTOINCREMENT,"
                                "[bridge_id] INTEGER  NULL,[ip_address] VARCHAR(15)  NULL);";
// Columns added to bridges after its first form: the serial character frame,
// where a NULL, or a file without them, means 8 data bits, no parity, 1 stop
// bit; the address to listen on, where NULL or none means all of them; how
// clients speak, where NULL or none means raw bytes; and the file the traffic
// is traced to, where NULL or none means no trace.
const char* const kAddedColumns[][2] = {
    {"data_bits", "ALTER TABLE [bridges] ADD COLUMN [data_bits] INTEGER  NULL;"},
    {"parity", "ALTER TABLE [bridges] ADD COLUMN [parity] VARCHAR(1)  NULL;"},
    {"stop_bits", "ALTER TABLE [bridges] ADD COLUMN [stop_bits] INTEGER  NULL;"},
    {"listen_address", "ALTER TABLE [bridges] ADD COLUMN [listen_address] TEXT  NULL;"},
    {"protocol", "ALTER TABLE [bridges] ADD COLUMN [protocol] TEXT  NULL;"},
    {"trace_file", "ALTER TABLE [bridges] ADD COLUMN [trace_file] TEXT  NULL;"},
};

constexpr long long kLowestTcpPort = 1;
constexpr long long kHighestTcpPort = 65535;

// The wrapper puts the error code in front of SQLite's own text.
wxString Reason(const StoreException& failure)
{
    const wxString message = failure.GetMessage();
    const int end = message.Find("]: ");
    return end == wxNOT_FOUND ? message : message.Mid(static_cast<size_t>(end) + 3);
}

StoreResult Failure(const wxString& message)
{
    Logger::message(message);
    return StoreResult{false, message};
}

[[noreturn]] void Refuse(const char* why)
{
    throw StoreException(WXSQLITE_ERROR, why);
}

// A damaged file can read as rows of zeros and NULLs, and writing into it
// can only make it worse. The quick check reads every page once, which for a
// file of bridges is nothing.
void CheckPages(StoreDatabase& database)
{
    StoreResultSet verdict = database.ExecuteQuery("pragma quick_check(1);");
    if (!verdict.NextRow())
        return;
    wxString first = verdict.GetString("quick_check");
    if (first == "ok")
        return;
    // One line for a message: "*** in database main ***\nOn tree page 2 ..."
    first.Replace("*** in database main ***\n", "");
    first.Replace("\n", "; ");
    throw StoreException(WXSQLITE_ERROR, "the file is damaged (" + first + "); it is left as it is");
}

void Open(StoreDatabase& database, bool mayCreate)
{
    // A directory or a device would be misread, and opening a FIFO blocks.
    if (DatabaseHelper::storeExists() && !wxFileName::FileExists(DatabaseHelper::kFileName))
        Refuse("it is not a regular file");
    const int flags = WXSQLITE_OPEN_READWRITE | (mayCreate ? WXSQLITE_OPEN_CREATE : 0);
    database.Open(DatabaseHelper::kFileName, wxEmptyString, flags);
    database.SetBusyTimeout(DatabaseHelper::kBusyTimeoutMs);
    CheckPages(database);
}

// A write transaction, begun as a writer: a deferred one that reads first
// cannot wait for another writer when it comes to write, and fails at once
// with "database is locked". Rolls back unless committed, also when a
// failure passes through.
class Transaction
{
public:
    explicit Transaction(StoreDatabase& database) : m_database(database)
    {
        m_database.Begin(WXSQLITE_TRANSACTION_IMMEDIATE);
    }
    ~Transaction()
    {
        if (m_open)
        {
            try
            {
                m_database.Rollback();
            }
            catch (const StoreException&)
            {
                // Closing the connection rolls back as well.
            }
        }
    }
    void Commit()
    {
        m_database.Commit();
        m_open = false;
    }

private:
    StoreDatabase& m_database;
    bool m_open = true;
};

// Returns the rows the statement changed.
int Execute(StoreDatabase& database, const char* sql, long long value)
{
    StoreStatement statement = database.PrepareStatement(sql);
    statement.Bind(1, wxLongLong(value));
    return statement.ExecuteUpdate();
}

// What a write leaves to do to the bridge in memory once it is committed.
struct Written
{
    StoreAction action = ACTION_UPDATE;
    long long id = -1;                                              // the bridge's id in the file
    std::vector<std::pair<std::size_t, long long>> insertedFilters; // entry index, new row id
};

// Writes each entry as its mark says and returns the row ids that inserted
// entries received, by position. Inserted entries belong to bridgeId.
std::vector<std::pair<std::size_t, long long>> WriteIpFilters(StoreDatabase& database,
                                                               const std::vector<IpFilter>& entries,
                                                               long long bridgeId)
{
    std::vector<std::pair<std::size_t, long long>> inserted;
    for (std::size_t i = 0; i < entries.size(); ++i)
    {
        const IpFilter& entry = entries[i];
        switch (entry.state)
        {
        case IPF_DELETED:
            Execute(database, "delete from ipfilters where id=?;", entry.id);
            break;
        case IPF_MODIFIED:
        {
            StoreStatement statement = database.PrepareStatement("update ipfilters set ip_address = ? where id=?;");
            statement.Bind(1, entry.ip_address);
            statement.Bind(2, wxLongLong(entry.id));
            statement.ExecuteUpdate();
            break;
        }
        case IPF_NEW:
        {
            StoreStatement statement =
                database.PrepareStatement("insert into ipfilters (bridge_id,ip_address) values(?,?);");
            statement.Bind(1, wxLongLong(bridgeId));
            statement.Bind(2, entry.ip_address);
            statement.ExecuteUpdate();
            inserted.emplace_back(i, database.GetLastRowId().GetValue());
            break;
        }
        default:
            break;
        }
    }
    return inserted;
}

// After a commit: the bridge in memory now matches the file.
void ApplyWritten(Bridge& bridge, const Written& written)
{
    if (written.action == ACTION_DELETE)
        return;
    std::vector<IpFilter>& entries = bridge.GetIpFilters();
    if (written.action == ACTION_INSERT)
    {
        bridge.SetId(written.id);
        for (IpFilter& entry : entries)
            entry.bridge_id = written.id;
    }
    for (const auto& [index, rowId] : written.insertedFilters)
    {
        entries[index].id = rowId;
        entries[index].bridge_id = written.id;
    }
    for (IpFilter& entry : entries)
    {
        if (entry.state == IPF_NEW || entry.state == IPF_MODIFIED)
            entry.state = IPF_UNCHANGED;
    }
    if (written.action == ACTION_UPDATE)
        bridge.PurgeDeletedIpFilters();
}

bool HasColumn(StoreDatabase& database, const char* column)
{
    StoreResultSet columns = database.ExecuteQuery("pragma table_info(bridges);");
    while (columns.NextRow())
    {
        if (columns.GetString("name").IsSameAs(column, false))
            return true;
    }
    return false;
}

bool HasColumn(StoreResultSet& rows, const char* column)
{
    for (int index = 0; index < rows.GetColumnCount(); ++index)
    {
        if (rows.GetColumnName(index).IsSameAs(column, false))
            return true;
    }
    return false;
}

// Inside the write's transaction, so that a failed write leaves no tables
// behind. A file that has bridges but lost its ipfilters table is not
// mended: its bridges would admit every address.
void CreateMissingTables(StoreDatabase& database, const Bridge& bridge)
{
    const bool haveBridges = database.TableExists("bridges");
    const bool haveFilters = database.TableExists("ipfilters");
    if (haveBridges && !haveFilters)
        Refuse("it has no ipfilters table, so its bridges would admit every address");
    if (!haveBridges)
        database.ExecuteUpdate(kCreateBridges);
    if (!haveFilters)
        database.ExecuteUpdate(kCreateIpFilters);
    for (const auto& column : kAddedColumns)
    {
        if (!HasColumn(database, column[0]))
            database.ExecuteUpdate(column[1]);
    }
    Logger::message("br->GetId()=%lld", bridge.GetId());
}

// The bridge's own columns, in the order both statements name them; the
// statements store an empty listen address as NULL, as files without it have,
// and so the raw protocol and an empty trace file.
StoreStatement BridgeStatement(StoreDatabase& database, const char* sql, const Bridge& bridge)
{
    StoreStatement statement = database.PrepareStatement(sql);
    statement.Bind(1, bridge.GetComPort());
    statement.Bind(2, bridge.GetComBaud());
    statement.Bind(3, static_cast<int>(bridge.GetTcpPort()));
    statement.Bind(4, bridge.GetDataBits());
    statement.Bind(5, wxString(bridge.GetParity()));
    statement.Bind(6, bridge.GetStopBits());
    statement.Bind(7, bridge.GetListenAddress());
    statement.Bind(8, bridge.GetProtocol());
    statement.Bind(9, bridge.GetTraceFile());
    return statement;
}

Written InsertBridge(StoreDatabase& database, const Bridge& bridge)
{
    BridgeStatement(database,
                    "insert into bridges (com_port,com_baud,tcp_port,data_bits,parity,stop_bits,listen_address,"
                    "protocol,trace_file) values(?,?,?,?,?,?,nullif(?,''),nullif(?,'raw'),nullif(?,''))",
                    bridge)
        .ExecuteUpdate();
    Written written;
    written.action = ACTION_INSERT;
    written.id = database.GetLastRowId().GetValue();
    written.insertedFilters = WriteIpFilters(database, bridge.GetIpFilters(), written.id);
    return written;
}

Written UpdateBridge(StoreDatabase& database, const Bridge& bridge)
{
    StoreStatement statement = BridgeStatement(database,
                                               "update bridges set com_port = ?, com_baud=?, tcp_port = ?, "
                                               "data_bits = ?, parity = ?, stop_bits = ?, "
                                               "listen_address = nullif(?,''), protocol = nullif(?,'raw'), "
                                               "trace_file = nullif(?,'') where id=?",
                                               bridge);
    statement.Bind(10, wxLongLong(bridge.GetId()));
    if (statement.ExecuteUpdate() == 0)
        Refuse("the bridge is no longer stored there");
    Written written;
    written.id = bridge.GetId();
    written.insertedFilters = WriteIpFilters(database, bridge.GetIpFilters(), bridge.GetId());
    return written;
}

Written DeleteBridge(StoreDatabase& database, const Bridge& bridge)
{
    if (Execute(database, "delete from bridges where id=?;", bridge.GetId()) == 0)
        Refuse("the bridge is no longer stored there");
    Execute(database, "delete from ipfilters where bridge_id=?;", bridge.GetId());
    Written written;
    written.action = ACTION_DELETE;
    written.id = bridge.GetId();
    return written;
}

// Writes the bridge as action says, inside the caller's transaction.
Written WriteBridge(StoreDatabase& database, const Bridge& bridge, int action)
{
    CreateMissingTables(database, bridge);
    if (action == ACTION_DELETE)
        return DeleteBridge(database, bridge);
    if (action == ACTION_UPDATE && bridge.GetId() != -1)
        return UpdateBridge(database, bridge);
    return InsertBridge(database, bridge);
}

// Reads the bridge's IP filters; false when they cannot be read.
bool LoadIpFilters(StoreDatabase& database, long long bridgeId, Bridge& bridge, wxString& cause)
{
    try
    {
        StoreStatement query = database.PrepareStatement("select * from ipfilters where bridge_id=?");
        query.Bind(1, wxLongLong(bridgeId));
        StoreResultSet filters = query.ExecuteQuery();
        while (filters.NextRow())
        {
            IpFilter entry;
            entry.ip_address = filters.GetString("ip_address", wxEmptyString);
            entry.id = filters.GetInt64("id", 0).GetValue();
            bridge.AddIpFilter(entry);
        }
        return true;
    }
    catch (const StoreException& failure)
    {
        cause = Reason(failure);
        return false;
    }
}

// The load over an open connection. Failures of the file as a whole are
// thrown; those of the allow-lists come back after every row is read.
StoreResult ReadBridges(StoreDatabase& database, std::vector<std::unique_ptr<Bridge>>& bridges, StoreFile file)
{
    if (!database.TableExists("bridges"))
    {
        // An emptied file would otherwise stop every bridge without a word.
        if (file == StoreFile::MustHoldBridges)
            Refuse("it has no bridges table");
        return StoreResult{};
    }
    const bool haveFilters = database.TableExists("ipfilters");
    wxString filterFailure;

    StoreResultSet rows = database.ExecuteQuery("select * from bridges;");
    const bool haveFrame = HasColumn(rows, "data_bits") && HasColumn(rows, "parity") && HasColumn(rows, "stop_bits");
    const bool haveListenAddress = HasColumn(rows, "listen_address");
    const bool haveProtocol = HasColumn(rows, "protocol");
    const bool haveTraceFile = HasColumn(rows, "trace_file");
    while (rows.NextRow())
    {
        const long long tcpPort = rows.GetInt64("tcp_port", 0).GetValue();
        const bool portInRange = tcpPort >= kLowestTcpPort && tcpPort <= kHighestTcpPort;
        const long long id = rows.GetInt64("id", 0).GetValue();
        auto bridge = std::make_unique<Bridge>(rows.GetString("com_port", wxEmptyString), rows.GetInt("com_baud", 0),
                                               static_cast<wxUint16>(portInRange ? tcpPort : 0), id);
        // Any other port would be one the system picks, which nobody knows.
        if (!portInRange)
            bridge->SetInvalidTcpPort(rows.GetString("tcp_port", "NULL"));
        if (haveFrame)
        {
            bridge->SetDataBits(rows.GetInt("data_bits", SFile::kDefaultDataBits));
            const wxString parity = rows.GetString("parity", wxString(SFile::kDefaultParity));
            bridge->SetParity(parity.empty() ? SFile::kDefaultParity : static_cast<char>(parity[0].GetValue()));
            bridge->SetStopBits(rows.GetInt("stop_bits", SFile::kDefaultStopBits));
        }
        if (haveListenAddress)
            bridge->SetListenAddress(rows.GetString("listen_address", wxEmptyString));
        if (haveProtocol)
            bridge->SetProtocol(rows.GetString("protocol", Bridge::kRawProtocol));
        if (haveTraceFile)
            bridge->SetTraceFile(rows.GetString("trace_file", wxEmptyString));
        // Without its allow-list a bridge would admit every address.
        if (!haveFilters || !LoadIpFilters(database, id, *bridge, filterFailure))
            bridge->SetAllowListUnreadable();
        bridges.push_back(std::move(bridge));
    }
    if (!haveFilters)
    {
        return Failure(wxString::Format("%s has no ipfilters table: its bridges are not started, as they would admit "
                                        "every address",
                                        DatabaseHelper::kFileName));
    }
    if (!filterFailure.empty())
    {
        return Failure(wxString::Format("Cannot read the IP filters from %s: %s; those bridges are not started, as "
                                        "they would admit every address",
                                        DatabaseHelper::kFileName, filterFailure));
    }
    return StoreResult{};
}

const char* WriteVerb(int action)
{
    return action == ACTION_DELETE ? "delete the bridge from" : "save the bridge to";
}
} // namespace

bool DatabaseHelper::storeExists()
{
    // wxFILE_EXISTS_ANY would not follow a link.
    return wxFileName::Exists(kFileName, wxFILE_EXISTS_REGULAR | wxFILE_EXISTS_DIR | wxFILE_EXISTS_DEVICE |
                                             wxFILE_EXISTS_FIFO | wxFILE_EXISTS_SOCKET);
}

StoreResult DatabaseHelper::loadBridges(std::vector<std::unique_ptr<Bridge>>& bridges, StoreFile file)
{
    try
    {
        StoreDatabase database;
        Open(database, file == StoreFile::CreateIfMissing && !wxFileExists(kFileName));
        return ReadBridges(database, bridges, file);
    }
    catch (const StoreException& failure)
    {
        return Failure(wxString::Format("Cannot read the bridges from %s: %s", kFileName, Reason(failure)));
    }
}

StoreResult DatabaseHelper::saveBridge(Bridge& bridge, int action)
{
    if (action != ACTION_UPDATE && action != ACTION_INSERT && action != ACTION_DELETE)
        return Failure(wxString::Format("Cannot save the bridge: unknown store action %d", action));
    if (action == ACTION_DELETE && bridge.GetId() == -1)
        return StoreResult{}; // never written, so there is nothing to delete
    try
    {
        StoreDatabase database;
        Open(database, true);
        Transaction transaction(database);
        const Written written = WriteBridge(database, bridge, action);
        transaction.Commit();
        ApplyWritten(bridge, written);
    }
    catch (const StoreException& failure)
    {
        return Failure(wxString::Format("Cannot %s %s: %s", WriteVerb(action), kFileName, Reason(failure)));
    }
    return StoreResult{};
}

StoreResult DatabaseHelper::changeBridges(std::vector<std::unique_ptr<Bridge>>& bridges, StoreFile file,
                                          const std::function<Change()>& decide)
{
    const char* doing = "read the bridges from";
    try
    {
        StoreDatabase database;
        Open(database, file == StoreFile::CreateIfMissing);
        doing = "write to";
        Transaction transaction(database);
        doing = "read the bridges from";
        const StoreResult loaded = ReadBridges(database, bridges, file);
        if (!loaded.ok)
            return loaded;
        const Change change = decide();
        if (!change.bridge)
            return StoreResult{};
        doing = WriteVerb(change.action);
        const Written written = WriteBridge(database, *change.bridge, change.action);
        transaction.Commit();
        ApplyWritten(*change.bridge, written);
    }
    catch (const StoreException& failure)
    {
        return Failure(wxString::Format("Cannot %s %s: %s", doing, kFileName, Reason(failure)));
    }
    return StoreResult{};
}
