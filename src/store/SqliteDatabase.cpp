#include "SqliteDatabase.h"

#include <sqlite3.h>

namespace
{
[[noreturn]] void Throw(sqlite3* database, int result)
{
    const char* text = database ? sqlite3_errmsg(database) : sqlite3_errstr(result);
    throw SqliteException(result, wxString::FromUTF8(text));
}

std::shared_ptr<sqlite3_stmt> Prepare(sqlite3* database, const char* sql)
{
    if (!database)
        throw SqliteException(SQLITE_MISUSE, "the database is not open");
    sqlite3_stmt* statement = nullptr;
    const int result = sqlite3_prepare_v2(database, sql, -1, &statement, nullptr);
    if (result != SQLITE_OK)
        Throw(database, result);
    return std::shared_ptr<sqlite3_stmt>(statement, sqlite3_finalize);
}
} // namespace

bool SqliteResultSet::NextRow()
{
    const int result = sqlite3_step(m_statement.get());
    if (result == SQLITE_ROW)
        return true;
    if (result == SQLITE_DONE)
        return false;
    Throw(sqlite3_db_handle(m_statement.get()), result);
}

int SqliteResultSet::ColumnIndex(const wxString& column) const
{
    const int count = sqlite3_column_count(m_statement.get());
    for (int index = 0; index < count; ++index)
    {
        if (column.IsSameAs(wxString::FromUTF8(sqlite3_column_name(m_statement.get(), index)), false))
            return index;
    }
    throw SqliteException(WXSQLITE_ERROR, "invalid column name " + column);
}

bool SqliteResultSet::IsNull(int index) const
{
    return sqlite3_column_type(m_statement.get(), index) == SQLITE_NULL;
}

wxString SqliteResultSet::GetString(const wxString& column, const wxString& nullValue)
{
    const int index = ColumnIndex(column);
    if (IsNull(index))
        return nullValue;
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_statement.get(), index));
    return wxString::FromUTF8(text, static_cast<size_t>(sqlite3_column_bytes(m_statement.get(), index)));
}

int SqliteResultSet::GetInt(const wxString& column, int nullValue)
{
    const int index = ColumnIndex(column);
    return IsNull(index) ? nullValue : sqlite3_column_int(m_statement.get(), index);
}

wxLongLong SqliteResultSet::GetInt64(const wxString& column, wxLongLong nullValue)
{
    const int index = ColumnIndex(column);
    return IsNull(index) ? nullValue : wxLongLong(sqlite3_column_int64(m_statement.get(), index));
}

int SqliteResultSet::GetColumnCount()
{
    return sqlite3_column_count(m_statement.get());
}

wxString SqliteResultSet::GetColumnName(int index)
{
    return wxString::FromUTF8(sqlite3_column_name(m_statement.get(), index));
}

void SqliteStatement::Check(int result) const
{
    if (result != SQLITE_OK)
        Throw(sqlite3_db_handle(m_statement.get()), result);
}

void SqliteStatement::Bind(int index, const wxString& value)
{
    const wxScopedCharBuffer text = value.utf8_str();
    Check(sqlite3_bind_text(m_statement.get(), index, text.data(), static_cast<int>(text.length()),
                            SQLITE_TRANSIENT));
}

void SqliteStatement::Bind(int index, int value)
{
    Check(sqlite3_bind_int(m_statement.get(), index, value));
}

void SqliteStatement::Bind(int index, wxLongLong value)
{
    Check(sqlite3_bind_int64(m_statement.get(), index, value.GetValue()));
}

int SqliteStatement::ExecuteUpdate()
{
    sqlite3_stmt* statement = m_statement.get();
    int result = SQLITE_ROW;
    while (result == SQLITE_ROW)
        result = sqlite3_step(statement);
    sqlite3_reset(statement);
    if (result != SQLITE_DONE)
        Throw(sqlite3_db_handle(statement), result);
    return sqlite3_changes(sqlite3_db_handle(statement));
}

SqliteResultSet SqliteStatement::ExecuteQuery()
{
    sqlite3_reset(m_statement.get());
    return SqliteResultSet(m_statement);
}

SqliteDatabase::~SqliteDatabase()
{
    Close();
}

void SqliteDatabase::Open(const wxString& fileName, const wxString&, int flags)
{
    Close();
    const int result = sqlite3_open_v2(fileName.utf8_str(), &m_database, flags, nullptr);
    if (result != SQLITE_OK)
    {
        const wxString text = wxString::FromUTF8(m_database ? sqlite3_errmsg(m_database) : sqlite3_errstr(result));
        Close();
        throw SqliteException(result, text);
    }
}

void SqliteDatabase::Close()
{
    // Statements still alive keep the connection until they are finalised.
    if (m_database)
        sqlite3_close_v2(m_database);
    m_database = nullptr;
}

void SqliteDatabase::Check(int result) const
{
    if (result != SQLITE_OK)
        Throw(m_database, result);
}

void SqliteDatabase::SetBusyTimeout(int milliseconds)
{
    Check(sqlite3_busy_timeout(m_database, milliseconds));
}

bool SqliteDatabase::TableExists(const wxString& name)
{
    SqliteStatement query(Prepare(m_database, "select count(*) as tables from sqlite_master "
                                               "where type='table' and lower(name) = lower(?);"));
    query.Bind(1, name);
    SqliteResultSet rows = query.ExecuteQuery();
    return rows.NextRow() && rows.GetInt("tables") > 0;
}

int SqliteDatabase::ExecuteUpdate(const char* sql)
{
    return SqliteStatement(Prepare(m_database, sql)).ExecuteUpdate();
}

SqliteResultSet SqliteDatabase::ExecuteQuery(const char* sql)
{
    return SqliteResultSet(Prepare(m_database, sql));
}

SqliteStatement SqliteDatabase::PrepareStatement(const char* sql)
{
    return SqliteStatement(Prepare(m_database, sql));
}

void SqliteDatabase::Begin(SqliteTransactionType type)
{
    switch (type)
    {
    case WXSQLITE_TRANSACTION_DEFERRED: ExecuteUpdate("begin deferred transaction;"); break;
    case WXSQLITE_TRANSACTION_IMMEDIATE: ExecuteUpdate("begin immediate transaction;"); break;
    case WXSQLITE_TRANSACTION_EXCLUSIVE: ExecuteUpdate("begin exclusive transaction;"); break;
    default: ExecuteUpdate("begin transaction;"); break;
    }
}

void SqliteDatabase::Commit()
{
    ExecuteUpdate("commit transaction;");
}

void SqliteDatabase::Rollback()
{
    ExecuteUpdate("rollback transaction;");
}

wxLongLong SqliteDatabase::GetLastRowId()
{
    return wxLongLong(sqlite3_last_insert_rowid(m_database));
}
