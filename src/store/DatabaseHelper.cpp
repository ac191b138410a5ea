#include "DatabaseHelper.h"

#include "Logger.h"
#include "StoreBackend.h"
#include "bridge/Bridge.h"
#include "serial/SFile.h"

#include <wx/filefn.h>

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
// bit; the address to listen on, where NULL or none means all of them; and
// how clients speak, where NULL or none means raw bytes.
const char* const kAddedColumns[][2] = {
    {"data_bits", "ALTER TABLE [bridges] ADD COLUMN [data_bits] INTEGER  NULL;"},
    {"parity", "ALTER TABLE [bridges] ADD COLUMN [parity] VARCHAR(1)  NULL;"},
    {"stop_bits", "ALTER TABLE [bridges] ADD COLUMN [stop_bits] INTEGER  NULL;"},
    {"listen_address", "ALTER TABLE [bridges] ADD COLUMN [listen_address] TEXT  NULL;"},
    {"protocol", "ALTER TABLE [bridges] ADD COLUMN [protocol] TEXT  NULL;"},
};

// Another program holding the file briefly must not make an operation fail.
constexpr int kBusyTimeoutMs = 1000;
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

void Open(StoreDatabase& database, bool mayCreate)
{
    const int flags = WXSQLITE_OPEN_READWRITE | (mayCreate ? WXSQLITE_OPEN_CREATE : 0);
    database.Open(DatabaseHelper::kFileName, wxEmptyString, flags);
    database.SetBusyTimeout(kBusyTimeoutMs);
}

// Rolls back unless committed, also when a failure passes through.
class Transaction
{
public:
    explicit Transaction(StoreDatabase& database) : m_database(database) { m_database.Begin(); }
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

void Execute(StoreDatabase& database, const char* sql, int value)
{
    StoreStatement statement = database.PrepareStatement(sql);
    statement.Bind(1, value);
    statement.ExecuteUpdate();
}

// Writes each entry as its mark says and returns the row ids that inserted
// entries received, by position. Inserted entries belong to bridgeId.
std::vector<std::pair<std::size_t, int>> WriteIpFilters(StoreDatabase& database,
                                                         const std::vector<IpFilter>& entries, int bridgeId)
{
    std::vector<std::pair<std::size_t, int>> inserted;
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
            statement.Bind(2, entry.id);
            statement.ExecuteUpdate();
            break;
        }
        case IPF_NEW:
        {
            StoreStatement statement =
                database.PrepareStatement("insert into ipfilters (bridge_id,ip_address) values(?,?);");
            statement.Bind(1, bridgeId);
            statement.Bind(2, entry.ip_address);
            statement.ExecuteUpdate();
            inserted.emplace_back(i, static_cast<int>(database.GetLastRowId().GetValue()));
            break;
        }
        default:
            break;
        }
    }
    return inserted;
}

// After a commit: the bridge in memory now matches the file.
void MarkWritten(Bridge& bridge, const std::vector<std::pair<std::size_t, int>>& inserted)
{
    std::vector<IpFilter>& entries = bridge.GetIpFilters();
    for (const auto& [index, rowId] : inserted)
    {
        entries[index].id = rowId;
        entries[index].bridge_id = bridge.GetId();
    }
    for (IpFilter& entry : entries)
    {
        if (entry.state == IPF_NEW || entry.state == IPF_MODIFIED)
            entry.state = IPF_UNCHANGED;
    }
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

// Inside the write's transaction, so that a failed write leaves no tables behind.
void CreateMissingTables(StoreDatabase& database, const Bridge& bridge)
{
    if (!database.TableExists("bridges"))
        database.ExecuteUpdate(kCreateBridges);
    if (!database.TableExists("ipfilters"))
        database.ExecuteUpdate(kCreateIpFilters);
    for (const auto& column : kAddedColumns)
    {
        if (!HasColumn(database, column[0]))
            database.ExecuteUpdate(column[1]);
    }
    Logger::message("br->GetId()=%i", bridge.GetId());
}

// The bridge's own columns, in the order both statements name them; the
// statements store an empty listen address as NULL, as files without it have,
// and so the raw protocol.
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
    return statement;
}

void InsertBridge(StoreDatabase& database, Bridge& bridge)
{
    Transaction transaction(database);
    CreateMissingTables(database, bridge);
    BridgeStatement(database,
                    "insert into bridges (com_port,com_baud,tcp_port,data_bits,parity,stop_bits,listen_address,"
                    "protocol) values(?,?,?,?,?,?,nullif(?,''),nullif(?,'raw'))",
                    bridge)
        .ExecuteUpdate();
    const int id = static_cast<int>(database.GetLastRowId().GetValue());
    const auto inserted = WriteIpFilters(database, bridge.GetIpFilters(), id);
    transaction.Commit();

    bridge.SetId(id);
    for (IpFilter& entry : bridge.GetIpFilters())
        entry.bridge_id = id;
    MarkWritten(bridge, inserted);
}

void UpdateBridge(StoreDatabase& database, Bridge& bridge)
{
    Transaction transaction(database);
    CreateMissingTables(database, bridge);
    StoreStatement statement = BridgeStatement(database,
                                               "update bridges set com_port = ?, com_baud=?, tcp_port = ?, "
                                               "data_bits = ?, parity = ?, stop_bits = ?, "
                                               "listen_address = nullif(?,''), protocol = nullif(?,'raw') "
                                               "where id=?",
                                               bridge);
    statement.Bind(9, bridge.GetId());
    if (statement.ExecuteUpdate() == 0)
        throw StoreException(WXSQLITE_ERROR, "the bridge is no longer stored there");
    const auto inserted = WriteIpFilters(database, bridge.GetIpFilters(), bridge.GetId());
    transaction.Commit();

    MarkWritten(bridge, inserted);
    bridge.PurgeDeletedIpFilters();
}

void DeleteBridge(StoreDatabase& database, const Bridge& bridge)
{
    Transaction transaction(database);
    CreateMissingTables(database, bridge);
    Execute(database, "delete from bridges where id=?;", bridge.GetId());
    Execute(database, "delete from ipfilters where bridge_id=?;", bridge.GetId());
    transaction.Commit();
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
            entry.id = filters.GetInt("id", 0);
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
} // namespace

StoreResult DatabaseHelper::loadBridges(std::vector<std::unique_ptr<Bridge>>& bridges, bool createMissing)
{
    bool haveFilters = true;
    wxString filterFailure;
    try
    {
        StoreDatabase database;
        Open(database, createMissing && !wxFileExists(kFileName));
        if (!database.TableExists("bridges"))
            return StoreResult{};
        haveFilters = database.TableExists("ipfilters");

        StoreResultSet rows = database.ExecuteQuery("select * from bridges;");
        const bool haveFrame = HasColumn(rows, "data_bits") && HasColumn(rows, "parity") && HasColumn(rows, "stop_bits");
        const bool haveListenAddress = HasColumn(rows, "listen_address");
        const bool haveProtocol = HasColumn(rows, "protocol");
        while (rows.NextRow())
        {
            const long long tcpPort = rows.GetInt64("tcp_port", 0).GetValue();
            const bool portInRange = tcpPort >= kLowestTcpPort && tcpPort <= kHighestTcpPort;
            auto bridge = std::make_unique<Bridge>(rows.GetString("com_port", wxEmptyString), rows.GetInt("com_baud", 0),
                                                   static_cast<wxUint16>(portInRange ? tcpPort : 0),
                                                   rows.GetInt("id", 0));
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
            // Without its allow-list a bridge would admit every address.
            if (!haveFilters || !LoadIpFilters(database, rows.GetInt64("id", 0).GetValue(), *bridge, filterFailure))
                bridge->SetAllowListUnreadable();
            bridges.push_back(std::move(bridge));
        }
    }
    catch (const StoreException& failure)
    {
        return Failure(wxString::Format("Cannot read the bridges from %s: %s", kFileName, Reason(failure)));
    }
    if (!haveFilters)
    {
        return Failure(wxString::Format("%s has no ipfilters table: its bridges are not started, as they would admit "
                                        "every address",
                                        kFileName));
    }
    if (!filterFailure.empty())
    {
        return Failure(wxString::Format("Cannot read the IP filters from %s: %s; those bridges are not started, as "
                                        "they would admit every address",
                                        kFileName, filterFailure));
    }
    return StoreResult{};
}

StoreResult DatabaseHelper::saveBridge(Bridge& bridge, int action)
{
    const bool stored = bridge.GetId() != -1;
    try
    {
        StoreDatabase database;
        switch (action)
        {
        case ACTION_UPDATE:
        case ACTION_INSERT:
            Open(database, true);
            if (stored && action == ACTION_UPDATE)
                UpdateBridge(database, bridge);
            else
                InsertBridge(database, bridge);
            break;
        case ACTION_DELETE:
            if (!stored)
                return StoreResult{}; // never written, so there is nothing to delete
            Open(database, true);
            DeleteBridge(database, bridge);
            break;
        default:
            return Failure(wxString::Format("Cannot save the bridge: unknown store action %d", action));
        }
    }
    catch (const StoreException& failure)
    {
        const char* verb = action == ACTION_DELETE ? "delete the bridge from" : "save the bridge to";
        return Failure(wxString::Format("Cannot %s %s: %s", verb, kFileName, Reason(failure)));
    }
    return StoreResult{};
}
