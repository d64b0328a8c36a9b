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

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Die("cannot read " + path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

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
                          KELISI_WRITE, &ix),
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

using RunFn = Run (*)(uint64_t, bool);

struct Bench {
  const char* name;  // "batch/kelisi" ...
  RunFn fn;
  bool durableEach;
};

const Bench kBenches[] = {
    {"batch/kelisi", RunKelisi, false},  {"batch/SQLite", RunSqlite, false},
    {"batch/LMDB", RunLmdb, false},      {"durable/kelisi", RunKelisi, true},
    {"durable/SQLite", RunSqlite, true}, {"durable/LMDB", RunLmdb, true}};

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
  printf("%-10s %16s %16s\n", "system", "batch inserts/s", "durable changes/s");
  const char* names[] = {"kelisi", "SQLite", "LMDB"};
  double batch[3], durable[3];
  for (int i = 0; i < 3; ++i) {
    batch[i] = rep.Rate(std::string("batch/") + names[i]);
    durable[i] = rep.Rate(std::string("durable/") + names[i]);
    printf("%-10s %16.0f %16.1f\n", names[i], batch[i], durable[i]);
  }
  printf("%-10s %16s %16s\n", "/ SQLite", bench::Ratio(batch[0], batch[1]).c_str(),
         bench::Ratio(durable[0], durable[1]).c_str());
  printf("%-10s %16s %16s\n", "/ LMDB", bench::Ratio(batch[0], batch[2]).c_str(),
         bench::Ratio(durable[0], durable[2]).c_str());
  printf("\ntargets (rates)\n");
  bench::Target("batch: kelisi / SQLite", batch[0], batch[1], kBatchVsSqlite);
  bench::Target("durable changes: kelisi / SQLite", durable[0], durable[1], kDurableVsSqlite);
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
  // The index the last kelisi run left, checked against its data file.
  bench::RunTool({tools + "/kelisi", "check", "data.isi", "data.txt"});
  return 0;
}
