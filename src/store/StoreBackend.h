#pragma once

// The database layer under the store, chosen by the build: wxSQLite3 for the
// desktop program, and for the headless runner a thin layer straight on
// SQLite with the same calls (Debian's wxSQLite3 depends on the toolkit's GUI
// library, which a program without a display must not need).

#ifdef STORE_ON_WXSQLITE3
#include <wx/wxsqlite3.h>

using StoreDatabase = wxSQLite3Database;
using StoreStatement = wxSQLite3Statement;
using StoreResultSet = wxSQLite3ResultSet;
using StoreException = wxSQLite3Exception;
#else
#include "SqliteDatabase.h"

using StoreDatabase = SqliteDatabase;
using StoreStatement = SqliteStatement;
using StoreResultSet = SqliteResultSet;
using StoreException = SqliteException;
#endif
