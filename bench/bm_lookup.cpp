// Exact lookups and a full ordered scan of one index of 1,000,000 random
// 10-byte keys, read through libkelisi, against the same keys in SQLite and
// in LMDB: what a program that only reads an index gains or loses by
// keeping it as an ISI file instead of in an embedded database.
//
// The data file is made by gen_data and indexed by kelindex, both taken from
// the directory of this program (the build directory), as a user would:
//
//   gen_data -n 1000000 -l 99 -k 1-10 -d random -s 1 -o data.txt
//   kelindex data.txt,data.isi -1-10
//
// The same keys, each mapped to its record's byte offset, go into a SQLite
// table with an index on (key, offset), so that a lookup and the ordered
// scan read that index alone, and into one LMDB database. Each system then
// answers the same 1,000,000 exact lookups of existing keys, in the same
// random order (one pass), and walks all its entries in key order (a scan);
// one thread, warm caches (every file in the page cache, SQLite's page cache
// large enough for the whole database and filled before the timing). Every
// lookup's offset is summed and every pass is checked: a system that misses
// a key or returns a wrong offset fails the run (exit status 1).
//
//   bm_lookup [--records=N] [--tools=DIR] [--kelisi-cache=BYTES] [Google Benchmark flags]
//
// The index's handle runs at the library's defaults, as a program that
// does not tune it: its cache is sized from the index (the whole of this
// one). --kelisi-cache=BYTES gives it kelisi_set_cache_size(BYTES) instead,
// SQLite's 512 MiB say; --kelisi-cache=0 is the default.
//
// A repetition times one lookup pass or ten scans. The repetitions of all
// six benchmarks run interleaved in random order, so that a change in
// machine load hits the three systems alike; the summary at the end shows
// the medians, the ratios and the targets.
#include <lmdb.h>
#include <sqlite3.h>

#include <cinttypes>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "bench_common.h"
#include "kelisi.h"

namespace {

constexpr uint32_t kKeyLength = 10;  // key columns 1-10
constexpr uint64_t kDefaultRecords = 1000000;
constexpr const char* kDefaultRepetitions = "5";
constexpr uint64_t kLookupSeed = 20261206;  // the order of the lookups
// Passes a repetition times: a lookup pass takes about a second, a scan a
// hundredth of that, too short alone to time on a busy machine.
constexpr int kLookupPasses = 1;
constexpr int kScanPasses = 10;

// Targets, as rates of kelisi against its peer: at least this much.
constexpr double kLookupVsSqlite = 3.0;
constexpr double kLookupVsLmdb = 1.0;
constexpr double kScanVsLmdb = 1.0;

using bench::Die;
using bench::ScratchPath;
using bench::Thousands;

// ---- the keys -----------------------------------------------------------------

struct Keys {
  uint64_t count = 0;
  std::vector<unsigned char> key;    // count x kKeyLength, in data file order
  std::vector<uint64_t> offset;      // each record's byte offset
  std::vector<uint32_t> sorted;      // record numbers in key order
  std::vector<unsigned char> probe;  // every key once, in the random order of the lookups
  uint64_t offsetSum = 0;            // of all records: what every pass must add up to
  const unsigned char* Key(uint64_t i) const { return key.data() + i * kKeyLength; }
};

Keys gKeys;

// Reads the data file: the first kKeyLength bytes of each line are its key.
// Then sorts the keys, refuses duplicates (LMDB's one database maps a key to
// one value) and lays out the lookups.
void LoadKeys(const std::string& dataPath) {
  FILE* f = fopen(dataPath.c_str(), "rb");
  if (f == nullptr) Die("cannot open " + dataPath + ": " + strerror(errno));
  Keys& k = gKeys;
  std::vector<char> buf(1 << 20);
  unsigned char line[kKeyLength];
  uint32_t lineLen = 0;
  uint64_t base = 0, lineStart = 0;
  size_t got;
  while ((got = fread(buf.data(), 1, buf.size(), f)) > 0) {
    for (size_t i = 0; i < got; ++i) {
      if (buf[i] != '\n') {
        if (lineLen < kKeyLength) line[lineLen] = static_cast<unsigned char>(buf[i]);
        ++lineLen;
        continue;
      }
      if (lineLen < kKeyLength) Die("a record of " + dataPath + " is shorter than its key");
      k.key.insert(k.key.end(), line, line + kKeyLength);
      k.offset.push_back(lineStart);
      lineStart = base + i + 1;
      lineLen = 0;
    }
    base += got;
  }
  fclose(f);
  k.count = k.offset.size();
  k.offsetSum = std::accumulate(k.offset.begin(), k.offset.end(), uint64_t{0});

  k.sorted.resize(k.count);
  std::iota(k.sorted.begin(), k.sorted.end(), 0u);
  std::sort(k.sorted.begin(), k.sorted.end(), [](uint32_t a, uint32_t b) {
    int c = memcmp(gKeys.Key(a), gKeys.Key(b), kKeyLength);
    return c != 0 ? c < 0 : a < b;
  });
  for (uint64_t i = 1; i < k.count; ++i) {
    if (memcmp(k.Key(k.sorted[i - 1]), k.Key(k.sorted[i]), kKeyLength) == 0) {
      Die("the data file has a duplicate key at byte " + std::to_string(k.offset[k.sorted[i]]) +
          "; the comparison needs distinct keys");
    }
  }

  std::vector<uint32_t> order(k.count);
  std::iota(order.begin(), order.end(), 0u);
  std::mt19937_64 rng(kLookupSeed);
  for (uint64_t i = k.count; i > 1; --i) {  // Fisher-Yates, the same on every platform
    std::swap(order[i - 1], order[rng() % i]);
  }
  k.probe.resize(k.count * kKeyLength);
  for (uint64_t i = 0; i < k.count; ++i) {
    memcpy(k.probe.data() + i * kKeyLength, k.Key(order[i]), kKeyLength);
  }
}

// ---- the three systems ----------------------------------------------------------

kelisi* gIsi = nullptr;
kelisi_cursor* gIsiCursor = nullptr;

sqlite3* gDb = nullptr;
sqlite3_stmt* gLookupStmt = nullptr;
sqlite3_stmt* gScanStmt = nullptr;

MDB_env* gEnv = nullptr;
MDB_dbi gDbi = 0;

void SqliteExec(const char* sql) {
  char* err = nullptr;
  if (sqlite3_exec(gDb, sql, nullptr, nullptr, &err) != SQLITE_OK) {
    std::string msg = std::string("SQLite: ") + sql + ": " + (err != nullptr ? err : "?");
    sqlite3_free(err);
    Die(msg);
  }
}

sqlite3_stmt* SqlitePrepare(const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(gDb, sql, -1, &stmt, nullptr) != SQLITE_OK) {
    Die(std::string("SQLite: ") + sql + ": " + sqlite3_errmsg(gDb));
  }
  return stmt;
}

// The plan of a statement must read the covering index alone.
void SqliteExpectCovering(const char* sql) {
  std::string query = std::string("EXPLAIN QUERY PLAN ") + sql;
  sqlite3_stmt* stmt = SqlitePrepare(query.c_str());
  std::string plan;
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    plan += reinterpret_cast<const char*>(sqlite3_column_text(stmt, 3));
    plan += "; ";
  }
  sqlite3_finalize(stmt);
  if (plan.find("COVERING INDEX t_k") == std::string::npos) {
    Die(std::string("SQLite plans ") + sql + " as: " + plan);
  }
}

void SetUpSqlite() {
  std::string path = ScratchPath("lookup.db");
  if (sqlite3_open(path.c_str(), &gDb) != SQLITE_OK) Die("SQLite: cannot open " + path);
  SqliteExec("PRAGMA journal_mode=OFF");
  SqliteExec("PRAGMA synchronous=OFF");
  SqliteExec("PRAGMA cache_size=-524288");  // 512 MiB: the whole database
  SqliteExec("CREATE TABLE t(k BLOB NOT NULL, off INTEGER NOT NULL)");
  SqliteExec("BEGIN");
  sqlite3_stmt* insert = SqlitePrepare("INSERT INTO t(k, off) VALUES(?1, ?2)");
  for (uint64_t i = 0; i < gKeys.count; ++i) {
    sqlite3_bind_blob(insert, 1, gKeys.Key(i), kKeyLength, SQLITE_STATIC);
    sqlite3_bind_int64(insert, 2, static_cast<sqlite3_int64>(gKeys.offset[i]));
    if (sqlite3_step(insert) != SQLITE_DONE) Die(std::string("SQLite: ") + sqlite3_errmsg(gDb));
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  SqliteExec("COMMIT");
  SqliteExec("CREATE INDEX t_k ON t(k, off)");
  SqliteExec("ANALYZE");
  const char* lookup = "SELECT off FROM t WHERE k = ?1";
  const char* scan = "SELECT k, off FROM t ORDER BY k";
  SqliteExpectCovering(lookup);
  SqliteExpectCovering(scan);
  gLookupStmt = SqlitePrepare(lookup);
  gScanStmt = SqlitePrepare(scan);
}

void LmdbCheck(int rc, const char* what) {
  if (rc != MDB_SUCCESS) Die(std::string("LMDB: ") + what + ": " + mdb_strerror(rc));
}

void SetUpLmdb() {
  std::string path = ScratchPath("lookup.mdb");
  LmdbCheck(mdb_env_create(&gEnv), "mdb_env_create");
  LmdbCheck(mdb_env_set_mapsize(gEnv, size_t{1} << 32), "mdb_env_set_mapsize");
  LmdbCheck(mdb_env_open(gEnv, path.c_str(), MDB_NOSUBDIR | MDB_NOSYNC, 0644), "mdb_env_open");
  MDB_txn* txn = nullptr;
  LmdbCheck(mdb_txn_begin(gEnv, nullptr, 0, &txn), "mdb_txn_begin");
  LmdbCheck(mdb_dbi_open(txn, nullptr, 0, &gDbi), "mdb_dbi_open");
  for (uint32_t rec : gKeys.sorted) {  // in key order: appended, pages filled
    MDB_val key{kKeyLength, const_cast<unsigned char*>(gKeys.Key(rec))};
    uint64_t off = gKeys.offset[rec];
    MDB_val val{sizeof off, &off};
    LmdbCheck(mdb_put(txn, gDbi, &key, &val, MDB_APPEND), "mdb_put");
  }
  LmdbCheck(mdb_txn_commit(txn), "mdb_txn_commit");
}

uint64_t gKelisiCache = 0;  // bytes for kelisi_set_cache_size; 0: the library's default

void SetUpKelisi(const std::string& isiPath) {
  int st = kelisi_open(isiPath.c_str(), nullptr, 0, &gIsi);
  if (st != KELISI_OK) Die("kelisi: " + isiPath + ": " + kelisi_strerror(st));
  if (gKelisiCache != 0) st = kelisi_set_cache_size(gIsi, gKelisiCache);
  if (st != KELISI_OK) Die(std::string("kelisi: ") + kelisi_strerror(st));
  st = kelisi_cursor_open(gIsi, &gIsiCursor);
  if (st != KELISI_OK) Die(std::string("kelisi: ") + kelisi_strerror(st));
}

void TearDown() {
  if (gIsiCursor != nullptr) kelisi_cursor_close(gIsiCursor);
  if (gIsi != nullptr) kelisi_close(gIsi);
  sqlite3_finalize(gLookupStmt);
  sqlite3_finalize(gScanStmt);
  sqlite3_close(gDb);
  if (gEnv != nullptr) mdb_env_close(gEnv);
}

// ---- one pass of each system --------------------------------------------------------

// What a pass found: entries, the sum of their offsets, and a sum of their
// last key bytes (so that a scan reads the keys too).
struct Pass {
  uint64_t found = 0;
  uint64_t offsetSum = 0;
  uint64_t keySum = 0;
  std::string error;
};

Pass LookupKelisi() {
  Pass p;
  const unsigned char* key = gKeys.probe.data();
  kelisi_entry e;
  for (uint64_t i = 0; i < gKeys.count; ++i, key += kKeyLength) {
    int st = kelisi_find(gIsiCursor, key, kKeyLength, &e);
    if (st == KELISI_OK) {
      ++p.found;
      p.offsetSum += e.record_offset;
    } else if (st != KELISI_NOTFOUND) {
      p.error = kelisi_strerror(st);
      break;
    }
  }
  return p;
}

Pass LookupSqlite() {
  Pass p;
  const unsigned char* key = gKeys.probe.data();
  sqlite3_stmt* stmt = gLookupStmt;
  SqliteExec("BEGIN");  // one read transaction for the pass
  for (uint64_t i = 0; i < gKeys.count; ++i, key += kKeyLength) {
    sqlite3_bind_blob(stmt, 1, key, kKeyLength, SQLITE_STATIC);
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) {
      ++p.found;
      p.offsetSum += static_cast<uint64_t>(sqlite3_column_int64(stmt, 0));
    } else if (rc != SQLITE_DONE) {
      p.error = sqlite3_errmsg(gDb);
      break;
    }
    sqlite3_reset(stmt);
  }
  sqlite3_reset(stmt);
  SqliteExec("COMMIT");
  return p;
}

Pass LookupLmdb() {
  Pass p;
  const unsigned char* key = gKeys.probe.data();
  MDB_txn* txn = nullptr;
  int rc = mdb_txn_begin(gEnv, nullptr, MDB_RDONLY, &txn);
  if (rc != MDB_SUCCESS) {
    p.error = mdb_strerror(rc);
    return p;
  }
  for (uint64_t i = 0; i < gKeys.count; ++i, key += kKeyLength) {
    MDB_val k{kKeyLength, const_cast<unsigned char*>(key)}, v;
    rc = mdb_get(txn, gDbi, &k, &v);
    if (rc == MDB_SUCCESS) {
      uint64_t off;
      memcpy(&off, v.mv_data, sizeof off);
      ++p.found;
      p.offsetSum += off;
    } else if (rc != MDB_NOTFOUND) {
      p.error = mdb_strerror(rc);
      break;
    }
  }
  mdb_txn_abort(txn);
  return p;
}

Pass ScanKelisi() {
  Pass p;
  kelisi_entry e;
  int st;
  for (st = kelisi_first(gIsiCursor, &e); st == KELISI_OK; st = kelisi_next(gIsiCursor, &e)) {
    ++p.found;
    p.offsetSum += e.record_offset;
    p.keySum += e.key[kKeyLength - 1];
  }
  if (st != KELISI_NOTFOUND) p.error = kelisi_strerror(st);
  return p;
}

Pass ScanSqlite() {
  Pass p;
  sqlite3_stmt* stmt = gScanStmt;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    const unsigned char* k = static_cast<const unsigned char*>(sqlite3_column_blob(stmt, 0));
    ++p.found;
    p.offsetSum += static_cast<uint64_t>(sqlite3_column_int64(stmt, 1));
    p.keySum += k[kKeyLength - 1];
  }
  if (rc != SQLITE_DONE) p.error = sqlite3_errmsg(gDb);
  sqlite3_reset(stmt);
  return p;
}

Pass ScanLmdb() {
  Pass p;
  MDB_txn* txn = nullptr;
  MDB_cursor* cur = nullptr;
  int rc = mdb_txn_begin(gEnv, nullptr, MDB_RDONLY, &txn);
  if (rc == MDB_SUCCESS) rc = mdb_cursor_open(txn, gDbi, &cur);
  if (rc != MDB_SUCCESS) {
    p.error = mdb_strerror(rc);
    if (txn != nullptr) mdb_txn_abort(txn);
    return p;
  }
  MDB_val k, v;
  for (rc = mdb_cursor_get(cur, &k, &v, MDB_FIRST); rc == MDB_SUCCESS;
       rc = mdb_cursor_get(cur, &k, &v, MDB_NEXT)) {
    uint64_t off;
    memcpy(&off, v.mv_data, sizeof off);
    ++p.found;
    p.offsetSum += off;
    p.keySum += static_cast<const unsigned char*>(k.mv_data)[kKeyLength - 1];
  }
  if (rc != MDB_NOTFOUND) p.error = mdb_strerror(rc);
  mdb_cursor_close(cur);
  mdb_txn_abort(txn);
  return p;
}

// ---- checking and timing ----------------------------------------------------------

uint64_t gKeyByteSum = 0;  // of every key's last byte

// The fault of a pass, or "" when it found every key with its own offset.
std::string Fault(const Pass& p, bool scan) {
  if (!p.error.empty()) return p.error;
  if (p.found != gKeys.count) {
    return "found " + Thousands(p.found) + " of " + Thousands(gKeys.count) + " keys";
  }
  if (p.offsetSum != gKeys.offsetSum) return "the offsets found are not the records' offsets";
  if (scan && p.keySum != gKeyByteSum) return "the keys read are not the keys stored";
  return "";
}

using PassFn = Pass (*)();

struct Bench {
  const char* name;  // "lookup/kelisi" ...
  PassFn fn;
  bool scan;
  std::string fault;  // the first failed pass's
};

Bench gBenches[] = {
    {"lookup/kelisi", LookupKelisi, false, ""}, {"lookup/SQLite", LookupSqlite, false, ""},
    {"lookup/LMDB", LookupLmdb, false, ""},     {"scan/kelisi", ScanKelisi, true, ""},
    {"scan/SQLite", ScanSqlite, true, ""},      {"scan/LMDB", ScanLmdb, true, ""}};

void Measure(benchmark::State& state, Bench* b) {
  for (auto _ : state) {
    Pass p = b->fn();
    benchmark::DoNotOptimize(p.offsetSum);
    benchmark::DoNotOptimize(p.keySum);
    std::string fault = Fault(p, b->scan);
    if (!fault.empty()) {
      if (b->fault.empty()) b->fault = fault;
      state.SkipWithError(fault.c_str());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(gKeys.count));
}

const Bench& FindBench(const std::string& name) {
  for (const Bench& b : gBenches) {
    if (name == b.name) return b;
  }
  Die("no benchmark " + name);
}

bool AnyFailed() {
  for (const Bench& b : gBenches) {
    if (!b.fault.empty()) return true;
  }
  return false;
}

// Every pass once before the timing: the page cache, SQLite's cache and the
// kelisi handle's cache hold what they will hold during the timing, and a
// system that does not find every key stops the run here.
void Warm() {
  for (const char* name : {"scan/kelisi", "scan/SQLite", "scan/LMDB", "lookup/kelisi",
                           "lookup/SQLite", "lookup/LMDB"}) {
    const Bench& b = FindBench(name);
    std::string fault = Fault(b.fn(), b.scan);
    if (!fault.empty()) Die(std::string(name) + ": " + fault);
  }
}

// ---- the summary --------------------------------------------------------------

void PrintSummary(const bench::SummaryReporter& r, const std::string& repetitions) {
  const char* names[] = {"kelisi", "SQLite", "LMDB"};
  double lookup[3], scan[3];
  for (int i = 0; i < 3; ++i) {
    lookup[i] = r.Rate(std::string("lookup/") + names[i]);
    scan[i] = r.Rate(std::string("scan/") + names[i]);
  }
  printf("\n%s\n", bench::MachineLine().c_str());
  printf("SQLite %s; LMDB %d.%d.%d\n", sqlite3_libversion(), MDB_VERSION_MAJOR, MDB_VERSION_MINOR,
         MDB_VERSION_PATCH);
  printf(
      "\nlookups: %s keys of %u random bytes; %s exact lookups in random order, %d full "
      "ordered scans; median of %s repetitions; kelisi cache: %s\n",
      Thousands(gKeys.count).c_str(), kKeyLength, Thousands(gKeys.count).c_str(), kScanPasses,
      repetitions.c_str(),
      gKelisiCache == 0 ? "the default" : (Thousands(gKelisiCache) + " bytes").c_str());
  printf("%-18s %12s %10s %15s %10s\n", "system", "lookups/s", "ns each", "scan entries/s",
         "scan ms");
  for (int i = 0; i < 3; ++i) {
    std::string fault = FindBench(std::string("lookup/") + names[i]).fault;
    if (fault.empty()) fault = FindBench(std::string("scan/") + names[i]).fault;
    if (!fault.empty()) {
      printf("%-18s %12s   %s\n", names[i], "FAILED", fault.c_str());
      continue;
    }
    if (lookup[i] <= 0 || scan[i] <= 0) {
      printf("%-18s %12s   %s\n", names[i], "-", "not run");
      continue;
    }
    printf("%-18s %12.0f %10.0f %15.0f %10.1f\n", names[i], lookup[i], 1e9 / lookup[i], scan[i],
           1e3 * static_cast<double>(gKeys.count) / scan[i]);
  }
  printf("%-18s %12s %10s %15s\n", "kelisi / SQLite", bench::Ratio(lookup[0], lookup[1]).c_str(), "",
         bench::Ratio(scan[0], scan[1]).c_str());
  printf("%-18s %12s %10s %15s\n", "kelisi / LMDB", bench::Ratio(lookup[0], lookup[2]).c_str(), "",
         bench::Ratio(scan[0], scan[2]).c_str());
  printf("\ntargets (rates)\n");
  bench::Target("lookups: kelisi / SQLite", lookup[0], lookup[1], kLookupVsSqlite);
  bench::Target("lookups: kelisi / LMDB", lookup[0], lookup[2], kLookupVsLmdb);
  bench::Target("full scan: kelisi / LMDB", scan[0], scan[2], kScanVsLmdb);
}

// Takes the program's own flags (see BenchmarkArguments).
bool OwnFlag(const char* a, uint64_t* records) {
  if (strncmp(a, "--records=", 10) == 0) {
    char* end = nullptr;
    unsigned long long n = strtoull(a + 10, &end, 10);
    if (*end != '\0' || n < 1 || n > 100000000) Die(std::string("bad ") + a);
    *records = n;
    return true;
  }
  if (strncmp(a, "--kelisi-cache=", 15) == 0) {
    char* end = nullptr;
    gKelisiCache = strtoull(a + 15, &end, 10);
    if (*end != '\0') Die(std::string("bad ") + a);
    return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t records = kDefaultRecords;
  bench::ProgramName() = "bm_lookup";
  std::string tools = bench::OwnDirectory(), repetitions;
  std::vector<char*> args =
      bench::BenchmarkArguments(argc, argv, kDefaultRepetitions, &tools, &repetitions,
                                [&records](const char* a) { return OwnFlag(a, &records); });
  int count = static_cast<int>(args.size()) - 1;
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

  for (const char* tool : {"gen_data", "kelindex"}) {
    if (access((tools + "/" + tool).c_str(), X_OK) != 0) {
      Die(tools + "/" + tool + " is missing; build it first, or give --tools=DIR");
    }
  }
  bench::MakeScratch();
  fprintf(stderr, "bm_lookup: making %s records and their index in %s ...\n",
          Thousands(records).c_str(), bench::ScratchDir().c_str());
  bench::RunTool({tools + "/gen_data", "-n", std::to_string(records), "-l", "99", "-k", "1-10", "-d",
           "random", "-s", "1", "-o", "data.txt"});
  bench::RunTool({tools + "/kelindex", "data.txt,data.isi", "-1-10"});
  LoadKeys(ScratchPath("data.txt"));
  for (uint64_t i = 0; i < gKeys.count; ++i) gKeyByteSum += gKeys.Key(i)[kKeyLength - 1];
  fprintf(stderr, "bm_lookup: loading SQLite and LMDB ...\n");
  SetUpKelisi(ScratchPath("data.isi"));
  SetUpSqlite();
  SetUpLmdb();
  // The data file is not read by any of the lookups: out of the page cache's way.
  unlink(ScratchPath("data.txt").c_str());
  Warm();

  for (Bench& b : gBenches) {
    benchmark::RegisterBenchmark(b.name, Measure, &b)
        ->Iterations(b.scan ? kScanPasses : kLookupPasses)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
  }
  bench::SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  PrintSummary(reporter, repetitions);
  TearDown();
  if (AnyFailed()) {
    fprintf(stderr, "bm_lookup: a system did not find every key (see above)\n");
    return 1;
  }
  return 0;
}
