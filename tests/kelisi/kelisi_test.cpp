// libkelisi against indexes that kelindex builds: a model of the entries
// for walks, searches, records and the deleted-record chain; the other byte
// order; crafted deep trees; damage; failing reads; and shared mode.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "isi/isi_format.h"
#include "isi/isi_xlat.h"
#include "kelisi.h"
#include "kelisi/kelisi_internal.h"
#include "support/test_util.h"

namespace {

struct Ent {
  std::string key;
  uint64_t offset;
  bool operator<(const Ent& o) const { return key != o.key ? key < o.key : offset < o.offset; }
  bool operator==(const Ent& o) const { return key == o.key && offset == o.offset; }
};

struct Cfg {
  const char* opts;  // options before the key specification
  int first, last;   // key columns, 1-based; first > last runs backwards
  bool varLen, upper, noDups, deleted;
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
    k += c.upper ? static_cast<char>(toupper(static_cast<unsigned char>(b))) : b;
    if (col == c.last) return k;
  }
}

void Kelindex(const Built& b, const std::string& opts) {
  kt::RunOptions ro;
  ro.cwd = b.dir.path();
  kt::RunResult r = kt::RunKelindex({"d.txt,d.isi", opts}, ro);
  ASSERT_EQ(r.exitCode, 0) << r.out;
}

void Build(Built* b, const Cfg& c, int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string data;
  for (int i = 0; i < n; ++i) {
    size_t len = c.varLen ? 3 + rng() % 18 : 20;
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
  if (c.noDups) {
    auto same = [](const Ent& a, const Ent& e) { return a.key == e.key; };
    b->model.erase(std::unique(b->model.begin(), b->model.end(), same), b->model.end());
  }
  b->dir.write("d.txt", data);
  Kelindex(*b, std::string("-") + c.opts + std::to_string(c.first) + "-" + std::to_string(c.last));
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
  Handle(const std::string& isi, const std::string& data, unsigned flags = 0) {
    st = kelisi_open(isi.c_str(), data.empty() ? nullptr : data.c_str(), flags, &ix);
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
    auto lo = std::find_if(m.begin(), m.end(), [&](const Ent& x) {
      return x.key.compare(0, len, key, 0, len) >= 0;
    });
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

TEST(Kelisi, AgreesWithTheModel) {
  const Cfg cfgs[] = {
      {"", 1, 10, false, false, false, true},      {"u", 1, 6, false, true, false, true},
      {"n0,", 1, 4, false, false, true, true},     {"m50,", 2, 8, false, false, false, false},
      {"v,", 1, 12, true, false, false, false},    {"", 10, 1, false, false, false, true},
      {"u,v,", 4, 1, true, true, false, false},
  };
  unsigned seed = 1;
  for (const Cfg& cfg : cfgs) {
    SCOPED_TRACE(std::string(cfg.opts) + std::to_string(cfg.first) + "-" + std::to_string(cfg.last));
    Built b;
    ASSERT_NO_FATAL_FAILURE(Build(&b, cfg, 3000, seed++));
    Handle h(b.isi(), b.data());
    ASSERT_EQ(h.st, KELISI_OK);
    int st;
    EXPECT_TRUE(Walk(h.c, true, &st) == b.model);
    EXPECT_EQ(st, KELISI_NOTFOUND);
    std::vector<Ent> back = Walk(h.c, false, &st);
    std::reverse(back.begin(), back.end());
    EXPECT_TRUE(back == b.model);
    std::mt19937 rng(seed);
    ASSERT_NO_FATAL_FAILURE(CheckSearches(h.c, b.model, rng));
    // Records read back carry their keys.
    kelisi_entry e;
    unsigned char rec[64], key[150];
    size_t len;
    for (st = kelisi_first(h.c, &e); st == KELISI_OK; st = kelisi_next(h.c, &e)) {
      ASSERT_EQ(kelisi_read_record(h.ix, &e, rec, sizeof rec, &len), KELISI_OK);
      ASSERT_EQ(kelisi_record_key(h.ix, rec, len, key), KELISI_OK);
      ASSERT_EQ(memcmp(key, e.key, e.key_length), 0);
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

}  // namespace
