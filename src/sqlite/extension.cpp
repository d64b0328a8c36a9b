// kelisi_sqlite: the loadable SQLite extension that registers the virtual
// table module `kelisi`, which shows an ISI index (and, through it, its data
// file) as a read-only table:
//
//   .load kelisi_sqlite
//   CREATE VIRTUAL TABLE customers USING kelisi('customers.isi');
//   SELECT record FROM customers WHERE key BETWEEN 'C002' AND 'C003';
//
// SQLite finds the entry point from the file name: sqlite3_kelisisqlite_init.
#include <sqlite3ext.h>
SQLITE_EXTENSION_INIT1

#include "sqlite/vtab.h"

namespace {

sqlite3_module MakeModule() {
  using namespace kelisi_sqlite;
  sqlite3_module m{};
  m.xCreate = Connect;  // the index file is the table's storage: nothing to create
  m.xConnect = Connect;
  m.xBestIndex = BestIndex;
  m.xDisconnect = Disconnect;
  m.xDestroy = Disconnect;  // dropping the table leaves the index file alone
  m.xOpen = Open;
  m.xClose = Close;
  m.xFilter = Filter;
  m.xNext = Next;
  m.xEof = Eof;
  m.xColumn = ColumnValue;
  m.xRowid = Rowid;
  return m;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int sqlite3_kelisisqlite_init(
    sqlite3* db, char** err, const sqlite3_api_routines* api) {
  SQLITE_EXTENSION_INIT2(api);
  (void)err;
  static const sqlite3_module kModule = MakeModule();
  return sqlite3_create_module(db, "kelisi", &kModule, nullptr);
}
