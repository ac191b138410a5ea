// bridges.db files that other programs wrote, with whatever they put in the
// rows: loading must neither crash nor change the file, and what loads must
// save and load again unchanged.
#include "bridge/Bridge.h"
#include "store/DatabaseHelper.h"

#include <sqlite3.h>
#include <wx/init.h>
#include <wx/log.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace
{
// Reads the fuzzer's bytes as a stream of column values.
class Values
{
public:
    Values(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool Empty() const { return m_position >= m_size; }

    void Bind(sqlite3_stmt* statement, int index)
    {
        switch (Byte() % 5)
        {
        case 0: sqlite3_bind_null(statement, index); break;
        case 1: sqlite3_bind_int64(statement, index, Integer()); break;
        case 2: sqlite3_bind_double(statement, index, static_cast<double>(Integer()) / 7.0); break;
        default:
        {
            const std::size_t length = std::min<std::size_t>(Byte() * 4u, m_size - std::min(m_size, m_position));
            sqlite3_bind_text(statement, index, reinterpret_cast<const char*>(m_data + m_position),
                              static_cast<int>(length), SQLITE_TRANSIENT);
            m_position += length;
            break;
        }
        }
    }

private:
    std::uint8_t Byte() { return m_position < m_size ? m_data[m_position++] : 0; }
    std::int64_t Integer()
    {
        std::uint64_t value = 0;
        for (int i = 0; i < 8; ++i)
            value = value << 8 | Byte();
        return static_cast<std::int64_t>(value);
    }

    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_position = 0;
};

std::string FileBytes()
{
    std::ifstream in(DatabaseHelper::kFileName, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

struct Snapshot
{
    wxString port, listenAddress;
    int baud, tcpPort, dataBits, stopBits;
    char parity;
    std::vector<wxString> addresses;

    explicit Snapshot(const Bridge& bridge)
        : port(bridge.GetComPort()),
          listenAddress(bridge.GetListenAddress()),
          baud(bridge.GetComBaud()),
          tcpPort(bridge.GetTcpPort()),
          dataBits(bridge.GetDataBits()),
          stopBits(bridge.GetStopBits()),
          parity(bridge.GetParity())
    {
        for (const IpFilter& entry : bridge.GetIpFilters())
            addresses.push_back(entry.ip_address);
    }
    bool operator==(const Snapshot& other) const
    {
        return port == other.port && baud == other.baud && tcpPort == other.tcpPort && dataBits == other.dataBits &&
               stopBits == other.stopBits && parity == other.parity && listenAddress == other.listenAddress &&
               addresses == other.addresses;
    }
};
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static wxInitializer toolkit;
    wxLog::EnableLogging(false);
    char pattern[] = "/tmp/fuzz-store-XXXXXX";
    if (!::mkdtemp(pattern) || ::chdir(pattern) != 0)
        ::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ::unlink(DatabaseHelper::kFileName);
    {
        sqlite3* database = nullptr;
        sqlite3_open(DatabaseHelper::kFileName, &database);
        sqlite3_exec(database,
                     "CREATE TABLE [bridges] ([id] INTEGER  NOT NULL PRIMARY KEY AUTOINCREMENT,[com_port] VARCHAR(8)  "
                     "NULL,[com_baud] INTEGER  NULL,[tcp_port] INTEGER  NULL, [data_bits] INTEGER NULL, [parity] "
                     "VARCHAR(1) NULL, [stop_bits] INTEGER NULL, [listen_address] TEXT NULL);"
                     "CREATE TABLE [ipfilters] ([id] INTEGER  NOT NULL PRIMARY KEY AUTOINCREMENT,[bridge_id] INTEGER  "
                     "NULL,[ip_address] VARCHAR(15)  NULL);",
                     nullptr, nullptr, nullptr);
        sqlite3_stmt* bridge = nullptr;
        sqlite3_stmt* filter = nullptr;
        sqlite3_prepare_v2(database,
                           "insert into bridges (com_port, com_baud, tcp_port, data_bits, parity, stop_bits, "
                           "listen_address) values (?, ?, ?, ?, ?, ?, ?)",
                           -1, &bridge, nullptr);
        sqlite3_prepare_v2(database, "insert into ipfilters (bridge_id, ip_address) values (?, ?)", -1, &filter,
                           nullptr);
        Values values(data, size);
        for (int row = 0; row < 8 && !values.Empty(); ++row)
        {
            sqlite3_stmt* statement = row % 2 ? filter : bridge;
            const int columns = sqlite3_bind_parameter_count(statement);
            for (int column = 1; column <= columns; ++column)
                values.Bind(statement, column);
            sqlite3_step(statement);
            sqlite3_reset(statement);
        }
        sqlite3_finalize(bridge);
        sqlite3_finalize(filter);
        sqlite3_close(database);
    }

    const std::string before = FileBytes();
    std::vector<std::unique_ptr<Bridge>> loaded;
    const StoreResult result = DatabaseHelper::loadBridges(loaded);
    if (FileBytes() != before)
        __builtin_trap(); // loading wrote to the file
    if (!result.ok)
        return 0;

    // Saving what loaded, as it stands, and loading it again changes nothing.
    std::vector<Snapshot> first;
    for (auto& bridge : loaded)
    {
        first.emplace_back(*bridge);
        for (IpFilter& entry : bridge->GetIpFilters())
            entry.state = IPF_MODIFIED;
        if (!DatabaseHelper::saveBridge(*bridge, ACTION_UPDATE).ok)
            __builtin_trap();
    }
    std::vector<std::unique_ptr<Bridge>> again;
    if (!DatabaseHelper::loadBridges(again).ok || again.size() != first.size())
        __builtin_trap();
    for (std::size_t i = 0; i < again.size(); ++i)
    {
        if (!(Snapshot(*again[i]) == first[i]))
            __builtin_trap();
    }
    return 0;
}
