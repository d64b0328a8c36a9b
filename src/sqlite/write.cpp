// Writes through the table, inside SQLite's transactions:
//
//   INSERT INTO t(record) VALUES ('C0099001 Silva, Ana')
//   DELETE FROM t WHERE key >= 'C0099' AND key < 'C00991'
//   UPDATE t SET record = '...' WHERE ...    (a delete and an insert)
//
// The first write of a transaction begins a library change; SQLite's
// commit commits it (in xSync, so that a failure fails the COMMIT, which
// SQLite then rolls back whole), and its rollback abandons it, so that
// neither file changes. The library cannot take back part of a change: a
// savepoint or a failed statement rolled back is undone by abandoning the
// change and replaying, in a new one, the writes before the savepoint, from
// the same index (the header's spin counter says no other program changed
// it in between; if one did, the transaction can only be rolled back).
// While the change is open the table reads the index as it was before it.
// A table that names other indexes of its data file changes them all in
// that one change (kelisi_txn_begin_set): its writes are records and
// offsets, which are the same in every index. A transaction writes one
// kelisi table: two changes cannot commit as one.
#include <cstring>
#include <vector>

#include "sqlite/vtab.h"
SQLITE_EXTENSION_INIT3

namespace kelisi_sqlite {

namespace {

Table* TableOf(sqlite3_vtab* vtab) {
  return reinterpret_cast<Table*>(vtab);
}

int Refuse(Table* t, const char* text) {
  sqlite3_free(t->base.zErrMsg);
  t->base.zErrMsg = sqlite3_mprintf("kelisi: %s", text);
  return SQLITE_ERROR;
}

// Statuses after which the library's change is spoiled (its contract):
// every other failure leaves the change as it was before the call.
bool Spoils(int status) {
  return status < 0 && status != KELISI_E_TOO_LONG && status != KELISI_E_RECORD &&
         status != KELISI_E_ARG && status != KELISI_E_UNSUPPORTED;
}

int Apply(Table* t, const Write& w, uint64_t* offset) {
  if (!w.insert) {
    if (!t->deleted.insert(w.offset).second) return KELISI_OK;  // gone already
    int st = kelisi_txn_delete_at(t->txn, w.offset);
    if (st < 0) t->deleted.erase(w.offset);
    return st == KELISI_NOTFOUND ? KELISI_OK : st;
  }
  kelisi_entry e{};
  int st = kelisi_txn_insert(t->txn, w.record.data(), w.record.size(), &e);
  if (st >= 0 && offset != nullptr) *offset = e.record_offset;
  return st < 0 ? st : KELISI_OK;
}

void Abandon(Table* t, const char* why) {
  kelisi_txn_abort(t->txn);
  t->txn = nullptr;
  t->abandoned = why;
}

// The change of this transaction, begun by its first write, or again for a
// replay, which must start from the index the first one started from.
int OpenChange(Table* t, bool again) {
  if (t->txn != nullptr) return SQLITE_OK;
  for (Table* other : t->conn->tables) {
    if (other != t && (other->txn != nullptr || !other->writes.empty())) {
      return Refuse(t, "another kelisi table is written in this transaction; one kelisi "
                       "table can be written per transaction (a table over several indexes of "
                       "one data file, kelisi('a.isi,b.isi', ...), writes them all)");
    }
  }
  std::vector<kelisi*> set{t->ix};
  set.insert(set.end(), t->others.begin(), t->others.end());
  int st = kelisi_txn_begin_set(set.data(), set.size(), &t->txn);
  if (st == KELISI_OK) st = kelisi_get_header(t->ix, &t->header);
  if (st != KELISI_OK) {
    kelisi_txn_abort(t->txn);
    t->txn = nullptr;
    return TableError(t, st);
  }
  if (!again) {
    t->spinAtBegin = t->header.spin;
  } else if (t->header.spin != t->spinAtBegin) {
    Abandon(t, "another program changed the index while part of this transaction was rolled "
               "back; roll the transaction back");
    return Refuse(t, t->abandoned.c_str());
  }
  return SQLITE_OK;
}

void Replay(Table* t, size_t keep);

// One write: applied in the change and kept for a replay.
int Do(Table* t, Write w, sqlite3_int64* rowid) {
  if (!t->abandoned.empty()) return Refuse(t, t->abandoned.c_str());
  int rc = OpenChange(t, !t->writes.empty());
  if (rc != SQLITE_OK) return rc;
  uint64_t offset = w.offset;
  int st = Apply(t, w, &offset);
  if (st != KELISI_OK) {
    // A write that spoils the library's change leaves it as it was before,
    // as every other failure does: SQLite takes back no part of a
    // statement that wrote nothing.
    if (Spoils(st)) Replay(t, t->writes.size());
    return TableError(t, st);
  }
  if (rowid != nullptr) *rowid = static_cast<sqlite3_int64>(offset);
  t->writes.push_back(std::move(w));
  return SQLITE_OK;
}

// The change as it was when the transaction had made `keep` writes.
void Replay(Table* t, size_t keep) {
  kelisi_txn_abort(t->txn);
  t->txn = nullptr;
  t->deleted.clear();
  t->writes.resize(keep);
  if (keep == 0) return;  // the next write begins a change of its own
  std::vector<Write> again = std::move(t->writes);
  t->writes.clear();
  if (OpenChange(t, true) != SQLITE_OK) {
    if (t->abandoned.empty()) Abandon(t, "the change could not be begun again; roll the "
                                         "transaction back");
    return;
  }
  for (const Write& w : again) {
    if (Apply(t, w, nullptr) != KELISI_OK) {
      Abandon(t, "the writes before the savepoint could not be made again; roll the "
                 "transaction back");
      return;
    }
  }
  t->writes = std::move(again);
}

bool IsNull(sqlite3_value* v) {
  return sqlite3_value_type(v) == SQLITE_NULL;
}

Write Insert(sqlite3_value* record) {
  const void* p = sqlite3_value_type(record) == SQLITE_BLOB ? sqlite3_value_blob(record)
                                                             : sqlite3_value_text(record);
  int n = sqlite3_value_bytes(record);
  return {true, std::string(static_cast<const char*>(p != nullptr ? p : ""),
                            static_cast<size_t>(n)), 0};
}

}  // namespace

void EndChange(Table* t) {
  kelisi_txn_abort(t->txn);
  t->txn = nullptr;
  t->writes.clear();
  t->marks.clear();
  t->deleted.clear();
  t->abandoned.clear();
}

// argv[0]: the rowid of the row to delete or update (NULL for an insert);
// argv[1]: the new row's rowid; argv[2...]: its columns.
int Update(sqlite3_vtab* vtab, int argc, sqlite3_value** argv, sqlite3_int64* rowid) {
  Table* t = TableOf(vtab);
  if (!t->write) return TableError(t, KELISI_E_READONLY);
  bool remove = !IsNull(argv[0]);
  if (argc == 1) return Do(t, {false, {}, static_cast<uint64_t>(sqlite3_value_int64(argv[0]))},
                           nullptr);
  // An insert gives the record alone; an update sets the record alone.
  for (int c = kKey; c < kRecord; ++c) {
    sqlite3_value* v = argv[2 + c];
    if (remove ? !sqlite3_value_nochange(v) : !IsNull(v)) {
      return Refuse(t, "only the record can be written: its key, offset, size and dup follow "
                       "from it");
    }
  }
  sqlite3_value* record = argv[2 + kRecord];
  if (remove && sqlite3_value_nochange(record)) return SQLITE_OK;
  if (IsNull(record)) return Refuse(t, "a record to write is needed (the record column)");
  if (!remove && !IsNull(argv[1])) {
    return Refuse(t, "a row's rowid is its record's offset, which the insert decides");
  }
  if (remove) {
    int rc = Do(t, {false, {}, static_cast<uint64_t>(sqlite3_value_int64(argv[0]))}, nullptr);
    if (rc != SQLITE_OK) return rc;
  }
  return Do(t, Insert(record), rowid);
}

int Begin(sqlite3_vtab*) {
  return SQLITE_OK;  // the first write begins the change
}

int Sync(sqlite3_vtab* vtab) {
  Table* t = TableOf(vtab);
  if (!t->abandoned.empty()) return Refuse(t, t->abandoned.c_str());
  if (t->txn == nullptr) return SQLITE_OK;
  kelisi_txn* txn = t->txn;
  t->txn = nullptr;
  int st = kelisi_txn_commit(txn);
  EndChange(t);
  if (st == KELISI_OK) st = kelisi_get_header(t->ix, &t->header);
  return st == KELISI_OK ? SQLITE_OK : TableError(t, st);
}

int Commit(sqlite3_vtab* vtab) {
  return Sync(vtab);  // committed in xSync already, unless SQLite skipped it
}

int Rollback(sqlite3_vtab* vtab) {
  EndChange(TableOf(vtab));
  return SQLITE_OK;
}

int Savepoint(sqlite3_vtab* vtab, int level) {
  Table* t = TableOf(vtab);
  t->marks.resize(static_cast<size_t>(level));
  t->marks.push_back(t->writes.size());
  return SQLITE_OK;
}

int Release(sqlite3_vtab* vtab, int level) {
  Table* t = TableOf(vtab);
  if (static_cast<size_t>(level) < t->marks.size()) t->marks.resize(static_cast<size_t>(level));
  return SQLITE_OK;
}

int RollbackTo(sqlite3_vtab* vtab, int level) {
  Table* t = TableOf(vtab);
  // A level the table never saw was opened after its last write.
  size_t keep = static_cast<size_t>(level) < t->marks.size() ? t->marks[level] : t->writes.size();
  if (static_cast<size_t>(level) < t->marks.size()) t->marks.resize(static_cast<size_t>(level) + 1);
  if (t->abandoned.empty() && keep < t->writes.size()) Replay(t, keep);
  return SQLITE_OK;
}

}  // namespace kelisi_sqlite
