// The table's cursors: a library cursor walking the key range of the query
// in the order the plan chose, and the columns of the entry it stands on.
// A library failure (a damaged index, a failed read) fails the statement
// with the library's text.
#include <cstring>
#include <new>

#include "sqlite/vtab.h"
SQLITE_EXTENSION_INIT3

namespace kelisi_sqlite {

namespace {

Table* TableOf(Cursor* k) {
  return reinterpret_cast<Table*>(k->base.pVtab);
}

// A walk's status: an entry, the end, or the statement's failure.
int Settle(Cursor* k, int st) {
  k->eof = st != KELISI_OK;
  if (st == KELISI_OK || st == KELISI_NOTFOUND) return SQLITE_OK;
  return TableError(TableOf(k), st);
}

// The record's length without its end-of-record bytes.
size_t WithoutMark(const kelisi_header& h, const unsigned char* rec, size_t len) {
  size_t m = h.eor_length;
  if (m == 0 || len < m || memcmp(rec + len - m, h.eor, m) != 0) return len;
  return len - m;
}

void RecordValue(Cursor* k, sqlite3_context* ctx) {
  Table* t = TableOf(k);
  if (!t->hasData) {
    sqlite3_result_null(ctx);
    return;
  }
  k->record.resize(k->e.record_size > 0 ? k->e.record_size : 1);
  size_t len = 0;
  int st = kelisi_read_record(t->ix, &k->e, k->record.data(), k->record.size(), &len);
  if (st != KELISI_OK) {
    char* msg = StatusMessage(*t, st);
    sqlite3_result_error(ctx, msg != nullptr ? msg : "kelisi: out of memory", -1);
    sqlite3_free(msg);
    return;
  }
  size_t n = WithoutMark(t->header, k->record.data(), len);
  sqlite3_result_text(ctx, reinterpret_cast<const char*>(k->record.data()), static_cast<int>(n),
                      SQLITE_TRANSIENT);
}

}  // namespace

int Open(sqlite3_vtab* vtab, sqlite3_vtab_cursor** out) {
  Table* t = reinterpret_cast<Table*>(vtab);
  Cursor* k = new (std::nothrow) Cursor;
  if (k == nullptr) return SQLITE_NOMEM;
  memset(&k->base, 0, sizeof k->base);
  int st = kelisi_cursor_open(t->ix, &k->c);
  if (st != KELISI_OK) {
    delete k;
    return TableError(t, st);
  }
  *out = &k->base;
  return SQLITE_OK;
}

int Close(sqlite3_vtab_cursor* cur) {
  Cursor* k = reinterpret_cast<Cursor*>(cur);
  kelisi_cursor_close(k->c);
  delete k;
  return SQLITE_OK;
}

// idxNum 1 walks down; idxStr lists the comparison of each argument.
int Filter(sqlite3_vtab_cursor* cur, int idxNum, const char* idxStr, int argc,
           sqlite3_value** argv) {
  Cursor* k = reinterpret_cast<Cursor*>(cur);
  Table* t = TableOf(k);
  std::vector<KeyOp> ops;
  if (!ParsePlan(idxStr != nullptr ? idxStr : "", &ops) ||
      ops.size() != static_cast<size_t>(argc)) {
    return TableError(t, KELISI_E_ARG);
  }
  k->range = KeyRange();
  k->descending = idxNum == 1;
  for (int i = 0; i < argc; ++i) {
    switch (sqlite3_value_type(argv[i])) {
      case SQLITE_TEXT: {
        const char* text = reinterpret_cast<const char*>(sqlite3_value_text(argv[i]));
        if (text == nullptr) return SQLITE_NOMEM;
        k->range.AddText(ops[i], {text, static_cast<size_t>(sqlite3_value_bytes(argv[i]))});
        break;
      }
      case SQLITE_NULL:
        k->range.AddNull();
        break;
      case SQLITE_BLOB:
        k->range.AddBlob(ops[i]);
        break;
      default:  // a number: how it compares depends on affinities unknown here
        break;
    }
  }
  return Settle(k, k->range.Start(k->c, t->header.key_length, k->descending, &k->e));
}

int Next(sqlite3_vtab_cursor* cur) {
  Cursor* k = reinterpret_cast<Cursor*>(cur);
  return Settle(k, k->range.Step(k->c, k->descending, &k->e));
}

int Eof(sqlite3_vtab_cursor* cur) {
  return reinterpret_cast<Cursor*>(cur)->eof ? 1 : 0;
}

int ColumnValue(sqlite3_vtab_cursor* cur, sqlite3_context* ctx, int column) {
  // An UPDATE asks only for what it changes: no value tells it a column
  // stays (write.cpp refuses a change of any column but the record).
  if (sqlite3_vtab_nochange(ctx)) return SQLITE_OK;
  Cursor* k = reinterpret_cast<Cursor*>(cur);
  const kelisi_entry& e = k->e;
  switch (column) {
    case kKey:
      sqlite3_result_text(ctx, reinterpret_cast<const char*>(e.key), static_cast<int>(e.key_length),
                          SQLITE_TRANSIENT);
      break;
    case kOffset:
      sqlite3_result_int64(ctx, static_cast<sqlite3_int64>(e.record_offset));
      break;
    case kSize:
      sqlite3_result_int64(ctx, e.record_size);
      break;
    case kDup:
      sqlite3_result_int64(ctx, e.dup_seq);
      break;
    case kRecord:
      RecordValue(k, ctx);
      break;
    default:
      sqlite3_result_null(ctx);
  }
  return SQLITE_OK;
}

// The record's offset: one record has one entry, and an OR of comparisons
// that SQLite answers by several walks tells their rows apart by it.
int Rowid(sqlite3_vtab_cursor* cur, sqlite3_int64* rowid) {
  *rowid = static_cast<sqlite3_int64>(reinterpret_cast<Cursor*>(cur)->e.record_offset);
  return SQLITE_OK;
}

}  // namespace kelisi_sqlite
