// The virtual table `kelisi`: one open index per table (and the other
// indexes of its data file that its writes keep current), one library
// cursor per SQLite cursor. A table opened with `write` takes INSERT, DELETE and
// UPDATE inside SQLite's transactions (write.cpp); any other refuses them
// with the library's text.
#pragma once

#include <sqlite3ext.h>

#include <string>
#include <unordered_set>
#include <vector>

#include "kelisi.h"
#include "sqlite/key_range.h"

namespace kelisi_sqlite {

// The columns, in the order the table declares them.
enum Column { kKey, kOffset, kSize, kDup, kRecord };

struct Table;

// The tables of one database connection (the module's client data): a
// transaction writes one kelisi table, since two changes cannot commit as
// one.
struct Connection {
  std::vector<Table*> tables;
};

// One write of the transaction, kept so that a savepoint rolled back can be
// undone by replaying the writes before it in a new change.
struct Write {
  bool insert;
  std::string record;  // an insert's record
  uint64_t offset;     // a delete's record
};

struct Table {
  sqlite3_vtab base;  // first: SQLite sees a Table as its sqlite3_vtab
  kelisi* ix = nullptr;
  // The other indexes of the data file that the table's writes keep
  // current with its own (INDEX,INDEX,... in its first argument): every
  // change is one over all of them, the table's index first.
  std::vector<kelisi*> others;
  kelisi_header header{};
  std::string isiPath;
  std::string dataPath;  // as given, or the name the header keeps
  bool hasData = false;  // a data file is open: the record column has values
  bool write = false;    // opened with `write`
  Connection* conn = nullptr;
  sqlite3* db = nullptr;
  std::string schema, name;  // where the table and its _files table live
  // The transaction's change, begun by its first write: the writes in it,
  // the number of them at each open savepoint, and the header's spin
  // counter when it began (a replay must start from the same index).
  kelisi_txn* txn = nullptr;
  std::vector<Write> writes;
  std::vector<size_t> marks;
  // The records the change deleted: a row the table shows is the index as
  // it was before the change, so its offset, once deleted, may hold a
  // record inserted since, which a second delete of that row must spare.
  std::unordered_set<uint64_t> deleted;
  uint32_t spinAtBegin = 0;
  std::string abandoned;   // why the change cannot be finished; empty: it can
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
int Create(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out,
           char** err);
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
int Rename(sqlite3_vtab* vtab, const char* newName);
int Destroy(sqlite3_vtab* vtab);
int ShadowName(const char* suffix);
// Writes and the transaction (write.cpp).
int Update(sqlite3_vtab* vtab, int argc, sqlite3_value** argv, sqlite3_int64* rowid);
int Begin(sqlite3_vtab* vtab);
int Sync(sqlite3_vtab* vtab);
int Commit(sqlite3_vtab* vtab);
int Rollback(sqlite3_vtab* vtab);
int Savepoint(sqlite3_vtab* vtab, int level);
int Release(sqlite3_vtab* vtab, int level);
int RollbackTo(sqlite3_vtab* vtab, int level);
// Abandons the table's change, if any; forgets its writes.
void EndChange(Table* t);

}  // namespace kelisi_sqlite
