// The virtual table `kelisi`: one open index per table, one library cursor
// per SQLite cursor. The table is read-only: it has no xUpdate, so SQLite
// refuses every write to it.
#pragma once

#include <sqlite3ext.h>

#include <string>
#include <vector>

#include "kelisi.h"
#include "sqlite/key_range.h"

namespace kelisi_sqlite {

// The columns, in the order the table declares them.
enum Column { kKey, kOffset, kSize, kDup, kRecord };

struct Table {
  sqlite3_vtab base;  // first: SQLite sees a Table as its sqlite3_vtab
  kelisi* ix = nullptr;
  kelisi_header header{};
  std::string isiPath;
  std::string dataPath;  // as given, or the name the header keeps
  bool hasData = false;  // a data file is open: the record column has values
};

struct Cursor {
  sqlite3_vtab_cursor base;  // first, as above
  kelisi_cursor* c = nullptr;
  kelisi_entry e{};
  KeyRange range;
  bool descending = false;
  bool eof = true;
  std::vector<unsigned char> record;
};

// Sets the table's error message: the library's text of `status` and the
// file it concerns. Returns SQLITE_ERROR (SQLITE_NOMEM when out of memory).
int TableError(Table* t, int status);
// The same text, allocated with sqlite3_mprintf.
char* StatusMessage(const Table& t, int status);

// The methods SQLite calls.
int Connect(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out,
            char** err);
int BestIndex(sqlite3_vtab* vtab, sqlite3_index_info* info);
int Disconnect(sqlite3_vtab* vtab);
int Open(sqlite3_vtab* vtab, sqlite3_vtab_cursor** out);
int Close(sqlite3_vtab_cursor* cur);
int Filter(sqlite3_vtab_cursor* cur, int idxNum, const char* idxStr, int argc,
           sqlite3_value** argv);
int Next(sqlite3_vtab_cursor* cur);
int Eof(sqlite3_vtab_cursor* cur);
int ColumnValue(sqlite3_vtab_cursor* cur, sqlite3_context* ctx, int column);
int Rowid(sqlite3_vtab_cursor* cur, sqlite3_int64* rowid);

}  // namespace kelisi_sqlite
