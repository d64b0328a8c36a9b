// Changes over several indexes of one data file: power lost at every
// mutating call of a change over three indexes, after which an opener of
// any one of them (the library, or kelindex) finds every file as before
// the change or as after it; a shared reader of one index beside many such
// changes, whose every check against the data is clean; a set that adds
// nothing to what its first index alone would do writes the same bytes;
// and the sets refused.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "core/journal.h"
#include "kelisi.h"
#include "kelisi/kelisi_internal.h"
#include "support/index_set.h"
#include "support/model.h"
#include "support/power_loss_env.h"
#include "support/test_util.h"

namespace {

// 10 bytes: a key K0000 to K9999 and a word.
std::string Rec(int key, const char* word = "rec") {
  char buf[16];
  snprintf(buf, sizeof buf, "K%04d %-4.4s", key % 10000, word);
  return buf;
}

struct Files {
  std::vector<std::string> isis;
  std::vector<std::string> Names() const {
    std::vector<std::string> all = isis;
    all.push_back("d.txt");
    return all;
  }
};

// The data file and one index per definition of `defs`, "i0.isi" on.
Files Build(const kt::TempDir& dir, const std::vector<std::string>& defs, int records) {
  kt::Data data;
  for (int i = 0; i < records; ++i) {
    if (i % 7 == 3) data.Deleted(11);
    data.Rec(Rec(i * 37 % 100, i % 3 == 0 ? "a" : "b"));
  }
  dir.write("d.txt", data.bytes());
  Files f;
  for (size_t k = 0; k < defs.size(); ++k) {
    f.isis.push_back("i" + std::to_string(k) + ".isi");
    EXPECT_EQ(kt::RunKelindex({"d.txt," + f.isis[k], defs[k]}, dir.path()).exitCode, 0);
  }
  return f;
}

std::vector<std::string> Contents(const kt::TempDir& dir, const Files& f) {
  std::vector<std::string> all;
  for (const std::string& name : f.Names()) all.push_back(dir.read(name));
  return all;
}

void Lay(const kt::TempDir& dir, const Files& f, const std::vector<std::string>& contents) {
  std::vector<std::string> names = f.Names();
  for (size_t k = 0; k < names.size(); ++k) dir.write(names[k], contents[k]);
}

// One change over every index of `f` through handles on `env`: inserts
// (into deleted places where every index keeps a list), deletes at
// offsets, by key and of a kept n0 record; then a second change of one
// insert through the same handles (the journal kept between them). How
// many commits returned OK.
int RunSetChange(const kt::TempDir& dir, const Files& f, const kel::Env* env, int changes = 2) {
  std::vector<kelisi*> ixs;
  bool ok = true;
  for (const std::string& isi : f.isis) {
    kelisi* ix = nullptr;
    ok = ok && kisi::OpenHandle(dir.file(isi).c_str(), dir.file("d.txt").c_str(), KELISI_WRITE, env,
                                &ix) == KELISI_OK;
    if (ix != nullptr) ixs.push_back(ix);
  }
  int done = 0;
  for (int c = 0; c < changes && ok && done == c; ++c) {
    kelisi_txn* t = nullptr;
    if (kelisi_txn_begin_set(ixs.data(), ixs.size(), &t) != KELISI_OK) break;
    for (int i = 0; i < (c == 0 ? 4 : 1); ++i) {
      std::string r = Rec(200 + c * 50 + i * 3, i % 2 ? "a" : "b");
      kelisi_txn_insert(t, r.data(), r.size(), nullptr);
    }
    if (c == 0) {
      kelisi_txn_delete_at(t, 0);
      kelisi_txn_delete_at(t, 11 * 5);
      kelisi_txn_delete_key(t, "K0074", 5, 0, nullptr);
    }
    done += kelisi_txn_commit(t) == KELISI_OK;
  }
  for (kelisi* ix : ixs) kelisi_close(ix);
  return done;
}

// Power lost at every mutating call of a change over three indexes, with
// none, some or all of the unsynced writes on the disk: whoever opens one
// of the indexes next (the library without a data path, kelindex -i or
// -r) rolls back all four files or finds the whole change, never undone
// once it returned, and leaves no journal that holds a change.
TEST(IndexSet, EveryPowerLossLeavesAllFourFilesBeforeOrAfter) {
  const std::vector<std::vector<std::string>> sets = {
      {"-1-5", "-u,n0,7-10", "-6-6,1-2"},  // every index keeps a list: places reused
      {"-1-5", "-w,2-5", "-p7=a,1-3"},     // append-only indexes: records appended
  };
  for (const auto& defs : sets) {
    kt::TempDir dir;
    Files f = Build(dir, defs, 40);
    // The files before the changes, after the first, after both.
    std::vector<std::vector<std::string>> states = {Contents(dir, f)};
    kt::PowerLossEnv env;
    env.Arm(0);
    ASSERT_EQ(RunSetChange(dir, f, &env), 2);
    const uint64_t calls = env.Calls();
    EXPECT_GT(calls, 24u);
    EXPECT_FALSE(dir.exists("d.txt-journal"));
    ASSERT_EQ(kt::SetRebuildDiff(dir, f.isis, "d.txt"), "");
    states.push_back({});
    states.push_back(Contents(dir, f));
    // The first change alone.
    Lay(dir, f, states[0]);
    ASSERT_EQ(RunSetChange(dir, f, kel::PosixEnv(), 1), 1);
    states[1] = Contents(dir, f);
    ASSERT_NE(states[1], states[0]);
    ASSERT_NE(states[1], states[2]);
    for (uint64_t n = 1; n <= calls; ++n) {
      for (auto keep : kt::PowerLossEnv::kKeeps) {
        std::string where = defs[1] + ": " + kt::PowerLossEnv::Where(n, calls, keep);
        Lay(dir, f, states[0]);
        env.Arm(n);
        int done = RunSetChange(dir, f, &env);
        env.Crash(keep, static_cast<uint32_t>(n));
        const std::string& isi = f.isis[n % 3];
        if (n % 4 == 3) {
          kt::RunResult r = kt::RunKelindex({isi, n % 8 == 3 ? "-i" : "-r"}, dir.path());
          ASSERT_EQ(r.exitCode, 0) << where << r.out << r.err;
          if (n % 8 != 3) continue;  // a rebuild has its own bytes
        } else {
          kelisi* ix = nullptr;
          ASSERT_EQ(kelisi_open(dir.file(isi).c_str(), nullptr, 0, &ix), KELISI_OK) << where;
          kelisi_close(ix);
        }
        // Never one file ahead of another; never a change undone once it
        // returned.
        std::vector<std::string> got = Contents(dir, f);
        bool whole = got == states[done] || (done < 2 && got == states[done + 1]);
        EXPECT_TRUE(whole) << where << ", " << done << " returned";
        char named[4097];
        ASSERT_EQ(JournalLockPath(kel::PosixEnv(), dir.file("d.txt-journal").c_str(), named,
                                  sizeof named),
                  0)
            << where;
        if (!whole) return;
      }
    }
    // A change begins beside whatever journal the last crash left.
    Lay(dir, f, states[0]);
    ASSERT_EQ(RunSetChange(dir, f, kel::PosixEnv()), 2);
    EXPECT_EQ(Contents(dir, f), states[2]);
    EXPECT_FALSE(dir.exists("d.txt-journal"));
  }
}

// A reader in shared mode checks one index against the data, again and
// again, while changes over all three indexes insert and delete: every
// check is clean (no record without its entry, no entry without its
// record), and the changes leave every index equal to its rebuild.
TEST(IndexSet, ASharedReaderOfOneIndexSeesEveryChangeWhole) {
  kt::TempDir dir;
  Files f = Build(dir, {"-1-5", "-u,n0,7-10", "-w,2-5"}, 60);
  std::atomic<bool> done{false};
  std::atomic<int> checks{0}, failures{0};
  std::string failure;
  std::thread reader([&] {
    kelisi* ix = nullptr;
    if (kelisi_open(dir.file("i1.isi").c_str(), dir.file("d.txt").c_str(), KELISI_SHARED, &ix) !=
        KELISI_OK) {
      ++failures;
      return;
    }
    while (!done) {
      kelisi_check_counts counts;
      int problems = kelisi_check_with_counts(ix, KELISI_CHECK_RECORDS | KELISI_CHECK_ALLOW_FREE,
                                              nullptr, nullptr, &counts);
      if (problems != 0 || !counts.data_compared) ++failures;
      ++checks;
      std::this_thread::yield();  // the changes get the lock between checks
    }
    kelisi_close(ix);
  });
  std::vector<kelisi*> ixs(3);
  for (size_t k = 0; k < 3; ++k) {
    ASSERT_EQ(
        kelisi_open(dir.file(f.isis[k]).c_str(), dir.file("d.txt").c_str(), KELISI_WRITE, &ixs[k]),
        KELISI_OK);
  }
  std::vector<uint64_t> mine;
  for (int i = 0; i < 120; ++i) {
    kelisi_txn* t = nullptr;
    ASSERT_EQ(kelisi_txn_begin_set(ixs.data(), 3, &t), KELISI_OK);
    if (i % 3 == 2 && !mine.empty()) {
      ASSERT_EQ(kelisi_txn_delete_at(t, mine.back()), KELISI_OK);
      mine.pop_back();
    } else {
      std::string r = Rec(i % 150, "new");
      kelisi_entry e;
      ASSERT_EQ(kelisi_txn_insert(t, r.data(), r.size(), &e), KELISI_OK);
      mine.push_back(e.record_offset);
    }
    ASSERT_EQ(kelisi_txn_commit(t), KELISI_OK);
  }
  for (kelisi* ix : ixs) kelisi_close(ix);
  done = true;
  reader.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(checks.load(), 1);
  EXPECT_EQ(kt::SetRebuildDiff(dir, f.isis, "d.txt"), "");
}

// A set of one is a change of its index, and a set whose other index
// takes the same places (it keeps a list too) leaves the data file and
// the first index byte for byte as a change of the first alone.
TEST(IndexSet, ASetWritesWhatAChangeOfItsFirstIndexWrites) {
  auto change = [](kelisi_txn* t) {
    for (int i = 0; i < 6; ++i) {
      std::string r = Rec(300 + i);
      ASSERT_GE(kelisi_txn_insert(t, r.data(), r.size(), nullptr), 0);
    }
    ASSERT_EQ(kelisi_txn_delete_at(t, 22), KELISI_OK);
    ASSERT_EQ(kelisi_txn_delete_key(t, "K03", 3, KELISI_PREFIX, nullptr), KELISI_OK);
  };
  std::vector<std::vector<std::string>> results;
  for (int way = 0; way < 3; ++way) {
    kt::TempDir dir;
    Files f = Build(dir, {"-1-5", "-u,7-10"}, 30);
    std::vector<kelisi*> ixs(way == 2 ? 2 : 1);
    for (size_t k = 0; k < ixs.size(); ++k) {
      ASSERT_EQ(kelisi_open(dir.file(f.isis[k]).c_str(), dir.file("d.txt").c_str(), KELISI_WRITE,
                            &ixs[k]),
                KELISI_OK);
    }
    kelisi_txn* t = nullptr;
    ASSERT_EQ(
        way == 0 ? kelisi_txn_begin(ixs[0], &t) : kelisi_txn_begin_set(ixs.data(), ixs.size(), &t),
        KELISI_OK);
    change(t);
    ASSERT_EQ(kelisi_txn_commit(t), KELISI_OK);
    for (kelisi* ix : ixs) kelisi_close(ix);
    results.push_back({dir.read("d.txt"), dir.read("i0.isi")});
    if (way == 2) {
      EXPECT_EQ(kt::SetRebuildDiff(dir, f.isis, "d.txt"), "");
    }
  }
  EXPECT_EQ(results[1], results[0]);
  EXPECT_EQ(results[2], results[0]);
}

// What a set refuses: indexes over another data file, one index twice,
// a handle with a change open, a handle not opened for update.
TEST(IndexSet, SetsOfOtherFilesOrTheSameIndexTwiceAreRefused) {
  kt::TempDir dir;
  Files f = Build(dir, {"-1-5", "-7-10"}, 10);
  dir.write("e.txt", dir.read("d.txt"));
  ASSERT_EQ(kt::RunKelindex({"e.txt,e.isi", "-1-5"}, dir.path()).exitCode, 0);
  kelisi *a = nullptr, *b = nullptr, *e = nullptr, *a2 = nullptr, *ro = nullptr;
  ASSERT_EQ(kelisi_open(dir.file("i0.isi").c_str(), nullptr, KELISI_WRITE, &a), KELISI_OK);
  ASSERT_EQ(kelisi_open(dir.file("i1.isi").c_str(), nullptr, KELISI_WRITE, &b), KELISI_OK);
  ASSERT_EQ(kelisi_open(dir.file("e.isi").c_str(), nullptr, KELISI_WRITE, &e), KELISI_OK);
  ASSERT_EQ(kelisi_open(dir.file("i0.isi").c_str(), nullptr, KELISI_WRITE, &a2), KELISI_OK);
  ASSERT_EQ(kelisi_open(dir.file("i1.isi").c_str(), nullptr, KELISI_HEADER_DATA, &ro), KELISI_OK);
  kelisi_txn* t = nullptr;
  kelisi* other[] = {a, e};
  EXPECT_EQ(kelisi_txn_begin_set(other, 2, &t), KELISI_E_DATA_OTHER);
  kelisi* twice[] = {a, a2};
  EXPECT_EQ(kelisi_txn_begin_set(twice, 2, &t), KELISI_E_ARG);
  kelisi* readOnly[] = {a, ro};
  EXPECT_EQ(kelisi_txn_begin_set(readOnly, 2, &t), KELISI_E_READONLY);
  kelisi* good[] = {b, a};
  ASSERT_EQ(kelisi_txn_begin_set(good, 2, &t), KELISI_OK);
  kelisi_txn* u = nullptr;
  EXPECT_EQ(kelisi_txn_begin(a, &u), KELISI_E_BUSY);
  kelisi_entry en;
  EXPECT_EQ(kelisi_txn_entry(t, 0, &en), KELISI_E_ARG);  // before any insert
  std::string r = Rec(77);
  EXPECT_EQ(kelisi_txn_insert(t, r.data(), r.size(), &en), KELISI_OK);
  EXPECT_EQ(kelisi_txn_entry(t, 2, &en), KELISI_E_ARG);
  EXPECT_EQ(kelisi_txn_entry(t, 1, &en), KELISI_OK);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(en.key), en.key_length), "K0077");
  EXPECT_EQ(kelisi_txn_commit(t), KELISI_OK);
  EXPECT_EQ(kelisi_txn_begin(a, &u), KELISI_OK);
  kelisi_txn_abort(u);
  for (kelisi* ix : {a, b, e, a2, ro}) kelisi_close(ix);
  EXPECT_EQ(kt::SetRebuildDiff(dir, f.isis, "d.txt"), "");
}

// Under n in one index of a set, a key that index holds already spoils
// the whole change, though the other index would take the record: no file
// changes.
TEST(IndexSet, ADuplicateInOneIndexSpoilsTheWholeChange) {
  kt::TempDir dir;
  Files f = Build(dir, {"-1-5", "-n,7-10,1-5"}, 10);
  const std::vector<std::string> before = Contents(dir, f);
  std::vector<kelisi*> ixs(2);
  for (size_t k = 0; k < 2; ++k) {
    ASSERT_EQ(kelisi_open(dir.file(f.isis[k]).c_str(), nullptr, KELISI_WRITE, &ixs[k]), KELISI_OK);
  }
  kelisi_txn* t = nullptr;
  ASSERT_EQ(kelisi_txn_begin_set(ixs.data(), 2, &t), KELISI_OK);
  std::string fresh = Rec(99, "new"), again = Rec(0, "a");  // the first record's key and word
  EXPECT_EQ(kelisi_txn_insert(t, fresh.data(), fresh.size(), nullptr), KELISI_OK);
  EXPECT_EQ(kelisi_txn_insert(t, again.data(), again.size(), nullptr), KELISI_E_DUPLICATE);
  EXPECT_EQ(kelisi_txn_insert(t, fresh.data(), fresh.size(), nullptr), KELISI_E_DUPLICATE);
  EXPECT_EQ(kelisi_txn_commit(t), KELISI_E_DUPLICATE);
  for (kelisi* ix : ixs) kelisi_close(ix);
  EXPECT_EQ(Contents(dir, f), before);
}

}  // namespace
