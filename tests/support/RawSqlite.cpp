#include "RawSqlite.h"

#include <sqlite3.h>

#include <fstream>

const char kBridgesSchema[] = "CREATE TABLE [bridges] ([id] INTEGER  NOT NULL PRIMARY KEY AUTOINCREMENT,"
                              "[com_port] VARCHAR(8)  NULL,[com_baud] INTEGER  NULL,[tcp_port] INTEGER  NULL);";
const char kIpFiltersSchema[] = "CREATE TABLE [ipfilters] ([id] INTEGER  NOT NULL PRIMARY KEY AUTOINCREMENT,"
                                "[bridge_id] INTEGER  NULL,[ip_address] VARCHAR(15)  NULL);";

std::string WriteStoreWithOneBridge(const std::string& serialPort, int baud, unsigned short tcpPort)
{
    return RawSqlite("bridges.db")
        .Execute(std::string(kBridgesSchema) + kIpFiltersSchema +
                 "insert into bridges (com_port, com_baud, tcp_port) values ('" + serialPort + "', " +
                 std::to_string(baud) + ", " + std::to_string(tcpPort) + ");");
}

void DamageTheBridgesPage(const std::string& file)
{
    std::fstream bytes(file, std::ios::in | std::ios::out | std::ios::binary);
    unsigned char size[2] = {};
    bytes.seekg(16); // the page size, in the file's header
    bytes.read(reinterpret_cast<char*>(size), 2);
    const std::streamoff pageSize = size[0] << 8 | size[1];
    constexpr std::streamoff kZeroed = 60;
    bytes.seekp(2 * pageSize - kZeroed); // page 2 holds the first table made, bridges
    bytes.write(std::string(kZeroed, '\0').data(), kZeroed);
}

RawSqlite::RawSqlite(const std::string& file)
{
    sqlite3_open(file.c_str(), &m_database);
}

RawSqlite::~RawSqlite()
{
    sqlite3_close(m_database);
}

std::string RawSqlite::Execute(const std::string& sql)
{
    char* error = nullptr;
    if (sqlite3_exec(m_database, sql.c_str(), nullptr, nullptr, &error) == SQLITE_OK)
        return "";
    std::string text = error ? error : "failed";
    sqlite3_free(error);
    return text;
}

std::vector<std::vector<std::string>> RawSqlite::Rows(const std::string& sql)
{
    std::vector<std::vector<std::string>> rows;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(m_database, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
        return rows;
    while (sqlite3_step(statement) == SQLITE_ROW)
    {
        std::vector<std::string> row;
        for (int column = 0; column < sqlite3_column_count(statement); ++column)
        {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
            row.push_back(text ? text : "NULL");
        }
        rows.push_back(row);
    }
    sqlite3_finalize(statement);
    return rows;
}
