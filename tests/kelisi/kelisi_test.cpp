// libkelisi against indexes that kelindex builds: a model of the entries
// for walks, searches, records and the deleted-record chain; the other byte
// order; crafted deep trees; damage; failing reads; and shared mode.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/isi_format.h"
#include "core/lock_protocol.h"
#include "kelisi.h"
#include "kelisi/kelisi_internal.h"
#include "support/crafted.h"
#include "support/fault_env.h"
#include "support/model.h"
#include "support/test_util.h"

namespace {

struct Ent {
  std::string key;
  uint64_t offset;
  bool operator<(const Ent& o) const { return key != o.key ? key < o.key : offset < o.offset; }
  bool operator==(const Ent& o) const { return key == o.key && offset == o.offset; }
};

struct Cfg {
  std::string opts;  // options before the key specification: u, n0, m50, v
  int first, last;   // key columns, 1-based; first > last runs backwards
  bool deleted;      // zero-filled records among the others
  bool swapped;      // the index turned into the other byte order
  bool has(char o) const { return opts.find(o) != std::string::npos; }
};

// Data built for one configuration, with the entries the index must hold.
struct Built {
  kt::TempDir dir;
  std::vector<Ent> model;
  std::vector<uint64_t> deleted;
  std::string isi() const { return dir.file("d.isi"); }
  std::string data() const { return dir.file("d.txt"); }
};

std::string ModelKey(const std::string& text, const Cfg& c) {
  std::string k;
  int step = c.first <= c.last ? 1 : -1;
  for (int col = c.first;; col += step) {
    char b = col - 1 < static_cast<int>(text.size()) ? text[col - 1] : ' ';
    k += c.has('u') ? static_cast<char>(toupper(static_cast<unsigned char>(b))) : b;
    if (col == c.last) return k;
  }
}

void Build(Built* b, const Cfg& c, int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string data;
  for (int i = 0; i < n; ++i) {
    size_t len = c.has('v') ? 3 + rng() % 18 : 20;
    if (c.deleted && rng() % 10 == 0) {
      b->deleted.push_back(data.size());
      data.append(21, '\0');
      continue;
    }
    std::string text;
    for (size_t j = 0; j < len; ++j) text += "abcAB "[rng() % (j < 3 ? 6 : 2)];
    b->model.push_back({ModelKey(text, c), data.size()});
    data += text + "\n";
  }
  std::sort(b->model.begin(), b->model.end());
  if (c.has('n')) {
    auto same = [](const Ent& a, const Ent& e) { return a.key == e.key; };
    b->model.erase(std::unique(b->model.begin(), b->model.end(), same), b->model.end());
  }
  b->dir.write("d.txt", data);
  std::string keys = "-" + c.opts + std::to_string(c.first) + "-" + std::to_string(c.last);
  ASSERT_EQ(kt::RunKelindex({"d.txt,d.isi", keys}, b->dir.path()).exitCode, 0);
}

Ent Of(const kelisi_entry& e) {
  return {std::string(reinterpret_cast<const char*>(e.key), e.key_length), e.record_offset};
}

std::vector<Ent> Walk(kelisi_cursor* c, bool forward, int* status) {
  std::vector<Ent> out;
  kelisi_entry e;
  int st = forward ? kelisi_first(c, &e) : kelisi_last(c, &e);
  for (; st == KELISI_OK; st = forward ? kelisi_next(c, &e) : kelisi_prev(c, &e)) {
    out.push_back(Of(e));
  }
  *status = st;
  return out;
}

struct Handle {
  kelisi* ix = nullptr;
  kelisi_cursor* c = nullptr;
  int st;
  Handle(const std::string& isi, const std::string& data, unsigned flags = 0,
         const kel::Env* env = kel::PosixEnv()) {
    st = kisi::OpenHandle(isi.c_str(), data.empty() ? nullptr : data.c_str(), flags, env, &ix);
    if (st == KELISI_OK) kelisi_cursor_open(ix, &c);
  }
  ~Handle() {
    kelisi_cursor_close(c);
    kelisi_close(ix);
  }
};

int Problems(kelisi* ix, unsigned flags, std::vector<int>* kinds = nullptr) {
  auto fn = [](void* ctx, const kelisi_problem* p) {
    if (ctx != nullptr) static_cast<std::vector<int>*>(ctx)->push_back(p->kind);
    return 0;
  };
  return kelisi_check(ix, flags, fn, kinds);
}

// Every search against the model: present keys, absent ones and prefixes.
void CheckSearches(kelisi_cursor* c, const std::vector<Ent>& m, std::mt19937& rng) {
  kelisi_entry e;
  for (int q = 0; q < 60; ++q) {
    std::string key = m[rng() % m.size()].key;
    if (q % 3 == 1) key[rng() % key.size()] = "aBz~ "[rng() % 5];
    size_t len = q % 3 == 2 ? 1 + rng() % key.size() : key.size();
    auto lo = std::find_if(m.begin(), m.end(),
                           [&](const Ent& x) { return x.key.compare(0, len, key, 0, len) >= 0; });
    int st = kelisi_seek(c, key.data(), len, &e);
    ASSERT_EQ(st, lo == m.end() ? KELISI_NOTFOUND : KELISI_OK);
    if (lo != m.end()) {
      EXPECT_TRUE(Of(e) == *lo);
    }
    bool hit = lo != m.end() && lo->key.compare(0, len, key, 0, len) == 0;
    st = kelisi_find(c, key.data(), len, &e);
    ASSERT_EQ(st, hit ? KELISI_OK : KELISI_NOTFOUND);
    for (auto it = lo; hit && st == KELISI_OK; st = kelisi_next_dup(c, &e)) {
      ASSERT_TRUE(it != m.end() && Of(e) == *it++);
      hit = it != m.end() && it->key.compare(0, len, key, 0, len) == 0;
    }
    EXPECT_EQ(st, KELISI_NOTFOUND);
  }
}

// Rewrites the index in the other byte order with the shared translators.
void ToOtherOrder(const Built& b) {
  std::string f = b.dir.read("d.isi"), orig = f;
  kt::ToOtherByteOrder(&f, !b.deleted.empty(), b.deleted.size() / 126);
  // Independent of the translators: fields reversed by hand.
  for (auto [at, width] : {std::pair{4, 2},
                           {10, 2},
                           {16, 4},
                           {44, 4},
                           {112, 2},
                           {114, 2},
                           {1024 + 508, 4},
                           {1536 + 504, 4}}) {
    std::string want = orig.substr(at, width);
    std::reverse(want.begin(), want.end());
    EXPECT_EQ(f.substr(at, width), want) << at;
  }
  b.dir.write("d.isi", f);
}

TEST(Kelisi, AgreesWithTheModel) {
  const Cfg cfgs[] = {
      {"", 1, 10, true, false},     {"u", 1, 6, true, false},    {"n0,", 1, 4, true, false},
      {"m50,", 2, 8, false, false}, {"v,", 1, 12, false, false}, {"", 10, 1, true, false},
      {"u,v,", 4, 1, false, true},  {"", 3, 9, true, true},
  };
  unsigned seed = 1;
  for (const Cfg& cfg : cfgs) {
    SCOPED_TRACE(cfg.opts + std::to_string(cfg.first) + "-" + std::to_string(cfg.last) +
                 (cfg.swapped ? " swapped" : ""));
    Built b;
    ASSERT_NO_FATAL_FAILURE(Build(&b, cfg, 3000, seed++));
    if (cfg.swapped) {
      ASSERT_NO_FATAL_FAILURE(ToOtherOrder(b));
    }
    kt::FaultEnv reads;  // counts the reads, fails none
    reads.SetPlan({kt::kFaultRead});
    Handle h(b.isi(), b.data(), 0, &reads);
    ASSERT_EQ(h.st, KELISI_OK);
    kelisi_header hd;
    ASSERT_EQ(kelisi_get_header(h.ix, &hd), KELISI_OK);
    EXPECT_EQ(hd.other_byte_order, cfg.swapped);
    int st;
    // The default (0: sized from the index, all of this small one), the
    // whole index by size, or a part of it: four sets of four sectors, one
    // set (scans read by blocks).
    for (uint32_t slots : {0u, 8192u, 16u, 4u}) {
      if (slots != 0) {
        // A cursor placed before the cache changes finds its place again:
        // its path may have pointed into the cache that is gone.
        kelisi_entry at;
        ASSERT_EQ(kelisi_first(h.c, &at), KELISI_OK);
        ASSERT_EQ(kelisi_set_cache_size(h.ix, slots * 512), KELISI_OK);
        ASSERT_EQ(kelisi_next(h.c, &at), KELISI_OK);
        EXPECT_TRUE(Of(at) == b.model[1]);
      }
      const bool whole = slots == 0 || slots >= h.ix->fileSectors;
      EXPECT_TRUE(Walk(h.c, true, &st) == b.model);
      EXPECT_EQ(st, KELISI_NOTFOUND);
      // A second walk reads the file again exactly when neither the cache nor
      // the read-ahead block holds it.
      uint64_t before = reads.Calls();
      Walk(h.c, true, &st);
      if (whole || h.ix->fileSectors > kisi::SectorCache::kAheadSectors) {
        EXPECT_EQ(reads.Calls() == before, whole) << h.ix->fileSectors;
      }
      // Blocks of sectors a read, not one by one.
      EXPECT_LE(reads.Calls() - before, h.ix->fileSectors / 4);
      std::vector<Ent> back = Walk(h.c, false, &st);
      std::reverse(back.begin(), back.end());
      EXPECT_TRUE(back == b.model);
      std::mt19937 rng(seed);
      ASSERT_NO_FATAL_FAILURE(CheckSearches(h.c, b.model, rng));
    }
    // Records read back carry their keys.
    kelisi_entry e;
    unsigned char rec[64], key[150];
    size_t len;
    for (st = kelisi_first(h.c, &e); st == KELISI_OK; st = kelisi_next(h.c, &e)) {
      ASSERT_EQ(kelisi_read_record(h.ix, &e, rec, sizeof rec, &len), KELISI_OK);
      ASSERT_EQ(len, e.record_size);
      ASSERT_EQ(kelisi_record_key(h.ix, rec, len, key), KELISI_OK);
      ASSERT_EQ(memcmp(key, e.key, e.key_length), 0);
      // Too small a buffer: the size it needs.
      len = 0;
      ASSERT_EQ(kelisi_read_record(h.ix, &e, rec, e.record_size - 1, &len), KELISI_E_BUFFER);
      ASSERT_EQ(len, e.record_size);
    }
    std::vector<uint64_t> del(b.deleted.size() + 1);
    size_t n = 0;
    ASSERT_EQ(kelisi_deleted(h.ix, del.data(), del.size(), &n), KELISI_OK);
    del.resize(n);
    std::sort(del.begin(), del.end());
    EXPECT_EQ(del, b.deleted);
    kelisi_stats s;
    ASSERT_EQ(kelisi_get_stats(h.ix, &s), KELISI_OK);
    EXPECT_EQ(s.entries, b.model.size());
    EXPECT_EQ(Problems(h.ix, KELISI_CHECK_RECORDS), 0);
  }
}

// A handle left at its defaults keeps the whole of a small index and an
// eighth of a large one, within fixed bounds.
TEST(Kelisi, DefaultCacheHoldsASmallIndexAndAShareOfALargeOne) {
  using C = kisi::SectorCache;
  const struct {
    uint64_t fileSectors;
    uint32_t slots;
  } rows[] = {
      {1, C::kWholeSlots},
      {C::kWholeSlots, C::kWholeSlots},
      {uint64_t{C::kWholeSlots} * 16 - 1, C::kWholeSlots},
      {uint64_t{C::kWholeSlots} * 16, C::kWholeSlots * 2},
      {uint64_t{1} << 40, C::kShareSlots},
  };
  for (const auto& r : rows) EXPECT_EQ(C::DefaultSlots(r.fileSectors), r.slots) << r.fileSectors;
}

// The check's own findings on a sound tree: the header's counts, a sector
// left over, records that changed in the data. (Damage and the tree's
// shapes are the agreement table's, tests/isi.)
TEST(Kelisi, CheckNamesCountsRecordsAndLeftovers) {
  Built b;
  ASSERT_NO_FATAL_FAILURE(Build(&b, {"", 1, 10, true, false}, 3000, 4));
  const std::string isi = b.dir.read("d.isi"), data = b.dir.read("d.txt");
  const size_t live = b.model[0].offset, dead = b.deleted[0];
  struct Problem {
    const char* what;
    std::vector<int> kinds;
    std::function<void(std::string* isi, std::string* data)> patch;
  };
  const Problem table[] = {
      {"record count", {KELISI_P_HEADER}, [](auto* f, auto*) { (*f)[44] ^= 1; }},
      {"free sector", {KELISI_P_FREE}, [](auto* f, auto*) { f->append(512, '\0'); }},
      {"deleted count", {KELISI_P_DDR}, [](auto* f, auto*) { (*f)[48] ^= 1; }},
      {"record key", {KELISI_P_RECORD}, [&](auto*, auto* d) { (*d)[live] = '~'; }},
      {"record deleted",
       {KELISI_P_RECORD},
       [&](auto*, auto* d) { d->replace(live, 21, 21, '\0'); }},
      // A build reads the zeros up to the x as a deleted record that breaks
      // off, and the rest, up to the next record's end, as one record.
      {"deleted record",
       {KELISI_P_DELETED, KELISI_P_DATA_FORM, KELISI_P_NO_ENTRY, KELISI_P_RECORD},
       [&](auto*, auto* d) { (*d)[dead + 3] = 'x'; }},
      {"deleted record at the data's end",
       {KELISI_P_DELETED},
       [&](auto* f, auto* d) { kt::Put32(f, 1536, static_cast<uint32_t>(d->size() / 21)); }},
  };
  for (const Problem& p : table) {
    SCOPED_TRACE(p.what);
    std::string f = isi, g = data;
    p.patch(&f, &g);
    b.dir.write("d.isi", f);
    b.dir.write("d.txt", g);
    Handle h(b.isi(), b.data());
    ASSERT_EQ(h.st, KELISI_OK);
    std::vector<int> kinds;
    EXPECT_EQ(Problems(h.ix, KELISI_CHECK_RECORDS, &kinds), static_cast<int>(p.kinds.size()));
    EXPECT_EQ(kinds, p.kinds);
  }
}

// Each system call of an open, lookups, walks both ways, the chain and a
// check with the records fails in turn: the failure comes back as a status.
TEST(Kelisi, EveryFailingCallIsReported) {
  Built b;
  ASSERT_NO_FATAL_FAILURE(Build(&b, {"", 1, 10, true, false}, 3000, 6));
  kt::FaultEnv env;
  for (uint64_t k = 1;; ++k) {
    SCOPED_TRACE(k);
    env.SetPlan({kt::kFaultIo, k});
    kelisi* ix = nullptr;
    int worst = kisi::OpenHandle(b.isi().c_str(), b.data().c_str(), 0, &env, &ix);
    if (worst != KELISI_OK) {
      // The cache's memory is mapped at the open too.
      EXPECT_TRUE(worst == KELISI_E_OPEN || worst == KELISI_E_READ || worst == KELISI_E_DATA_OPEN ||
                  worst == KELISI_E_NOMEM);
      continue;
    }
    kelisi_cursor* c;
    ASSERT_EQ(kelisi_cursor_open(ix, &c), KELISI_OK);
    for (size_t i = 0; i < b.model.size(); i += 97) {
      worst = std::min(worst, kelisi_find(c, b.model[i].key.data(), 10, nullptr));
    }
    int fwd, back;
    Walk(c, true, &fwd);
    Walk(c, false, &back);
    size_t n;
    int del = kelisi_deleted(ix, nullptr, 0, &n);
    int check = Problems(ix, KELISI_CHECK_RECORDS);
    worst = std::min({worst, fwd, back, del == KELISI_E_BUFFER ? 0 : del, check});
    kelisi_cursor_close(c);
    uint64_t calls = env.Calls();
    kelisi_close(ix);
    if (k >= calls) {  // only the closes were left to fail
      EXPECT_GT(k, 20u);
      break;
    }
    EXPECT_TRUE(worst == KELISI_E_READ || worst == KELISI_E_DATA_READ) << worst;
  }
  // In shared mode the locks are calls too: the data file's lock refused,
  // the open fails; the index's lock is asked for again after a failure,
  // and granted, the open succeeds.
  for (uint64_t k : {1, 2, 0}) {
    env.SetPlan({kt::kFaultLock, k});
    kelisi* ix = nullptr;
    EXPECT_EQ(kisi::OpenHandle(b.isi().c_str(), b.data().c_str(), KELISI_SHARED, &env, &ix),
              k == 1 ? KELISI_E_LOCK : KELISI_OK)
        << k;
    kelisi_close(ix);
  }
}

TEST(Kelisi, SharedModeWaitsForTheRewriteAndRestarts) {
  Built b;
  ASSERT_NO_FATAL_FAILURE(Build(&b, {"", 1, 10, false, false}, 3000, 8));
  ASSERT_EQ(kt::RunKelindex({"d.txt,m.isi", "-m50,1-10"}, b.dir.path()).exitCode, 0);
  std::string rewritten = b.dir.read("m.isi");  // the same entries in other sectors
  kt::Put32(&rewritten, 32, 1);
  Handle h(b.isi(), b.data(), KELISI_SHARED);
  ASSERT_EQ(h.st, KELISI_OK);
  kelisi_entry e;
  ASSERT_EQ(kelisi_first(h.c, &e), KELISI_OK);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(kelisi_next(h.c, &e), KELISI_OK);
  // An in-place compaction: the exclusive ISI lock, and a new file under it.
  pid_t holder = kt::HoldLock(b.data(), F_WRLCK, kIsiLockPos, kIsiLockLen, 0.3);
  kt::WriteFileBytes(b.isi(), rewritten);
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(kelisi_next(h.c, &e), KELISI_OK);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(250));
  kelisi_header hd;
  ASSERT_EQ(kelisi_get_header(h.ix, &hd), KELISI_OK);
  EXPECT_EQ(hd.spin, 1u);
  std::vector<Ent> rest = {Of(e)};
  while (kelisi_next(h.c, &e) == KELISI_OK) rest.push_back(Of(e));
  EXPECT_TRUE(rest == std::vector<Ent>(b.model.begin() + 1001, b.model.end()));
  int status;
  ASSERT_EQ(waitpid(holder, &status, 0), holder);
  EXPECT_EQ(status, 0);
}

}  // namespace

namespace {

// A build takes no lock: a reader beside one, in shared mode too, is told
// that the index has no header yet, and reads it once the build is done.
// The build (kelindex_fi) stops before its second write, with the front
// written as zero bytes and the tree and the header not yet, until the
// test lets it go on.
TEST(Kelisi, AReaderBesideABuildIsToldTheIndexIsBeingBuilt) {
  kt::TempDir dir;
  dir.write("d.txt", kt::RandomData(300, 20, 5).bytes());
  ASSERT_EQ(kt::RunKelindex({"d.txt,d.isi", "-1-8"}, dir.path()).exitCode, 0);
  const std::string isi = dir.file("d.isi"), dat = dir.file("d.txt");
  kelisi* before = nullptr;
  ASSERT_EQ(kelisi_open(isi.c_str(), dat.c_str(), KELISI_SHARED, &before), KELISI_OK);
  ASSERT_EQ(mkfifo(dir.file("reached").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(dir.file("go").c_str(), 0600), 0);
  kt::RunOptions opts;
  opts.cwd = dir.path();
  opts.faultBinary = true;
  opts.env = {{"KELINDEX_PAUSE", "2:" + dir.path()}};
  pid_t build = kt::StartKelindex({"d.txt,d.isi", "-1-8"}, opts);
  ASSERT_GT(build, 0);
  close(open(dir.file("reached").c_str(), O_RDONLY));  // the build has stopped
  EXPECT_EQ(dir.read("d.isi"), std::string(kIsiFrontSize, '\0'));
  kelisi* ix = nullptr;
  EXPECT_EQ(kelisi_open(isi.c_str(), nullptr, 0, &ix), KELISI_E_BUILDING);
  EXPECT_EQ(kelisi_open(isi.c_str(), dat.c_str(), KELISI_SHARED, &ix), KELISI_E_BUILDING);
  kelisi_header h;
  EXPECT_EQ(kelisi_get_header(before, &h), KELISI_E_BUILDING);
  kt::RunResult r = kt::RunKelisi({"find", "d.isi", "A", "--prefix"}, dir.path());
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err,
            "kelisi: d.isi has no header yet: kelindex is building it, or its build did not "
            "finish\n");
  close(open(dir.file("go").c_str(), O_WRONLY));  // and goes on
  int status = -1;
  ASSERT_EQ(waitpid(build, &status, 0), build);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(kelisi_get_header(before, &h), KELISI_OK);
  EXPECT_EQ(h.record_count, 300u);
  kelisi_close(before);
  EXPECT_EQ(kt::FirstProblem(isi, dat), "");
}

}  // namespace
