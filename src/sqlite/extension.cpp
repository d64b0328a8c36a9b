// kelisi_sqlite: the loadable SQLite extension that registers the virtual
// table module `kelisi`, which shows an ISI index (and, through it, its data
// file) as a table, written to when it is opened with `write`:
//
//   .load kelisi_sqlite
//   CREATE VIRTUAL TABLE customers USING kelisi('customers.isi', write);
//   SELECT record FROM customers WHERE key BETWEEN 'C002' AND 'C003';
//   INSERT INTO customers(record) VALUES ('C0099001 Silva, Ana');
//
// SQLite finds the entry point from the file name: sqlite3_kelisisqlite_init.
#include <sqlite3ext.h>
SQLITE_EXTENSION_INIT1

#include <new>

#include "sqlite/vtab.h"

namespace {

sqlite3_module MakeModule() {
  using namespace kelisi_sqlite;
  sqlite3_module m{};
  m.iVersion = 3;  // savepoints, and the shadow table of the files' names
  m.xCreate = Create;
  m.xConnect = Connect;
  m.xBestIndex = BestIndex;
  m.xDisconnect = Disconnect;
  m.xDestroy = Destroy;  // dropping the table leaves the index file alone
  m.xOpen = Open;
  m.xClose = Close;
  m.xFilter = Filter;
  m.xNext = Next;
  m.xEof = Eof;
  m.xColumn = ColumnValue;
  m.xRowid = Rowid;
  m.xUpdate = Update;
  m.xBegin = Begin;
  m.xSync = Sync;
  m.xCommit = Commit;
  m.xRollback = Rollback;
  m.xRename = Rename;
  m.xSavepoint = Savepoint;
  m.xRelease = Release;
  m.xRollbackTo = RollbackTo;
  m.xShadowName = ShadowName;
  return m;
}

void FreeConnection(void* conn) {
  delete static_cast<kelisi_sqlite::Connection*>(conn);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int sqlite3_kelisisqlite_init(
    sqlite3* db, char** err, const sqlite3_api_routines* api) {
  SQLITE_EXTENSION_INIT2(api);
  (void)err;
  static const sqlite3_module kModule = MakeModule();
  auto* conn = new (std::nothrow) kelisi_sqlite::Connection;
  if (conn == nullptr) return SQLITE_NOMEM;
  return sqlite3_create_module_v2(db, "kelisi", &kModule, conn, FreeConnection);
}
