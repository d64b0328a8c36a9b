// Changes in place through libkelisi against the same keys in SQLite and in
// LMDB: 100,000 random inserts in one change (one transaction), and 1,000
// single-record changes each made durable before the next begins.
//
// Each system starts from the same 1,000 records (random 10-byte keys, each
// with its record's byte offset) and receives the same new keys in the same
// order. libkelisi writes each record (27 bytes and LF) to the data file
// and its key to an index built by kelindex over the first 1,000 records;
// SQLite inserts (key, offset) into a table with the index on (key, offset)
// that bm_lookup reads, with a prepared INSERT; LMDB puts key -> offset.
// The batch: one change / one transaction / one write transaction, not
// synced by SQLite (synchronous=OFF, no journal) or LMDB (MDB_NOSYNC) but
// synced by libkelisi, whose commit always is. The durable singles: every
// commit synced, SQLite with synchronous=FULL and its rollback journal
// (journal_mode=DELETE), LMDB with its default durable commits.
//
//   bm_update [--tools=DIR] [--repetitions=N]
//
// Each benchmark runs N times (3) on fresh files, the systems in turn; the
// medians and the ratios (kelisi's rate over its peer's) are printed, with
// the targets: the batch and the durable singles at least as fast as
// SQLite. Every run is checked: kelisi check must find the index
// consistent with its data, and every system must hold every key.
#include <lmdb.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kelisi.h"

namespace {

constexpr int kBase = 1000, kBatch = 100000, kSingles = 1000;
constexpr size_t kRecord = 27;  // without the LF; the key is its first 10 bytes
constexpr double kBatchVsSqlite = 1.0, kSinglesVsSqlite = 1.0;

[[noreturn]] void Die(const std::string& what) {
  fprintf(stderr, "bm_update: %s\n", what.c_str());
  exit(1);
}

std::vector<std::string> Records(int n, uint32_t seed) {
  std::mt19937 rng(seed);
  const char digits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::vector<std::string> out(static_cast<size_t>(n));
  for (std::string& r : out) {
    r.resize(kRecord, ' ');
    for (size_t i = 0; i < 10; ++i) r[i] = digits[rng() % 36];
    memcpy(&r[11], "payload", 7);
  }
  return out;
}

void Run(const std::vector<std::string>& args) {
  fflush(stdout);  // the child must not write what this process buffered
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (freopen("/dev/null", "w", stdout) == nullptr) _exit(127);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int st = 0;
  if (pid < 0 || waitpid(pid, &st, 0) != pid || !WIFEXITED(st) || WEXITSTATUS(st) != 0) {
    Die(args[0] + " " + args[1] + " failed");
  }
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

struct Setup {
  std::string tools, dir;
  std::vector<std::string> base, added;
};

// ---- libkelisi ------------------------------------------------------------

double Kelisi(const Setup& s, int n, bool singles) {
  std::string data = s.dir + "/k.txt", isi = s.dir + "/k.isi";
  FILE* f = fopen(data.c_str(), "w");
  if (f == nullptr) Die("cannot write " + data);
  for (const std::string& r : s.base) fprintf(f, "%s\n", r.c_str());
  fclose(f);
  Run({s.tools + "/kelindex", data + "," + isi, "-1-10"});
  kelisi* ix = nullptr;
  if (kelisi_open(isi.c_str(), data.c_str(), KELISI_WRITE, &ix) != KELISI_OK) Die("kelisi_open");
  auto t0 = std::chrono::steady_clock::now();
  kelisi_txn* t = nullptr;
  for (int i = 0; i < n; ++i) {
    if (t == nullptr && kelisi_txn_begin(ix, &t) != KELISI_OK) Die("kelisi_txn_begin");
    const std::string& r = s.added[static_cast<size_t>(i)];
    if (kelisi_txn_insert(t, r.data(), r.size(), nullptr) != KELISI_OK) Die("kelisi_txn_insert");
    if (singles || i + 1 == n) {
      int st = kelisi_txn_commit(t);
      if (st != KELISI_OK) Die(std::string("kelisi_txn_commit: ") + kelisi_strerror(st));
      t = nullptr;
    }
  }
  double secs = Seconds(t0);
  kelisi_close(ix);
  Run({s.tools + "/kelisi", "check", isi, data});
  return secs;
}

// ---- SQLite ----------------------------------------------------------------

void SqliteExec(sqlite3* db, const char* sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) Die(std::string("SQLite: ") + err);
}

double Sqlite(const Setup& s, int n, bool singles) {
  std::string path = s.dir + "/s.db";
  unlink(path.c_str());
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) Die("sqlite3_open");
  SqliteExec(db, singles ? "PRAGMA journal_mode=DELETE" : "PRAGMA journal_mode=OFF");
  SqliteExec(db, singles ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=OFF");
  SqliteExec(db, "CREATE TABLE t(k BLOB NOT NULL, off INTEGER NOT NULL)");
  SqliteExec(db, "CREATE INDEX t_k ON t(k, off)");
  sqlite3_stmt* ins = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO t VALUES(?, ?)", -1, &ins, nullptr);
  auto put = [&](const std::string& r, int64_t off) {
    sqlite3_bind_blob(ins, 1, r.data(), 10, SQLITE_STATIC);
    sqlite3_bind_int64(ins, 2, off);
    if (sqlite3_step(ins) != SQLITE_DONE) Die("SQLite insert");
    sqlite3_reset(ins);
  };
  SqliteExec(db, "BEGIN");
  for (size_t i = 0; i < s.base.size(); ++i) put(s.base[i], static_cast<int64_t>(i * 28));
  SqliteExec(db, "COMMIT");
  int64_t end = static_cast<int64_t>(s.base.size() * 28);
  auto t0 = std::chrono::steady_clock::now();
  if (!singles) SqliteExec(db, "BEGIN");
  for (int i = 0; i < n; ++i) put(s.added[static_cast<size_t>(i)], end + 28 * i);
  if (!singles) SqliteExec(db, "COMMIT");
  double secs = Seconds(t0);
  sqlite3_finalize(ins);
  sqlite3_stmt* count = nullptr;
  sqlite3_prepare_v2(db, "SELECT count(*) FROM t", -1, &count, nullptr);
  if (sqlite3_step(count) != SQLITE_ROW ||
      sqlite3_column_int64(count, 0) != static_cast<int64_t>(s.base.size()) + n) {
    Die("SQLite lost a row");
  }
  sqlite3_finalize(count);
  sqlite3_close(db);
  return secs;
}

// ---- LMDB --------------------------------------------------------------------

void LmdbCheck(int rc, const char* what) {
  if (rc != MDB_SUCCESS) Die(std::string("LMDB: ") + what + ": " + mdb_strerror(rc));
}

double Lmdb(const Setup& s, int n, bool singles) {
  std::string path = s.dir + "/l.mdb";
  unlink(path.c_str());
  unlink((path + "-lock").c_str());
  MDB_env* env = nullptr;
  LmdbCheck(mdb_env_create(&env), "mdb_env_create");
  LmdbCheck(mdb_env_set_mapsize(env, size_t{1} << 30), "mdb_env_set_mapsize");
  LmdbCheck(mdb_env_open(env, path.c_str(), MDB_NOSUBDIR | (singles ? 0 : MDB_NOSYNC), 0644),
            "mdb_env_open");
  MDB_dbi dbi = 0;
  MDB_txn* txn = nullptr;
  auto put = [&](const std::string& r, uint64_t off) {
    MDB_val k{10, const_cast<char*>(r.data())}, v{sizeof off, &off};
    LmdbCheck(mdb_put(txn, dbi, &k, &v, 0), "mdb_put");
  };
  LmdbCheck(mdb_txn_begin(env, nullptr, 0, &txn), "mdb_txn_begin");
  LmdbCheck(mdb_dbi_open(txn, nullptr, MDB_DUPSORT, &dbi), "mdb_dbi_open");
  for (size_t i = 0; i < s.base.size(); ++i) put(s.base[i], i * 28);
  LmdbCheck(mdb_txn_commit(txn), "mdb_txn_commit");
  uint64_t end = s.base.size() * 28;
  auto t0 = std::chrono::steady_clock::now();
  txn = nullptr;
  for (int i = 0; i < n; ++i) {
    if (txn == nullptr) LmdbCheck(mdb_txn_begin(env, nullptr, 0, &txn), "mdb_txn_begin");
    put(s.added[static_cast<size_t>(i)], end + 28 * static_cast<uint64_t>(i));
    if (singles || i + 1 == n) {
      LmdbCheck(mdb_txn_commit(txn), "mdb_txn_commit");
      txn = nullptr;
    }
  }
  double secs = Seconds(t0);
  MDB_stat st;
  LmdbCheck(mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn), "mdb_txn_begin");
  LmdbCheck(mdb_stat(txn, dbi, &st), "mdb_stat");
  mdb_txn_abort(txn);
  if (st.ms_entries != s.base.size() + static_cast<size_t>(n)) Die("LMDB lost an entry");
  mdb_env_close(env);
  return secs;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  Setup s;
  int reps = 3;
  std::string self = argv[0];
  s.tools = self.find('/') == std::string::npos ? "." : self.substr(0, self.rfind('/'));
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a.rfind("--tools=", 0) == 0) {
      s.tools = a.substr(8);
    } else if (a.rfind("--repetitions=", 0) == 0) {
      reps = std::max(1, atoi(a.c_str() + 14));
    } else {
      Die("unknown argument " + a + " (bm_update [--tools=DIR] [--repetitions=N])");
    }
  }
  char tmpl[] = "/tmp/bm_update.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) Die("mkdtemp");
  s.dir = tmpl;
  s.base = Records(kBase, 1);
  s.added = Records(kBatch, 2);
  struct Bench {
    const char* name;
    int n;
    bool singles;
    double target;
  } benches[] = {{"100,000 inserts in one change", kBatch, false, kBatchVsSqlite},
                 {"1,000 durable single inserts", kSingles, true, kSinglesVsSqlite}};
  int failed = 0;
  for (const Bench& b : benches) {
    std::vector<double> k, q, l;
    for (int r = 0; r < reps; ++r) {
      k.push_back(Kelisi(s, b.n, b.singles));
      q.push_back(Sqlite(s, b.n, b.singles));
      l.push_back(Lmdb(s, b.n, b.singles));
    }
    double mk = Median(k), mq = Median(q), ml = Median(l);
    bool met = mq / mk >= b.target;
    failed += !met;
    printf("%s: kelisi %.3f s (%.1f us each), SQLite %.3f s, LMDB %.3f s; "
           "kelisi/SQLite %.2fx (target %.1fx: %s), kelisi/LMDB %.2fx\n",
           b.name, mk, mk * 1e6 / b.n, mq, ml, mq / mk, b.target, met ? "met" : "MISSED", ml / mk);
  }
  std::string rm = "rm -rf " + s.dir;
  if (system(rm.c_str()) != 0) fprintf(stderr, "bm_update: cannot remove %s\n", s.dir.c_str());
  return failed == 0 ? 0 : 2;
}
