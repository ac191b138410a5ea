#pragma once

// The few database calls the store makes, straight on SQLite, with the names
// and behaviour of wxSQLite3's: failures are thrown as SqliteException, text
// is UTF-8 in the file, columns are looked up by name.

#include <wx/longlong.h>
#include <wx/string.h>

#include <memory>

struct sqlite3;
struct sqlite3_stmt;

#ifndef WXSQLITE_OPEN_READWRITE
#define WXSQLITE_OPEN_READWRITE 0x00000002
#define WXSQLITE_OPEN_CREATE 0x00000004
#endif
#ifndef WXSQLITE_ERROR
#define WXSQLITE_ERROR 1000
#endif

// The names of wxSQLite3's transaction types; this header stands in for its
// own, and the two never meet in one file.
enum SqliteTransactionType
{
    WXSQLITE_TRANSACTION_DEFAULT,
    WXSQLITE_TRANSACTION_DEFERRED,
    WXSQLITE_TRANSACTION_IMMEDIATE,
    WXSQLITE_TRANSACTION_EXCLUSIVE
};

class SqliteException
{
public:
    SqliteException(int errorCode, const wxString& message) : m_errorCode(errorCode), m_message(message) {}
    int GetErrorCode() const { return m_errorCode; }
    const wxString GetMessage() const { return m_message; }

private:
    int m_errorCode;
    wxString m_message;
};

class SqliteResultSet
{
public:
    explicit SqliteResultSet(std::shared_ptr<sqlite3_stmt> statement) : m_statement(std::move(statement)) {}

    // Moves to the next row; false after the last one.
    bool NextRow();
    wxString GetString(const wxString& column, const wxString& nullValue = wxEmptyString);
    int GetInt(const wxString& column, int nullValue = 0);
    wxLongLong GetInt64(const wxString& column, wxLongLong nullValue = 0);
    int GetColumnCount();
    wxString GetColumnName(int index);

private:
    int ColumnIndex(const wxString& column) const;
    bool IsNull(int index) const;

    std::shared_ptr<sqlite3_stmt> m_statement;
};

class SqliteStatement
{
public:
    explicit SqliteStatement(std::shared_ptr<sqlite3_stmt> statement) : m_statement(std::move(statement)) {}

    // Parameters count from 1.
    void Bind(int index, const wxString& value);
    void Bind(int index, int value);
    void Bind(int index, wxLongLong value);
    // Runs the statement to its end; returns the rows it changed.
    int ExecuteUpdate();
    SqliteResultSet ExecuteQuery();

private:
    void Check(int result) const;

    std::shared_ptr<sqlite3_stmt> m_statement;
};

class SqliteDatabase
{
public:
    SqliteDatabase() = default;
    ~SqliteDatabase();
    SqliteDatabase(const SqliteDatabase&) = delete;
    SqliteDatabase& operator=(const SqliteDatabase&) = delete;

    // key is accepted for the same calls as wxSQLite3's and ignored: no encryption.
    void Open(const wxString& fileName, const wxString& key, int flags);
    void Close();
    void SetBusyTimeout(int milliseconds);
    bool TableExists(const wxString& name);
    int ExecuteUpdate(const char* sql);
    SqliteResultSet ExecuteQuery(const char* sql);
    SqliteStatement PrepareStatement(const char* sql);
    void Begin(SqliteTransactionType type = WXSQLITE_TRANSACTION_DEFAULT);
    void Commit();
    void Rollback();
    wxLongLong GetLastRowId();

private:
    void Check(int result) const;

    sqlite3* m_database = nullptr;
};
