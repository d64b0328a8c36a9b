// Changes made in place, through libkelisi's write calls, against the same
// keys in SQLite and in LMDB: what a program that keeps an index current
// while records arrive pays for it.
//
// Start: 100,000 random 100-byte records (gen_data, key in columns 1-10)
// indexed by kelindex; the same keys, each mapped to its record's byte
// offset, in a SQLite table with a covering index on (key, offset) and in
// one LMDB database. Then, in each system, from a fresh copy of that start
// for every repetition:
//   - batch: 100,000 other random records inserted in one change (kelisi:
//     one change that writes the records to the data file and enters their
//     keys; SQLite: one transaction of a prepared INSERT; LMDB: one write
//     transaction), committed durably;
//   - durable: 1,000 records, each its own change made durable before the
//     next (kelisi: a commit syncs the journal, the index and the data file;
//     SQLite: synchronous=FULL with its rollback journal; LMDB: its default,
//     synced commits).
// Every run is checked: the entry count afterwards, and `kelisi check` of
// the index and data file kelisi left.
//
// The same two rows over a data file with three indexes (keys in columns
// 1-10, 12-21 and 23-32 of other random records): kelisi inserts each
// record once in one change over the three indexes; SQLite into one table
// of the three keys and the offset with an index on each key (and the
// offset), in one transaction; LMDB into three databases, each key to the
// offset, in one write transaction.
//
//   bm_update [--start=N] [--batch=N] [--durable=N] [--tools=DIR] [Google Benchmark flags]
#include <lmdb.h>
#include <sqlite3.h>

#include <chrono>
#include <fstream>

#include "bench_common.h"
#include "kelisi.h"

namespace {

using bench::Die;
using bench::ScratchPath;
using bench::Thousands;

constexpr uint32_t kKeyLength = 10;
constexpr uint32_t kRecordLength = 99;  // and a LF
constexpr const char* kDefaultRepetitions = "5";

// Targets, as rates of kelisi against SQLite: at least this much.
constexpr double kBatchVsSqlite = 1.0;
constexpr double kDurableVsSqlite = 1.0;

uint64_t gStartRecords = 100000;
uint64_t gBatchRecords = 100000;
uint64_t gDurableRecords = 1000;

// The records to insert, without their LF, and the start's keys and offsets.
std::vector<std::string> gNew;
std::vector<std::pair<std::string, uint64_t>> gStart;
// The same for the data file with three indexes: its records carry the
// three keys at kSetKeyColumn[i] (0-based).
constexpr int kSetIndexes = 3;
constexpr size_t kSetKeyColumn[kSetIndexes] = {0, 11, 22};
std::vector<std::string> gNew3;
std::vector<std::pair<std::string, uint64_t>> gStart3;  // the record's first 32 bytes, offset

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Die("cannot read " + path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Each run changes copies of the start. The one index names the start's
// data file, so the copy of the data is opened with KELISI_DATA_ANYWAY.
void CopyFile(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  out << in.rdbuf();
  if (!in || !out) Die("cannot copy " + from + " to " + to);
}

// ---- the three systems, each from its own copy of the start -----------------------

void SqliteExec(sqlite3* db, const char* sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
    std::string msg = std::string("SQLite: ") + sql + ": " + (err != nullptr ? err : "?");
    sqlite3_free(err);
    Die(msg);
  }
}

sqlite3* SqliteOpen(const std::string& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) Die("SQLite: cannot open " + path);
  SqliteExec(db, "PRAGMA journal_mode=DELETE");
  SqliteExec(db, "PRAGMA synchronous=FULL");
  return db;
}

void SqliteInsert(sqlite3* db, sqlite3_stmt* st, const std::string& key, uint64_t off) {
  sqlite3_bind_blob(st, 1, key.data(), kKeyLength, SQLITE_STATIC);
  sqlite3_bind_int64(st, 2, static_cast<sqlite3_int64>(off));
  if (sqlite3_step(st) != SQLITE_DONE) Die(std::string("SQLite: ") + sqlite3_errmsg(db));
  sqlite3_reset(st);
}

uint64_t SqliteCount(sqlite3* db) {
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "SELECT count(*) FROM t INDEXED BY t_k", -1, &st, nullptr);
  uint64_t n = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int64(st, 0) : 0;
  sqlite3_finalize(st);
  return n;
}

void MakeSqliteStart() {
  sqlite3* db = SqliteOpen(ScratchPath("start.db"));
  SqliteExec(db, "CREATE TABLE t(k BLOB NOT NULL, off INTEGER NOT NULL)");
  SqliteExec(db, "BEGIN");
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO t(k, off) VALUES(?1, ?2)", -1, &st, nullptr);
  for (const auto& [key, off] : gStart) SqliteInsert(db, st, key, off);
  sqlite3_finalize(st);
  SqliteExec(db, "COMMIT");
  SqliteExec(db, "CREATE INDEX t_k ON t(k, off)");
  sqlite3_close(db);
}

void LmdbCheck(int rc, const char* what) {
  if (rc != MDB_SUCCESS) Die(std::string("LMDB: ") + what + ": " + mdb_strerror(rc));
}

MDB_env* LmdbOpen(const std::string& path, unsigned flags) {
  MDB_env* env = nullptr;
  LmdbCheck(mdb_env_create(&env), "mdb_env_create");
  LmdbCheck(mdb_env_set_mapsize(env, size_t{1} << 32), "mdb_env_set_mapsize");
  LmdbCheck(mdb_env_open(env, path.c_str(), MDB_NOSUBDIR | flags, 0644), "mdb_env_open");
  return env;
}

// The environment's one unnamed database, opened in `txn`.
MDB_dbi LmdbDatabase(MDB_txn* txn) {
  MDB_dbi dbi = 0;
  LmdbCheck(mdb_dbi_open(txn, nullptr, 0, &dbi), "mdb_dbi_open");
  return dbi;
}

void LmdbPut(MDB_txn* txn, MDB_dbi dbi, const std::string& key, uint64_t off) {
  MDB_val k{kKeyLength, const_cast<char*>(key.data())};
  MDB_val v{sizeof off, &off};
  LmdbCheck(mdb_put(txn, dbi, &k, &v, 0), "mdb_put");
}

uint64_t LmdbCount(MDB_env* env) {
  MDB_stat st;
  LmdbCheck(mdb_env_stat(env, &st), "mdb_env_stat");
  return st.ms_entries;
}

void MakeLmdbStart() {
  MDB_env* env = LmdbOpen(ScratchPath("start.mdb"), 0);
  MDB_txn* txn = nullptr;
  LmdbCheck(mdb_txn_begin(env, nullptr, 0, &txn), "mdb_txn_begin");
  MDB_dbi dbi = LmdbDatabase(txn);
  for (const auto& [key, off] : gStart) LmdbPut(txn, dbi, key, off);
  LmdbCheck(mdb_txn_commit(txn), "mdb_txn_commit");
  mdb_env_close(env);
}

// ---- the same, with three keys a record ---------------------------------------------

std::string SetKey(const std::string& record, int i) {
  return record.substr(kSetKeyColumn[i], kKeyLength);
}

void SqliteInsert3(sqlite3* db, sqlite3_stmt* st, const std::string& record, uint64_t off) {
  std::string keys[kSetIndexes];
  for (int i = 0; i < kSetIndexes; ++i) {
    keys[i] = SetKey(record, i);
    sqlite3_bind_blob(st, i + 1, keys[i].data(), kKeyLength, SQLITE_STATIC);
  }
  sqlite3_bind_int64(st, kSetIndexes + 1, static_cast<sqlite3_int64>(off));
  if (sqlite3_step(st) != SQLITE_DONE) Die(std::string("SQLite: ") + sqlite3_errmsg(db));
  sqlite3_reset(st);
}

constexpr const char* kSqliteInsert3 = "INSERT INTO t3(k1, k2, k3, off) VALUES(?1, ?2, ?3, ?4)";

uint64_t SqliteCount3(sqlite3* db) {
  uint64_t least = UINT64_MAX;
  for (const char* sql : {"SELECT count(*) FROM t3 INDEXED BY t3_k1",
                          "SELECT count(*) FROM t3 INDEXED BY t3_k2",
                          "SELECT count(*) FROM t3 INDEXED BY t3_k3"}) {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
    uint64_t n = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int64(st, 0) : 0;
    sqlite3_finalize(st);
    least = std::min(least, n);
  }
  return least;
}

void MakeSqliteStart3() {
  sqlite3* db = SqliteOpen(ScratchPath("start3.db"));
  SqliteExec(db, "CREATE TABLE t3(k1 BLOB NOT NULL, k2 BLOB NOT NULL, k3 BLOB NOT NULL, "
                 "off INTEGER NOT NULL)");
  SqliteExec(db, "BEGIN");
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, kSqliteInsert3, -1, &st, nullptr);
  for (const auto& [record, off] : gStart3) SqliteInsert3(db, st, record, off);
  sqlite3_finalize(st);
  SqliteExec(db, "COMMIT");
  SqliteExec(db, "CREATE INDEX t3_k1 ON t3(k1, off)");
  SqliteExec(db, "CREATE INDEX t3_k2 ON t3(k2, off)");
  SqliteExec(db, "CREATE INDEX t3_k3 ON t3(k3, off)");
  sqlite3_close(db);
}

MDB_env* LmdbOpen3(const std::string& path) {
  MDB_env* env = nullptr;
  LmdbCheck(mdb_env_create(&env), "mdb_env_create");
  LmdbCheck(mdb_env_set_mapsize(env, size_t{1} << 32), "mdb_env_set_mapsize");
  LmdbCheck(mdb_env_set_maxdbs(env, kSetIndexes), "mdb_env_set_maxdbs");
  LmdbCheck(mdb_env_open(env, path.c_str(), MDB_NOSUBDIR, 0644), "mdb_env_open");
  return env;
}

void LmdbDatabases3(MDB_txn* txn, MDB_dbi* dbi) {
  const char* names[kSetIndexes] = {"k1", "k2", "k3"};
  for (int i = 0; i < kSetIndexes; ++i) {
    LmdbCheck(mdb_dbi_open(txn, names[i], MDB_CREATE, &dbi[i]), "mdb_dbi_open");
  }
}

void LmdbPut3(MDB_txn* txn, const MDB_dbi* dbi, const std::string& record, uint64_t off) {
  for (int i = 0; i < kSetIndexes; ++i) LmdbPut(txn, dbi[i], SetKey(record, i), off);
}

uint64_t LmdbCount3(MDB_env* env) {
  MDB_txn* txn = nullptr;
  LmdbCheck(mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn), "mdb_txn_begin");
  MDB_dbi dbi[kSetIndexes];
  LmdbDatabases3(txn, dbi);
  uint64_t least = UINT64_MAX;
  for (int i = 0; i < kSetIndexes; ++i) {
    MDB_stat st;
    LmdbCheck(mdb_stat(txn, dbi[i], &st), "mdb_stat");
    least = std::min<uint64_t>(least, st.ms_entries);
  }
  mdb_txn_abort(txn);
  return least;
}

void MakeLmdbStart3() {
  MDB_env* env = LmdbOpen3(ScratchPath("start3.mdb"));
  MDB_txn* txn = nullptr;
  LmdbCheck(mdb_txn_begin(env, nullptr, 0, &txn), "mdb_txn_begin");
  MDB_dbi dbi[kSetIndexes];
  LmdbDatabases3(txn, dbi);
  for (const auto& [record, off] : gStart3) LmdbPut3(txn, dbi, record, off);
  LmdbCheck(mdb_txn_commit(txn), "mdb_txn_commit");
  mdb_env_close(env);
}

void KelisiCheck(int st, const char* what) {
  if (st != KELISI_OK) Die(std::string("kelisi: ") + what + ": " + kelisi_strerror(st));
}

// ---- one run of each system: inserts `count` new records -------------------------

using Clock = std::chrono::steady_clock;

struct Run {
  double seconds = 0;
  uint64_t entries = 0;  // afterwards
};

Run RunKelisi(uint64_t count, bool durableEach) {
  CopyFile(ScratchPath("start.txt"), ScratchPath("data.txt"));
  CopyFile(ScratchPath("start.isi"), ScratchPath("data.isi"));
  kelisi* ix = nullptr;
  KelisiCheck(kelisi_open(ScratchPath("data.isi").c_str(), ScratchPath("data.txt").c_str(),
                          KELISI_WRITE | KELISI_DATA_ANYWAY, &ix),
              "open");
  Run r;
  Clock::time_point t0 = Clock::now();
  kelisi_txn* txn = nullptr;
  for (uint64_t i = 0; i < count; ++i) {
    if (txn == nullptr) KelisiCheck(kelisi_txn_begin(ix, &txn), "begin");
    KelisiCheck(kelisi_txn_insert(txn, gNew[i].data(), gNew[i].size(), nullptr), "insert");
    if (durableEach || i + 1 == count) {
      KelisiCheck(kelisi_txn_commit(txn), "commit");
      txn = nullptr;
    }
  }
  r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  kelisi_header h;
  KelisiCheck(kelisi_get_header(ix, &h), "header");
  r.entries = h.record_count;
  kelisi_close(ix);
  return r;
}

Run RunSqlite(uint64_t count, bool durableEach) {
  CopyFile(ScratchPath("start.db"), ScratchPath("t.db"));
  sqlite3* db = SqliteOpen(ScratchPath("t.db"));
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO t(k, off) VALUES(?1, ?2)", -1, &st, nullptr);
  Run r;
  Clock::time_point t0 = Clock::now();
  if (!durableEach) SqliteExec(db, "BEGIN");
  for (uint64_t i = 0; i < count; ++i) SqliteInsert(db, st, gNew[i], i * (kRecordLength + 1));
  if (!durableEach) SqliteExec(db, "COMMIT");
  r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  sqlite3_finalize(st);
  r.entries = SqliteCount(db);
  sqlite3_close(db);
  return r;
}

Run RunLmdb(uint64_t count, bool durableEach) {
  CopyFile(ScratchPath("start.mdb"), ScratchPath("t.mdb"));
  MDB_env* env = LmdbOpen(ScratchPath("t.mdb"), 0);
  Run r;
  Clock::time_point t0 = Clock::now();
  MDB_txn* txn = nullptr;
  MDB_dbi dbi = 0;
  for (uint64_t i = 0; i < count; ++i) {
    if (txn == nullptr) {
      LmdbCheck(mdb_txn_begin(env, nullptr, 0, &txn), "mdb_txn_begin");
      if (i == 0) dbi = LmdbDatabase(txn);
    }
    LmdbPut(txn, dbi, gNew[i], i * (kRecordLength + 1));
    if (durableEach || i + 1 == count) {
      LmdbCheck(mdb_txn_commit(txn), "mdb_txn_commit");
      txn = nullptr;
    }
  }
  r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  r.entries = LmdbCount(env);
  mdb_env_close(env);
  return r;
}

// The data file with three indexes: one change over the three.
Run RunKelisi3(uint64_t count, bool durableEach) {
  CopyFile(ScratchPath("start3/data3.txt"), ScratchPath("data3.txt"));
  kelisi* ixs[kSetIndexes] = {};
  for (int i = 0; i < kSetIndexes; ++i) {
    std::string isi = "data3_" + std::to_string(i + 1) + ".isi";
    CopyFile(ScratchPath("start3/" + isi), ScratchPath(isi));
    KelisiCheck(kelisi_open(ScratchPath(isi).c_str(), ScratchPath("data3.txt").c_str(),
                            KELISI_WRITE, &ixs[i]),
                "open");
  }
  Run r;
  Clock::time_point t0 = Clock::now();
  kelisi_txn* txn = nullptr;
  for (uint64_t i = 0; i < count; ++i) {
    if (txn == nullptr) KelisiCheck(kelisi_txn_begin_set(ixs, kSetIndexes, &txn), "begin");
    KelisiCheck(kelisi_txn_insert(txn, gNew3[i].data(), gNew3[i].size(), nullptr), "insert");
    if (durableEach || i + 1 == count) {
      KelisiCheck(kelisi_txn_commit(txn), "commit");
      txn = nullptr;
    }
  }
  r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  r.entries = UINT64_MAX;
  for (kelisi* ix : ixs) {
    kelisi_header h;
    KelisiCheck(kelisi_get_header(ix, &h), "header");
    r.entries = std::min<uint64_t>(r.entries, h.record_count);
    kelisi_close(ix);
  }
  return r;
}

Run RunSqlite3(uint64_t count, bool durableEach) {
  CopyFile(ScratchPath("start3.db"), ScratchPath("t3.db"));
  sqlite3* db = SqliteOpen(ScratchPath("t3.db"));
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, kSqliteInsert3, -1, &st, nullptr);
  Run r;
  Clock::time_point t0 = Clock::now();
  if (!durableEach) SqliteExec(db, "BEGIN");
  for (uint64_t i = 0; i < count; ++i) SqliteInsert3(db, st, gNew3[i], i * (kRecordLength + 1));
  if (!durableEach) SqliteExec(db, "COMMIT");
  r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  sqlite3_finalize(st);
  r.entries = SqliteCount3(db);
  sqlite3_close(db);
  return r;
}

Run RunLmdb3(uint64_t count, bool durableEach) {
  CopyFile(ScratchPath("start3.mdb"), ScratchPath("t3.mdb"));
  MDB_env* env = LmdbOpen3(ScratchPath("t3.mdb"));
  Run r;
  Clock::time_point t0 = Clock::now();
  MDB_txn* txn = nullptr;
  MDB_dbi dbi[kSetIndexes];
  for (uint64_t i = 0; i < count; ++i) {
    if (txn == nullptr) {
      LmdbCheck(mdb_txn_begin(env, nullptr, 0, &txn), "mdb_txn_begin");
      if (i == 0) LmdbDatabases3(txn, dbi);
    }
    LmdbPut3(txn, dbi, gNew3[i], i * (kRecordLength + 1));
    if (durableEach || i + 1 == count) {
      LmdbCheck(mdb_txn_commit(txn), "mdb_txn_commit");
      txn = nullptr;
    }
  }
  r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  r.entries = LmdbCount3(env);
  mdb_env_close(env);
  return r;
}

using RunFn = Run (*)(uint64_t, bool);

struct Bench {
  const char* name;  // "batch/kelisi" ...
  RunFn fn;
  bool durableEach;
};

const Bench kBenches[] = {
    {"batch/kelisi", RunKelisi, false},  {"batch/SQLite", RunSqlite, false},
    {"batch/LMDB", RunLmdb, false},      {"durable/kelisi", RunKelisi, true},
    {"durable/SQLite", RunSqlite, true}, {"durable/LMDB", RunLmdb, true},
    {"batch3/kelisi", RunKelisi3, false},  {"batch3/SQLite", RunSqlite3, false},
    {"batch3/LMDB", RunLmdb3, false},      {"durable3/kelisi", RunKelisi3, true},
    {"durable3/SQLite", RunSqlite3, true}, {"durable3/LMDB", RunLmdb3, true}};

void Measure(benchmark::State& state, const Bench* b) {
  uint64_t count = b->durableEach ? gDurableRecords : gBatchRecords;
  for (auto _ : state) {
    Run r = b->fn(count, b->durableEach);
    if (r.entries != gStartRecords + count) {
      std::string fault = Thousands(r.entries) + " entries after the run, not " +
                          Thousands(gStartRecords + count);
      state.SkipWithError(fault.c_str());
      break;
    }
    state.SetIterationTime(r.seconds);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(count));
}

void PrintSummary(const bench::SummaryReporter& rep, const std::string& repetitions) {
  printf("\n%s\n", bench::MachineLine().c_str());
  printf("SQLite %s (synchronous=FULL, rollback journal); LMDB %d.%d.%d (synced commits)\n",
         sqlite3_libversion(), MDB_VERSION_MAJOR, MDB_VERSION_MINOR, MDB_VERSION_PATCH);
  printf(
      "\nstart: %s records; batch: %s random inserts in one change; durable: %s changes of "
      "one record, each synced; median of %s repetitions\n",
      Thousands(gStartRecords).c_str(), Thousands(gBatchRecords).c_str(),
      Thousands(gDurableRecords).c_str(), repetitions.c_str());
  const char* names[] = {"kelisi", "SQLite", "LMDB"};
  // One table of rates and ratios for each shape of the data: one index,
  // three indexes of one data file.
  struct Shape {
    const char* title;
    const char* batch;
    const char* durable;
  } shapes[] = {{"one index", "batch/", "durable/"},
                {"three indexes of one data file", "batch3/", "durable3/"}};
  double batch[2][3], durable[2][3];
  for (int s = 0; s < 2; ++s) {
    printf("\n%s\n%-10s %16s %18s\n", shapes[s].title, "system", "batch inserts/s",
           "durable changes/s");
    for (int i = 0; i < 3; ++i) {
      batch[s][i] = rep.Rate(std::string(shapes[s].batch) + names[i]);
      durable[s][i] = rep.Rate(std::string(shapes[s].durable) + names[i]);
      printf("%-10s %16.0f %18.1f\n", names[i], batch[s][i], durable[s][i]);
    }
    printf("%-10s %16s %18s\n", "/ SQLite", bench::Ratio(batch[s][0], batch[s][1]).c_str(),
           bench::Ratio(durable[s][0], durable[s][1]).c_str());
    printf("%-10s %16s %18s\n", "/ LMDB", bench::Ratio(batch[s][0], batch[s][2]).c_str(),
           bench::Ratio(durable[s][0], durable[s][2]).c_str());
  }
  printf("\ntargets (rates)\n");
  bench::Target("batch: kelisi / SQLite", batch[0][0], batch[0][1], kBatchVsSqlite);
  bench::Target("durable changes: kelisi / SQLite", durable[0][0], durable[0][1],
                kDurableVsSqlite);
  bench::Target("batch, three indexes: kelisi / SQLite", batch[1][0], batch[1][1],
                kBatchVsSqlite);
  bench::Target("durable, three indexes: kelisi / SQLite", durable[1][0], durable[1][1],
                kDurableVsSqlite);
}

uint64_t Count(const char* arg, size_t prefix) {
  char* end = nullptr;
  unsigned long long n = strtoull(arg + prefix, &end, 10);
  if (*end != '\0' || n < 1 || n > 10000000) Die(std::string("bad ") + arg);
  return n;
}

// Takes the program's own flags (see BenchmarkArguments).
bool OwnFlag(const char* a) {
  if (strncmp(a, "--start=", 8) == 0) {
    gStartRecords = Count(a, 8);
  } else if (strncmp(a, "--batch=", 8) == 0) {
    gBatchRecords = Count(a, 8);
  } else if (strncmp(a, "--durable=", 10) == 0) {
    gDurableRecords = Count(a, 10);
  } else {
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bench::ProgramName() = "bm_update";
  std::string tools = bench::OwnDirectory(), repetitions;
  std::vector<char*> args =
      bench::BenchmarkArguments(argc, argv, kDefaultRepetitions, &tools, &repetitions, OwnFlag);
  int count = static_cast<int>(args.size()) - 1;
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  for (const char* tool : {"gen_data", "kelindex", "kelisi"}) {
    if (access((tools + "/" + tool).c_str(), X_OK) != 0) {
      Die(tools + "/" + tool + " is missing; build it first, or give --tools=DIR");
    }
  }
  bench::MakeScratch();
  uint64_t most = std::max(gBatchRecords, gDurableRecords);
  fprintf(stderr, "bm_update: making the start and the records to insert in %s ...\n",
          bench::ScratchDir().c_str());
  std::string len = std::to_string(kRecordLength);
  bench::RunTool({tools + "/gen_data", "-n", std::to_string(gStartRecords), "-l", len, "-k",
                  "1-10", "-d", "random", "-s", "1", "-o", "start.txt"});
  bench::RunTool({tools + "/gen_data", "-n", std::to_string(most), "-l", len, "-k", "1-10", "-d",
                  "random", "-s", "2", "-o", "new.txt"});
  bench::RunTool({tools + "/kelindex", "start.txt,start.isi", "-1-10"});
  gNew = ReadLines(ScratchPath("new.txt"));
  uint64_t off = 0;
  for (const std::string& line : ReadLines(ScratchPath("start.txt"))) {
    gStart.emplace_back(line.substr(0, kKeyLength), off);
    off += line.size() + 1;
  }
  MakeSqliteStart();
  MakeLmdbStart();
  // The data file with three indexes, built in start3/ under the names its
  // copies have: a change over several indexes goes only through the data
  // file their headers lead to (there the copy beside them).
  if (mkdir(ScratchPath("start3").c_str(), 0755) != 0) Die("cannot make " + ScratchPath("start3"));
  bench::RunTool({tools + "/gen_data", "-n", std::to_string(gStartRecords), "-l", len, "-k",
                  "1-10,12-21,23-32", "-d", "random", "-s", "3", "-o", "start3/data3.txt"});
  bench::RunTool({tools + "/gen_data", "-n", std::to_string(most), "-l", len, "-k",
                  "1-10,12-21,23-32", "-d", "random", "-s", "4", "-o", "new3.txt"});
  for (int i = 0; i < kSetIndexes; ++i) {
    std::string first = std::to_string(kSetKeyColumn[i] + 1);
    std::string last = std::to_string(kSetKeyColumn[i] + kKeyLength);
    bench::RunTool({tools + "/kelindex",
                    "start3/data3.txt,start3/data3_" + std::to_string(i + 1) + ".isi",
                    "-" + first + "-" + last});
  }
  gNew3 = ReadLines(ScratchPath("new3.txt"));
  off = 0;
  for (const std::string& line : ReadLines(ScratchPath("start3/data3.txt"))) {
    gStart3.emplace_back(line, off);
    off += line.size() + 1;
  }
  MakeSqliteStart3();
  MakeLmdbStart3();

  for (const Bench& b : kBenches) {
    benchmark::RegisterBenchmark(b.name, Measure, &b)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
  bench::SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  PrintSummary(reporter, repetitions);
  // The indexes the last kelisi runs left, checked against their data files.
  bench::RunTool({tools + "/kelisi", "check", "data.isi", "data.txt"});
  bench::RunTool({tools + "/kelisi", "indexes", "data3.txt"});
  return 0;
}
