// What must hold for changes over several indexes of one data file: random
// inserts and deletes through sets of two and three indexes of different
// definitions (key columns, u, n0, n$, a selection; with a deleted-record
// list and without), some changes abandoned. After every change each index
// is what `kelindex ISI -r` makes of a copy of it, and its check against
// the data is clean.
#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kelisi.h"
#include "support/index_set.h"
#include "support/model.h"
#include "support/test_util.h"

namespace {

constexpr int kLen = 8;  // record length; records are fixed-length lines

// Index definitions, as kelindex's options: the first three keep a
// deleted-record list, the others are append-only (w, or a selection).
const std::vector<std::string> kDefinitions = {
    "-1-3", "-u,n0,4-6", "-n$,3-2", "-w,2-4", "-p1=a,5-7", "-u,p=\"1='a'|2='b'\",6-8",
};

std::string Body() {
  return *rc::gen::container<std::string>(kLen, rc::gen::elementOf(std::string("aabcAB")));
}

// The live records' offsets, read from the data file itself.
std::vector<uint64_t> LiveOffsets(const std::string& bytes) {
  std::vector<uint64_t> live;
  for (uint64_t at = 0; at + kLen + 1 <= bytes.size(); at += kLen + 1) {
    if (bytes[at] != '\0') live.push_back(at);
  }
  return live;
}

RC_GTEST_PROP(IndexSet, EveryIndexEqualsItsRebuildAfterEveryChange, ()) {
  size_t n = *rc::gen::inRange<size_t>(2, 4);
  // n different definitions, each drawn from those not taken yet.
  std::vector<size_t> left(kDefinitions.size()), defs;
  for (size_t k = 0; k < left.size(); ++k) left[k] = k;
  while (defs.size() < n) {
    size_t i = *rc::gen::inRange<size_t>(0, left.size());
    defs.push_back(left[i]);
    left.erase(left.begin() + static_cast<long>(i));
  }
  RC_TAG(n);
  kt::TempDir dir;
  kt::Data data;
  int records = *rc::gen::inRange(1, 60);
  for (int i = 0; i < records; ++i) {
    if (i > 0 && *rc::gen::inRange(0, 5) == 0) data.Deleted(kLen + 1);
    std::string body = Body();
    if (i == 0) body = "ab" + body.substr(2);  // every selection takes the first record
    data.Rec(body);
  }
  dir.write("d.txt", data.bytes());
  std::vector<std::string> isis;
  std::vector<kelisi*> ixs;
  for (size_t k = 0; k < n; ++k) {
    isis.push_back("i" + std::to_string(k) + ".isi");
    RC_ASSERT(kt::RunKelindex({"d.txt," + isis[k], kDefinitions[defs[k]]}, dir.path()).exitCode ==
              0);
  }
  for (size_t k = 0; k < n; ++k) {
    kelisi* ix = nullptr;
    RC_ASSERT(kelisi_open(dir.file(isis[k]).c_str(), dir.file("d.txt").c_str(), KELISI_WRITE,
                          &ix) == KELISI_OK);
    ixs.push_back(ix);
  }
  int changes = *rc::gen::inRange(1, 6);
  for (int c = 0; c < changes; ++c) {
    std::string before = dir.read("d.txt");
    std::vector<uint64_t> live = LiveOffsets(before);
    kelisi_txn* t = nullptr;
    RC_ASSERT(kelisi_txn_begin_set(ixs.data(), n, &t) == KELISI_OK);
    int ops = *rc::gen::element(1, 4, 30);
    bool spoiled = false, keysGone = false;
    for (int i = 0; i < ops && !spoiled; ++i) {
      int what = *rc::gen::inRange(0, 100);
      if (what < 55) {
        std::string body = Body();
        kelisi_entry e;
        int st = kelisi_txn_insert(t, body.data(), body.size(), &e);
        if (st == KELISI_E_DUPLICATE) {
          spoiled = true;
          break;
        }
        RC_ASSERT(st == KELISI_OK || st == KELISI_NO_ENTRY);
        RC_ASSERT(e.record_offset % (kLen + 1) == 0);
        for (size_t k = 0; k < n; ++k) {
          kelisi_entry ek;
          int sk = kelisi_txn_entry(t, k, &ek);
          RC_ASSERT(sk == KELISI_OK || sk == KELISI_NO_ENTRY);
          if (k == 0) RC_ASSERT(sk == st);
          if (sk == KELISI_OK) RC_ASSERT(ek.record_offset == e.record_offset);
        }
        live.push_back(e.record_offset);
      } else if (what < 90 && !live.empty() && !keysGone) {
        size_t i = *rc::gen::inRange<size_t>(0, live.size());
        int st = kelisi_txn_delete_at(t, live[i]);
        RC_ASSERT(st == KELISI_OK || st == KELISI_NOTFOUND);
        if (st == KELISI_OK) live.erase(live.begin() + static_cast<long>(i));
      } else {
        std::string key(1, *rc::gen::elementOf(std::string("abcAB")));
        uint64_t deleted = 0;
        int st = kelisi_txn_delete_key(t, key.data(), 1, KELISI_PREFIX, &deleted);
        RC_ASSERT(st == (deleted == 0 ? KELISI_NOTFOUND : KELISI_OK));
        keysGone = true;  // which records went is the rebuild's to judge
      }
    }
    if (spoiled || *rc::gen::inRange(0, 5) == 0) {
      RC_ASSERT(kelisi_txn_abort(t) == KELISI_OK);
      RC_ASSERT(dir.read("d.txt") == before);
    } else {
      RC_ASSERT(kelisi_txn_commit(t) == KELISI_OK);
    }
    std::string diff = kt::SetRebuildDiff(dir, isis, "d.txt");
    if (!diff.empty()) RC_FAIL(diff);
  }
  for (kelisi* ix : ixs) kelisi_close(ix);
  // The set's journal goes with its change.
  RC_ASSERT(!dir.exists("d.txt-journal"));
}

}  // namespace
