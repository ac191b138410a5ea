#pragma once

#include <string>
#include <vector>

struct sqlite3;

// Another program that reads and writes the same database file, straight on
// SQLite. Failures are returned, not thrown.
class RawSqlite
{
public:
    explicit RawSqlite(const std::string& file);
    ~RawSqlite();
    RawSqlite(const RawSqlite&) = delete;
    RawSqlite& operator=(const RawSqlite&) = delete;

    // Runs statements; the error text, empty on success.
    std::string Execute(const std::string& sql);
    // Every row of a query, NULL shown as "NULL".
    std::vector<std::vector<std::string>> Rows(const std::string& sql);

private:
    sqlite3* m_database = nullptr;
};

// Writes a store in the working directory that holds one bridge, with no
// IP filter; the error text, empty on success.
std::string WriteStoreWithOneBridge(const std::string& serialPort, int baud, unsigned short tcpPort);

// Zeroes the end of the bridges table's page, where its rows are: read
// without a check, they come back as rows of NULLs with id 0.
void DamageTheBridgesPage(const std::string& file);

// The CREATE statements as the program writes them.
extern const char kBridgesSchema[];
extern const char kIpFiltersSchema[];
