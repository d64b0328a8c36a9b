// Changes in place at the edges of the format (a root split, a full head
// deleted-record sector moved out, a chain sector emptied and given back, the
// kept record of a key deleted under n0), each followed by another change of
// the same handle, crashed at every write and sync they make, with none,
// some or all of the unsynced writes reaching the disk: after recovery both
// files are byte for byte as before a change or as after it, never undone
// once it returned, and the index checks clean against its data; the next
// change begins beside whatever journal the crash left. And a shared
// reader scanning beside thousands of changes never fails and never loses a
// record that no change touches.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/journal.h"
#include "kelisi.h"
#include "kelisi/kelisi_internal.h"
#include "support/fault_env.h"
#include "support/model.h"
#include "support/power_loss_env.h"
#include "support/test_util.h"

namespace {

// 10 bytes: the key K0000 to K9999 and a word.
std::string Rec(int key, const char* word = "rec") {
  char buf[16];
  snprintf(buf, sizeof buf, "K%04d %-4.4s", key % 10000, word);
  return buf;
}

struct Scenario {
  const char* name;
  std::string options;  // before the key columns 1-5
  std::function<void(kt::Data&)> data;
  std::function<void(kelisi_txn*)> change;
  std::function<void(kelisi*, uint64_t sizeBefore)> shape;  // what the change left
};

void Insert(kelisi_txn* t, int from, int count) {
  for (int i = from; i < from + count; ++i) {
    std::string r = Rec(i * 7919);
    ASSERT_EQ(kelisi_txn_insert(t, r.data(), r.size(), nullptr), KELISI_OK) << i;
  }
}

void Deleted(kt::Data& d, int count) {
  for (int i = 0; i < count; ++i) d.Rec(Rec(i)).Deleted(11);
}

kelisi_stats Stats(kelisi* ix) {
  kelisi_stats s{};
  EXPECT_EQ(kelisi_get_stats(ix, &s), KELISI_OK);
  return s;
}

const Scenario kScenarios[] = {
    {"root split", "",
     [](kt::Data& d) {
       for (int i = 0; i < 20; ++i) d.Rec(Rec(i));
     },
     [](kelisi_txn* t) { Insert(t, 100, 300); },
     [](kelisi* ix, uint64_t) {
       kelisi_header h;
       kelisi_get_header(ix, &h);
       EXPECT_EQ(h.root_position, 2u);  // sector 2: byte 1024 under record numbers
       EXPECT_GE(Stats(ix).depth, 2u);
       EXPECT_EQ(Stats(ix).entries, 320u);
     }},
    {"full head moved out", "", [](kt::Data& d) { Deleted(d, 126); },
     [](kelisi_txn* t) { ASSERT_EQ(kelisi_txn_delete_at(t, 0), KELISI_OK); },
     [](kelisi* ix, uint64_t before) {
       kelisi_header h;
       kelisi_get_header(ix, &h);
       EXPECT_EQ(Stats(ix).ddr_sectors, 2u);
       EXPECT_EQ(h.deleted_count, 127u);
       EXPECT_EQ(h.file_size, before + 512);
       uint64_t newest = 1;
       size_t n = 0;
       EXPECT_EQ(kelisi_deleted(ix, &newest, 1, &n), KELISI_E_BUFFER);
       EXPECT_EQ(newest, 0u);
     }},
    {"chain sector emptied and given back", "", [](kt::Data& d) { Deleted(d, 130); },
     [](kelisi_txn* t) { Insert(t, 0, 131); },
     [](kelisi* ix, uint64_t before) {
       kelisi_header h;
       kelisi_get_header(ix, &h);
       EXPECT_EQ(h.ddr_head, KELISI_NO_SECTOR);
       EXPECT_EQ(h.deleted_count, 0u);
       EXPECT_EQ(Stats(ix).entries, 261u);
       EXPECT_LE(h.file_size, before + 512 * Stats(ix).key_sectors);
     }},
    {"kept record deleted under n0", "n0,",
     [](kt::Data& d) { d.Rec(Rec(5, "one")).Rec(Rec(6)).Rec(Rec(5, "two")).Rec(Rec(5, "tri")); },
     [](kelisi_txn* t) {
       ASSERT_EQ(kelisi_txn_delete_at(t, 0), KELISI_OK);
       ASSERT_EQ(kelisi_txn_delete_at(t, 22), KELISI_OK);
     },
     [](kelisi* ix, uint64_t) {
       kelisi_cursor* c;
       kelisi_entry e;
       ASSERT_EQ(kelisi_cursor_open(ix, &c), KELISI_OK);
       EXPECT_EQ(kelisi_find(c, "K0005", 5, &e), KELISI_OK);
       EXPECT_EQ(e.record_offset, 33u);  // the next record of the key took the entry
       kelisi_cursor_close(c);
     }},
};

// Runs the scenario's change on `env`, then another change of one insert
// on the same handle (its journal kept between them): how many returned.
int RunChange(const Scenario& s, const std::string& isi, const std::string& dat,
              const kel::Env* env) {
  kelisi* ix = nullptr;
  if (kisi::OpenHandle(isi.c_str(), dat.c_str(), KELISI_WRITE, env, &ix) != KELISI_OK) return 0;
  int done = 0;
  for (int k = 0; k < 2 && done == k; ++k) {
    kelisi_txn* t = nullptr;
    if (kelisi_txn_begin(ix, &t) != KELISI_OK) break;
    if (k == 0)
      s.change(t);
    else
      Insert(t, 5000, 1);
    done += kelisi_txn_commit(t) == KELISI_OK;
  }
  kelisi_close(ix);
  return done;
}

TEST(Update, EveryPowerLossLeavesAChangeWholeOrAbsent) {
  for (const Scenario& s : kScenarios) {
    kt::TempDir dir;
    kt::Data data;
    s.data(data);
    dir.write("d.txt", data.bytes());
    ASSERT_EQ(kt::RunKelindex({"d.txt,d.isi", "-" + s.options + "1-5"}, dir.path()).exitCode, 0);
    const std::string isi = dir.file("d.isi"), dat = dir.file("d.txt");
    const std::string oldIsi = dir.read("d.isi"), oldDat = dir.read("d.txt");
    auto lay = [&] {
      kt::WriteFileBytes(isi, oldIsi);
      kt::WriteFileBytes(dat, oldDat);
    };
    kt::PowerLossEnv env;
    env.Arm(0);
    kelisi* ix = nullptr;
    kelisi_txn* t = nullptr;
    // The files after the first change alone, and after both.
    std::vector<std::pair<std::string, std::string>> after = {{oldIsi, oldDat}};
    kisi::OpenHandle(isi.c_str(), dat.c_str(), KELISI_WRITE, kel::PosixEnv(), &ix);
    ASSERT_EQ(kelisi_txn_begin(ix, &t), KELISI_OK);
    s.change(t);
    ASSERT_EQ(kelisi_txn_commit(t), KELISI_OK);
    kelisi_close(ix);
    after.emplace_back(dir.read("d.isi"), dir.read("d.txt"));
    EXPECT_EQ(kt::FirstProblem(isi, dat), "") << s.name;
    ASSERT_EQ(kelisi_open(isi.c_str(), dat.c_str(), 0, &ix), KELISI_OK);
    s.shape(ix, oldIsi.size());
    kelisi_close(ix);
    lay();
    ASSERT_EQ(RunChange(s, isi, dat, &env), 2) << s.name;
    const uint64_t calls = env.Calls();
    EXPECT_GT(calls, 12u) << s.name;  // the journal, the writes in place, the syncs
    EXPECT_FALSE(dir.exists("d.isi-journal")) << s.name;
    after.emplace_back(dir.read("d.isi"), dir.read("d.txt"));
    for (uint64_t n = 1; n <= calls; ++n) {
      for (auto keep : kt::PowerLossEnv::kKeeps) {
        std::string where = std::string(s.name) + ": " + kt::PowerLossEnv::Where(n, calls, keep);
        lay();
        env.Arm(n);
        int done = RunChange(s, isi, dat, &env);
        env.Crash(keep, static_cast<uint32_t>(n));
        ASSERT_GE(JournalRecover(kel::PosixEnv(), isi.c_str()), 0) << where;
        std::pair<std::string, std::string> got(dir.read("d.isi"), dir.read("d.txt"));
        // Never half a change; never a change undone once it returned.
        bool whole = got == after[done] || (done < 2 && got == after[done + 1]);
        EXPECT_TRUE(whole) << where << ", " << done << " returned";
        if (!whole) return;
        // A journal the crash left holds no change, and the next change
        // begins beside it.
        char named[4097];
        EXPECT_EQ(JournalDataPath(kel::PosixEnv(), isi.c_str(), named, sizeof named), 0) << where;
        ASSERT_EQ(kelisi_open(isi.c_str(), dat.c_str(), KELISI_WRITE, &ix), KELISI_OK) << where;
        ASSERT_EQ(kelisi_txn_begin(ix, &t), KELISI_OK) << where;
        Insert(t, 6000, 1);
        EXPECT_EQ(kelisi_txn_commit(t), KELISI_OK) << where;
        kelisi_close(ix);
      }
    }
    EXPECT_EQ(kt::FirstProblem(isi, dat), "") << s.name;
  }
}

// One call failing in turn (a write, sync, open, read...) across three
// changes of one handle, its journal kept between them: a commit that
// returned stays, one that failed is there or not, and after the next open
// the index checks clean with no journal that holds a change. The handle's
// memory all goes back.
TEST(Update, EveryFailingCallOfKeptJournalChangesKeepsTheIndexWhole) {
  kt::TempDir dir;
  kt::Data data;
  for (int i = 0; i < 40; ++i) data.Rec(Rec(i));
  const std::string isi = dir.file("d.isi"), dat = dir.file("d.txt");
  kt::FaultEnv env;
  for (uint64_t k = 1;; ++k) {
    const std::string where = "call " + std::to_string(k) + " failing";
    dir.write("d.txt", data.bytes());
    unlink(isi.c_str());
    ASSERT_EQ(kt::RunKelindex({"d.txt,d.isi", "-1-5"}, dir.path()).exitCode, 0);
    env.SetPlan({kt::kFaultIo, k});
    kelisi* ix = nullptr;
    int ok = 0;
    if (kisi::OpenHandle(isi.c_str(), dat.c_str(), KELISI_WRITE, &env, &ix) == KELISI_OK) {
      for (int c = 0; c < 3; ++c) {
        kelisi_txn* t = nullptr;
        if (kelisi_txn_begin(ix, &t) != KELISI_OK) continue;
        std::string r = Rec(100 + c);
        kelisi_txn_insert(t, r.data(), r.size(), nullptr);  // a failure spoils the commit
        ok += kelisi_txn_commit(t) == KELISI_OK;
      }
      kelisi_close(ix);
    }
    EXPECT_EQ(env.LiveAllocations(), 0) << where;
    ASSERT_EQ(kelisi_open(isi.c_str(), dat.c_str(), KELISI_WRITE, &ix), KELISI_OK) << where;
    uint64_t entries = Stats(ix).entries;
    kelisi_close(ix);
    EXPECT_GE(entries, 40u + ok) << where;
    EXPECT_LE(entries, 43u) << where;
    EXPECT_EQ(kt::FirstProblem(isi, dat), "") << where;
    char named[4097];
    EXPECT_EQ(JournalDataPath(kel::PosixEnv(), isi.c_str(), named, sizeof named), 0) << where;
    if (!env.Fired()) {
      EXPECT_GT(k, 40u);  // the journal's, both files' calls, three times
      break;
    }
    if (HasFailure()) return;
  }
}

// A reader in shared mode scans while another handle inserts and deletes
// records of other keys, one durable change at a time: every scan succeeds
// and holds every record no change touches.
TEST(Update, ASharedReaderBesideThousandsOfChangesMissesNothing) {
  kt::TempDir dir;
  kt::Data data;
  for (int i = 0; i < 300; ++i) data.Rec(Rec(2 * i, "keep"));
  dir.write("d.txt", data.bytes());
  ASSERT_EQ(kt::RunKelindex({"d.txt,d.isi", "-1-5"}, dir.path()).exitCode, 0);
  const std::string isi = dir.file("d.isi"), dat = dir.file("d.txt");
  std::atomic<bool> done{false};
  std::atomic<int> scans{0}, failures{0};
  std::thread reader([&] {
    kelisi* ix = nullptr;
    if (kelisi_open(isi.c_str(), dat.c_str(), KELISI_SHARED, &ix) != KELISI_OK) {
      ++failures;
      return;
    }
    kelisi_cursor* c = nullptr;
    kelisi_cursor_open(ix, &c);
    while (!done) {
      int kept = 0, st;
      kelisi_entry e;
      for (st = kelisi_first(c, &e); st == KELISI_OK; st = kelisi_next(c, &e)) {
        kept += memcmp(e.key, "K", 1) == 0 && (e.key[4] - '0') % 2 == 0 &&
                e.record_offset < data.bytes().size();
      }
      if (st != KELISI_NOTFOUND || kept != 300) ++failures;
      ++scans;
    }
    kelisi_cursor_close(c);
    kelisi_close(ix);
  });
  kelisi* w = nullptr;
  ASSERT_EQ(kelisi_open(isi.c_str(), dat.c_str(), KELISI_WRITE, &w), KELISI_OK);
  std::vector<uint64_t> mine;
  for (int i = 0; i < 2000; ++i) {
    kelisi_txn* t = nullptr;
    ASSERT_EQ(kelisi_txn_begin(w, &t), KELISI_OK);
    if (i % 3 == 2 && !mine.empty()) {
      ASSERT_EQ(kelisi_txn_delete_at(t, mine.back()), KELISI_OK);
      mine.pop_back();
    } else {
      std::string r = Rec(2 * (i % 400) + 1, "new");
      kelisi_entry e;
      ASSERT_EQ(kelisi_txn_insert(t, r.data(), r.size(), &e), KELISI_OK);
      mine.push_back(e.record_offset);
    }
    ASSERT_EQ(kelisi_txn_commit(t), KELISI_OK);
  }
  kelisi_close(w);
  done = true;
  reader.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(scans.load(), 1);
  EXPECT_EQ(kt::FirstProblem(isi, dat), "") << "after the changes";
}

// Deleting by key takes a key as kelisi_find does: its first bytes, as the
// change sees the index (its own inserts included); what it cannot take is
// refused and leaves the change usable.
// Records of these keys in `data` in `dir`, indexed by kelindex on the
// key's columns into `isi` (beside the data unless it has a folder of its
// own); the data's bytes.
std::string Indexed(const kt::TempDir& dir, std::initializer_list<int> keys,
                    const std::string& data = "d.txt", const std::string& isi = "d.isi") {
  kt::Data d;
  for (int key : keys) d.Rec(Rec(key));
  dir.write(data, d.bytes());
  EXPECT_EQ(kt::RunKelindex({data + "," + isi, "-1-5"}, dir.path()).exitCode, 0);
  return d.bytes();
}

TEST(Update, DeletingByKeyTakesWhatFindTakes) {
  kt::TempDir dir;
  Indexed(dir, {1, 2, 2, 10});
  kelisi* ix = nullptr;
  kelisi_txn* t = nullptr;
  ASSERT_EQ(kelisi_open(dir.file("d.isi").c_str(), nullptr, KELISI_WRITE, &ix), KELISI_OK);
  ASSERT_EQ(kelisi_txn_begin(ix, &t), KELISI_OK);
  uint64_t n = 7;
  EXPECT_EQ(kelisi_txn_delete_key(nullptr, "K", 1, 0, &n), KELISI_E_ARG);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(kelisi_txn_delete_key(t, nullptr, 1, 0, &n), KELISI_E_ARG);
  EXPECT_EQ(kelisi_txn_delete_key(t, "K", 0, KELISI_PREFIX, &n), KELISI_E_ARG);
  EXPECT_EQ(kelisi_txn_delete_key(t, "K00010", 6, 0, &n), KELISI_E_ARG);
  EXPECT_EQ(kelisi_txn_delete_key(t, "K", 1, 2, &n), KELISI_E_ARG);
  EXPECT_EQ(kelisi_txn_delete_key(t, "K9", 2, 0, &n), KELISI_NOTFOUND);
  std::string r = Rec(3, "new");
  ASSERT_EQ(kelisi_txn_insert(t, r.data(), r.size(), nullptr), KELISI_OK);
  EXPECT_EQ(kelisi_txn_delete_key(t, "K0002", 5, 0, &n), KELISI_OK);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(kelisi_txn_delete_key(t, "K000", 4, KELISI_PREFIX, &n), KELISI_OK);
  EXPECT_EQ(n, 2u);  // K0001 and the change's own K0003
  ASSERT_EQ(kelisi_txn_commit(t), KELISI_OK);
  kelisi_close(ix);
  std::vector<kt::Entry> want = {{Rec(10).substr(0, 5), 33, 11, 0}};
  kt::Index got = kt::ReadIndex(dir.file("d.isi"), dir.file("d.txt"));
  EXPECT_EQ(kt::DiffEntries(got.entries, want), "");
  EXPECT_EQ(kt::FirstProblem(dir.file("d.isi"), dir.file("d.txt")), "");
}

// Opening for update takes the data file the index describes: a file the
// header's name leads to (as written, beside the index, by its last part
// beside it), the same file and not a copy; when none of those is there, a
// file of the same last name; never one shorter than the header's data.
TEST(Update, OpeningForUpdateTakesOnlyTheDataFileTheIndexDescribes) {
  kt::TempDir dir;
  const std::string data = Indexed(dir, {1, 2, 3}, "sub/d.txt", "sub/d.isi");
  dir.write("sub/copy.txt", data);
  dir.write("moved/d.isi", dir.read("sub/d.isi"));
  dir.write("elsewhere/d.txt", data);
  dir.write("elsewhere/x.txt", data);
  dir.write("short/d.isi", dir.read("sub/d.isi"));
  dir.write("short/d.txt", data.substr(0, 22));
  struct Case {
    const char* isi;
    const char* data;  // nullptr: the one the header names
    unsigned flags;
    int status;
  } cases[] = {
      {"sub/d.isi", "sub/d.txt", 0, KELISI_OK},
      {"sub/d.isi", nullptr, 0, KELISI_OK},
      {"sub/d.isi", "sub/copy.txt", 0, KELISI_E_DATA_OTHER},
      {"sub/d.isi", "sub/copy.txt", KELISI_DATA_ANYWAY, KELISI_OK},
      {"moved/d.isi", "elsewhere/d.txt", 0, KELISI_OK},  // no d.txt where the header leads
      {"moved/d.isi", "elsewhere/x.txt", 0, KELISI_E_DATA_OTHER},
      {"short/d.isi", nullptr, 0, KELISI_E_DATA_OTHER},
      {"short/d.isi", "short/d.txt", KELISI_DATA_ANYWAY, KELISI_OK},
  };
  for (const Case& c : cases) {
    std::string path = c.data != nullptr ? dir.file(c.data) : "";
    kelisi* ix = nullptr;
    int st = kelisi_open(dir.file(c.isi).c_str(), c.data != nullptr ? path.c_str() : nullptr,
                         KELISI_WRITE | c.flags, &ix);
    EXPECT_EQ(st, c.status) << c.isi << " " << (c.data ? c.data : "(header)");
    kelisi_close(ix);
    // Reading takes any file.
    ASSERT_EQ(kelisi_open(dir.file(c.isi).c_str(), c.data != nullptr ? path.c_str() : nullptr,
                          KELISI_HEADER_DATA, &ix),
              c.data == nullptr && std::string(c.isi) == "moved/d.isi" ? KELISI_E_DATA_OPEN
                                                                         : KELISI_OK);
    kelisi_close(ix);
  }
}

// A journal that cannot be made beside the index (its directory read-only)
// is told apart from a failing write of the files, and nothing changes.
TEST(Update, AJournalThatCannotBeMadeIsNamedAndChangesNothing) {
  kt::TempDir dir;
  const std::string data = Indexed(dir, {1, 2, 3});
  const std::string isi = dir.read("d.isi");
  kt::FaultEnv env;
  kelisi* ix = nullptr;
  kelisi_txn* t = nullptr;
  ASSERT_EQ(kisi::OpenHandle(dir.file("d.isi").c_str(), nullptr, KELISI_WRITE, &env, &ix),
            KELISI_OK);
  ASSERT_EQ(kelisi_txn_begin(ix, &t), KELISI_OK);
  std::string r = Rec(4);
  ASSERT_EQ(kelisi_txn_insert(t, r.data(), r.size(), nullptr), KELISI_OK);
  env.SetPlan({kt::kFaultOpen, 1, EACCES});  // the journal's creation
  EXPECT_EQ(kelisi_txn_commit(t), KELISI_E_JOURNAL_WRITE);
  EXPECT_TRUE(env.Fired());
  kelisi_close(ix);
  EXPECT_EQ(dir.read("d.isi"), isi);
  EXPECT_EQ(dir.read("d.txt"), data);
  EXPECT_FALSE(dir.exists("d.isi-journal"));
}

// A change counts the spin counter up and a compaction toggles it: after a
// change and a compaction a reader may find the value it last read, but the
// file's size and time tell it that the index was rewritten.
TEST(Update, ASharedReaderNoticesAChangeThatTheSpinCounterHides) {
  kt::TempDir dir;
  kt::Data data;
  for (int i = 0; i < 100; ++i) data.Rec(Rec(i));
  dir.write("d.txt", data.bytes());
  ASSERT_EQ(kt::RunKelindex({"d.txt,d.isi", "-1-5"}, dir.path()).exitCode, 0);
  const std::string isi = dir.file("d.isi"), dat = dir.file("d.txt");
  kelisi *r = nullptr, *w = nullptr;
  ASSERT_EQ(kelisi_open(isi.c_str(), dat.c_str(), KELISI_SHARED, &r), KELISI_OK);
  kelisi_cursor* c = nullptr;
  kelisi_entry e;
  ASSERT_EQ(kelisi_cursor_open(r, &c), KELISI_OK);
  ASSERT_EQ(kelisi_first(c, &e), KELISI_OK);
  kelisi_header h;
  kelisi_get_header(r, &h);
  ASSERT_EQ(kelisi_open(isi.c_str(), dat.c_str(), KELISI_WRITE, &w), KELISI_OK);
  kelisi_txn* t = nullptr;
  ASSERT_EQ(kelisi_txn_begin(w, &t), KELISI_OK);
  for (int i = 0; i < 60; ++i) ASSERT_EQ(kelisi_txn_delete_at(t, 11u * i), KELISI_OK);
  ASSERT_EQ(kelisi_txn_commit(t), KELISI_OK);
  kelisi_close(w);
  ASSERT_EQ(kt::RunKelindex({"d.isi", "-c"}, dir.path()).exitCode, 0);
  kelisi_header now;
  ASSERT_EQ(kelisi_get_header(r, &now), KELISI_OK);
  EXPECT_EQ(now.spin, h.spin);  // back where it was
  EXPECT_EQ(now.record_count, 40u);
  ASSERT_EQ(kelisi_first(c, &e), KELISI_OK);
  EXPECT_EQ(e.record_offset, 11u * 60);
  kelisi_cursor_close(c);
  kelisi_close(r);
}

}  // namespace
