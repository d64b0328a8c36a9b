// The table: its arguments, opening the index, the plans it offers SQLite
// and the messages of its failures.
//
//   CREATE VIRTUAL TABLE t USING kelisi(INDEX [, DATA] [, shared] [, write])
//
// INDEX and DATA are file names, quoted or not. INDEX may name several
// indexes of one data file, INDEX,INDEX,... (a name with a comma that is
// an existing file stays one): the table reads the first, and with `write`
// every write is one change over all of them, so that none misses a
// record. Without DATA the table
// reads the data file the index's header names (as written, else beside the
// index); when that cannot be opened, the record column is NULL. The bare
// word `shared` takes the advisory locks that kelindex's compaction
// respects, for an index that may be rewritten while it is read; it needs
// the data file, which carries the locks. `write` opens both files for
// changes (write.cpp). CREATE keeps the files' absolute names in the table
// t_files beside it, which later connections read, so that the database
// works from any directory.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "sqlite/vtab.h"
SQLITE_EXTENSION_INIT3

namespace kelisi_sqlite {

namespace {

constexpr char kSchema[] =
    "CREATE TABLE x(key TEXT, offset INTEGER, size INTEGER, dup INTEGER, record TEXT)";
constexpr char kUsage[] =
    "kelisi: usage: CREATE VIRTUAL TABLE name USING kelisi(index[,index...] [, data] [, shared] "
    "[, write])";
// The most key comparisons one plan passes on; SQLite checks any others.
constexpr int kMaxComparisons = 16;

struct Args {
  std::string isi, data;
  bool shared = false;
  bool write = false;
};

bool Quoted(const std::string& a) {
  return a.size() >= 2 && (a[0] == '\'' || a[0] == '"' || a[0] == '`') && a.back() == a[0];
}

// A module argument as SQLite passes it (the text between the commas): a
// quoted name loses its quotes and doubled quote characters.
std::string Dequote(const std::string& a) {
  if (!Quoted(a)) return a;
  std::string out;
  for (size_t i = 1; i + 1 < a.size(); ++i) {
    out += a[i];
    if (a[i] == a[0] && i + 2 < a.size() && a[i + 1] == a[0]) ++i;
  }
  return out;
}

bool IsWord(const std::string& a, const char* word) {
  return !Quoted(a) && sqlite3_stricmp(a.c_str(), word) == 0;
}

// argv[0..2] are the module, database and table names.
bool ReadArgs(int argc, const char* const* argv, Args* out) {
  int names = 0;
  for (int i = 3; i < argc; ++i) {
    std::string a = argv[i];
    if (IsWord(a, "shared")) {
      out->shared = true;
    } else if (IsWord(a, "write")) {
      out->write = true;
    } else if (names == 0) {
      out->isi = Dequote(a);
      ++names;
    } else if (names == 1) {
      out->data = Dequote(a);
      ++names;
    } else {
      return false;
    }
  }
  return !out->isi.empty();
}

// Opens the index; without a data file named, the one its header names,
// and none when that one is not to be had (under shared locking the data
// file is required: it carries the locks).
int OpenIndex(Table* t, const Args& a) {
  unsigned flags = (a.shared ? KELISI_SHARED : 0) | (a.write ? KELISI_WRITE : 0);
  if (!a.data.empty()) {
    t->dataPath = a.data;
    t->hasData = true;
    return kelisi_open(a.isi.c_str(), a.data.c_str(), flags, &t->ix);
  }
  int st = kelisi_open(a.isi.c_str(), nullptr, flags | KELISI_HEADER_DATA, &t->ix);
  t->hasData = st == KELISI_OK;
  if (st == KELISI_E_DATA_OPEN && !a.shared && !a.write) {
    st = kelisi_open(a.isi.c_str(), nullptr, flags, &t->ix);
  }
  return st;
}

// The indexes INDEX names: one, or several separated by commas.
std::vector<std::string> IndexNames(const std::string& isi) {
  if (isi.find(',') == std::string::npos || access(isi.c_str(), F_OK) == 0) return {isi};
  std::vector<std::string> names;
  size_t at = 0;
  while (at <= isi.size()) {
    size_t comma = isi.find(',', at);
    if (comma == std::string::npos) comma = isi.size();
    if (comma > at) names.push_back(isi.substr(at, comma - at));
    at = comma + 1;
  }
  return names;
}

// A file name as an absolute one, from the working directory.
std::string Absolute(const std::string& name) {
  if (name.empty() || name[0] == '/') return name;
  std::string cwd(4096, '\0');
  if (getcwd(cwd.data(), cwd.size()) == nullptr) return name;
  cwd.resize(strlen(cwd.c_str()));
  return cwd + "/" + name;
}

std::string Quote(const std::string& s) {
  char* q = sqlite3_mprintf("%w", s.c_str());
  std::string out = q != nullptr ? q : "";
  sqlite3_free(q);
  return "\"" + out + "\"";
}

std::string FilesTable(const std::string& schema, const std::string& table) {
  return Quote(schema) + "." + Quote(table + "_files");
}

// CREATE: the files' absolute names, kept for later connections.
int KeepNames(sqlite3* db, const std::string& schema, const std::string& table, const Args& a,
              char** err) {
  std::string files = FilesTable(schema, table);
  std::string sql = "CREATE TABLE " + files + "(isi TEXT, data TEXT)";
  int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, err);
  if (rc != SQLITE_OK) return rc;
  sqlite3_stmt* st = nullptr;
  rc = sqlite3_prepare_v2(db, ("INSERT INTO " + files + " VALUES (?1, ?2)").c_str(), -1, &st,
                          nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_bind_text(st, 1, a.isi.c_str(), -1, SQLITE_TRANSIENT);
    if (!a.data.empty()) sqlite3_bind_text(st, 2, a.data.c_str(), -1, SQLITE_TRANSIENT);
    rc = sqlite3_step(st) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db);
  }
  sqlite3_finalize(st);
  if (rc != SQLITE_OK && *err == nullptr) *err = sqlite3_mprintf("%s", sqlite3_errmsg(db));
  return rc;
}

// CONNECT: the names CREATE kept, when it kept them (a table of an older
// database has none: its arguments stand).
void KeptNames(sqlite3* db, const std::string& schema, const std::string& table, Args* a) {
  sqlite3_stmt* st = nullptr;
  std::string sql = "SELECT isi, data FROM " + FilesTable(schema, table);
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return;
  if (sqlite3_step(st) == SQLITE_ROW) {
    const auto* isi = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
    if (isi != nullptr) a->isi = isi;
    a->data = data != nullptr ? data : "";
  }
  sqlite3_finalize(st);
}

KeyOp OpOf(unsigned char op, bool* known) {
  *known = true;
  switch (op) {
    case SQLITE_INDEX_CONSTRAINT_EQ:
      return KeyOp::kEq;
    case SQLITE_INDEX_CONSTRAINT_LT:
      return KeyOp::kLt;
    case SQLITE_INDEX_CONSTRAINT_LE:
      return KeyOp::kLe;
    case SQLITE_INDEX_CONSTRAINT_GT:
      return KeyOp::kGt;
    case SQLITE_INDEX_CONSTRAINT_GE:
      return KeyOp::kGe;
    default:
      *known = false;
      return KeyOp::kEq;
  }
}

// What a plan costs, in entries visited: a lookup descends the tree, a
// bounded walk is taken to visit a fraction of the index, a full walk all.
void Estimate(const Table& t, const std::vector<KeyOp>& ops, sqlite3_index_info* info) {
  double n = t.header.record_count > 0 ? t.header.record_count : 1;
  bool eq = false, lower = false, upper = false;
  for (KeyOp op : ops) {
    eq |= op == KeyOp::kEq;
    lower |= op == KeyOp::kGt || op == KeyOp::kGe;
    upper |= op == KeyOp::kLt || op == KeyOp::kLe;
  }
  double descent = std::log2(n + 1) + 1;
  double rows = eq               ? (t.header.no_duplicates ? 1 : 2)
                : lower && upper ? n / 16
                : lower || upper ? n / 4
                                 : n;
  info->estimatedRows = static_cast<sqlite3_int64>(std::ceil(rows));
  info->estimatedCost = (ops.empty() ? 0 : descent) + rows;
  if (eq && t.header.no_duplicates) info->idxFlags |= SQLITE_INDEX_SCAN_UNIQUE;
}

}  // namespace

char* StatusMessage(const Table& t, int status) {
  bool data = status == KELISI_E_DATA_OPEN || status == KELISI_E_DATA_READ;
  if (data && t.dataPath.empty()) {  // the header's data file, which could not be opened
    return sqlite3_mprintf("kelisi: %s named in %s", kelisi_strerror(status), t.isiPath.c_str());
  }
  const std::string& file = data ? t.dataPath : t.isiPath;
  return sqlite3_mprintf("kelisi: %s: %s", kelisi_strerror(status), file.c_str());
}

int TableError(Table* t, int status) {
  sqlite3_free(t->base.zErrMsg);
  t->base.zErrMsg = StatusMessage(*t, status);
  return status == KELISI_E_NOMEM ? SQLITE_NOMEM : SQLITE_ERROR;
}

namespace {

int Open(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out, char** err,
         bool create) {
  *out = nullptr;
  Args a;
  if (!ReadArgs(argc, argv, &a)) {
    *err = sqlite3_mprintf("%s", kUsage);
    return SQLITE_ERROR;
  }
  std::string schema = argv[1], name = argv[2];
  if (create) {
    std::string all;
    for (const std::string& isi : IndexNames(a.isi)) {
      all += (all.empty() ? "" : ",") + Absolute(isi);
    }
    a.isi = all;
    a.data = Absolute(a.data);
  } else {
    KeptNames(db, schema, name, &a);
  }
  std::vector<std::string> others = IndexNames(a.isi);
  if (others.empty()) {
    *err = sqlite3_mprintf("%s", kUsage);
    return SQLITE_ERROR;
  }
  a.isi = others.front();
  others.erase(others.begin());
  if (!others.empty() && !a.write) {
    *err = sqlite3_mprintf("kelisi: the other indexes a table names are kept current by its "
                           "writes: name them with write");
    return SQLITE_ERROR;
  }
  Table* t = new (std::nothrow) Table;
  if (t == nullptr) return SQLITE_NOMEM;
  memset(&t->base, 0, sizeof t->base);
  t->isiPath = a.isi;
  t->write = a.write;
  t->db = db;
  t->schema = schema;
  t->name = name;
  t->conn = static_cast<Connection*>(aux);
  t->conn->tables.push_back(t);
  int st = OpenIndex(t, a);
  if (st == KELISI_OK) st = kelisi_get_header(t->ix, &t->header);
  if (st == KELISI_OK && t->hasData && a.data.empty()) t->dataPath = t->header.data_name;
  for (size_t i = 0; i < others.size() && st == KELISI_OK; ++i) {
    kelisi* x = nullptr;
    unsigned flags = KELISI_WRITE | (a.shared ? KELISI_SHARED : 0);
    st = kelisi_open(others[i].c_str(), a.data.empty() ? nullptr : a.data.c_str(), flags, &x);
    if (st == KELISI_OK) {
      t->others.push_back(x);
    } else {
      t->isiPath = others[i];  // the index the failure concerns
    }
  }
  if (st != KELISI_OK) {
    *err = StatusMessage(*t, st);
    Disconnect(&t->base);
    return st == KELISI_E_NOMEM ? SQLITE_NOMEM : SQLITE_ERROR;
  }
  int rc = sqlite3_declare_vtab(db, kSchema);
  if (rc == SQLITE_OK && create) rc = KeepNames(db, schema, name, a, err);
  if (rc != SQLITE_OK) {
    Disconnect(&t->base);
    return rc;
  }
  *out = &t->base;
  return SQLITE_OK;
}

}  // namespace

int Create(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out,
           char** err) {
  return Open(db, aux, argc, argv, out, err, true);
}

int Connect(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out,
            char** err) {
  return Open(db, aux, argc, argv, out, err, false);
}

// Uses every usable comparison of the key under BINARY collation (the
// index's own order) and takes over ORDER BY key in either direction. The
// plan's text lists the comparisons in argument order, so that EXPLAIN
// QUERY PLAN shows how a query reads the index. SQLite checks each
// comparison again (omit stays 0): a value of another type than TEXT may
// compare under another affinity, and the range then narrows less.
int BestIndex(sqlite3_vtab* vtab, sqlite3_index_info* info) {
  Table* t = reinterpret_cast<Table*>(vtab);
  std::vector<KeyOp> ops;
  for (int i = 0; i < info->nConstraint && ops.size() < kMaxComparisons; ++i) {
    const auto& c = info->aConstraint[i];
    bool known = false;
    KeyOp op = OpOf(c.op, &known);
    if (!c.usable || c.iColumn != kKey || !known) continue;
    if (sqlite3_stricmp(sqlite3_vtab_collation(info, i), "BINARY") != 0) continue;
    ops.push_back(op);
    info->aConstraintUsage[i].argvIndex = static_cast<int>(ops.size());
  }
  if (info->nOrderBy == 1 && info->aOrderBy[0].iColumn == kKey) {
    info->orderByConsumed = 1;
    info->idxNum = info->aOrderBy[0].desc ? 1 : 0;
  }
  if (!ops.empty()) {
    info->idxStr = sqlite3_mprintf("%s", PlanText(ops).c_str());
    if (info->idxStr == nullptr) return SQLITE_NOMEM;
    info->needToFreeIdxStr = 1;
  }
  Estimate(*t, ops, info);
  return SQLITE_OK;
}

int Disconnect(sqlite3_vtab* vtab) {
  Table* t = reinterpret_cast<Table*>(vtab);
  EndChange(t);
  auto& tables = t->conn->tables;
  tables.erase(std::remove(tables.begin(), tables.end(), t), tables.end());
  kelisi_close(t->ix);
  for (kelisi* x : t->others) kelisi_close(x);
  sqlite3_free(t->base.zErrMsg);
  delete t;
  return SQLITE_OK;
}

// Dropping the table drops the names CREATE kept; the files stay.
int Destroy(sqlite3_vtab* vtab) {
  Table* t = reinterpret_cast<Table*>(vtab);
  std::string sql = "DROP TABLE IF EXISTS " + FilesTable(t->schema, t->name);
  int rc = sqlite3_exec(t->db, sql.c_str(), nullptr, nullptr, nullptr);
  Disconnect(vtab);
  return rc;
}

int Rename(sqlite3_vtab* vtab, const char* newName) {
  Table* t = reinterpret_cast<Table*>(vtab);
  std::string sql = "ALTER TABLE " + FilesTable(t->schema, t->name) + " RENAME TO " +
                    Quote(std::string(newName) + "_files");
  int rc = sqlite3_exec(t->db, sql.c_str(), nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) t->name = newName;
  return rc;
}

int ShadowName(const char* suffix) {
  return sqlite3_stricmp(suffix, "files") == 0;
}

}  // namespace kelisi_sqlite
