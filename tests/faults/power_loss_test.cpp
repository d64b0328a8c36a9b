// A power loss at any write or sync of an in-place compaction, with none,
// some or all of the writes not yet synced reaching the disk: the next
// program that opens the index finds it as it was or as the compaction made
// it, never half rewritten, and the check passes. Every opener rolls an
// interrupted change back first; one that may not write refuses the index.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/journal.h"
#include "kelisi.h"
#include "kelisi/kelisi_internal.h"
#include "support/model.h"
#include "support/power_loss_env.h"
#include "support/test_util.h"

namespace {

TEST(PowerLoss, InPlaceCompactionLeavesTheOldIndexOrTheNew) {
  // Every third record deleted: a deleted-record chain that the compaction
  // rewrites too.
  const kt::Data data = kt::RandomData(600, 40, 7, 3);
  kt::TempDir dir;
  dir.write("d.txt", data.bytes());
  ASSERT_EQ(kt::RunKelindex({"d.txt,d.isi", "-1-40"}, dir.path()).exitCode, 0);
  const std::string before = dir.read("d.isi");
  // The backup and the journal hold the index's bytes: no one else may read
  // them when no one else may read the index.
  ASSERT_EQ(chmod(dir.file("d.isi").c_str(), 0600), 0);
  // The work files that a compaction cut short leaves behind stay in the
  // test's own folder.
  ASSERT_EQ(mkdir(dir.file("tmp").c_str(), 0700), 0);
  struct WorkFolder {
    explicit WorkFolder(const std::string& path) { setenv("TMPDIR", path.c_str(), 1); }
    ~WorkFolder() { unsetenv("TMPDIR"); }
  } work(dir.file("tmp"));
  kt::PowerLossEnv env;
  env.Arm(0);
  ASSERT_EQ(kt::RunInProcess({"d.isi", "-c"}, dir.path(), &env), 0);
  const uint64_t calls = env.Calls();
  const std::string after = dir.read("d.isi");
  ASSERT_NE(after, before);
  int old = 0, compacted = 0;
  for (uint64_t n = 1; n <= calls && !HasFailure(); ++n) {
    for (auto keep : kt::PowerLossEnv::kKeeps) {
      const std::string where = kt::PowerLossEnv::Where(n, calls, keep) + ": ";
      dir.write("d.isi", before);
      unlink(dir.file("d.isi.bak").c_str());
      env.Arm(n);
      kt::RunInProcess({"d.isi", "-c"}, dir.path(), &env);
      for (const char* copy : {"d.isi.bak", "d.isi-journal"}) {
        struct stat st;
        EXPECT_TRUE(stat(dir.file(copy).c_str(), &st) != 0 || (st.st_mode & 077) == 0)
            << where << copy;
      }
      env.Crash(keep, static_cast<uint32_t>(n));
      // The next program to open the index: kelindex showing its information.
      EXPECT_EQ(kt::RunInProcess({"d.isi", "-i"}, dir.path(), &env), 0) << where;
      const std::string got = dir.read("d.isi");
      EXPECT_TRUE(got == before || got == after) << where << "half rewritten";
      old += got == before;
      compacted += got == after;
      EXPECT_EQ(kt::FirstProblem(dir.file("d.isi"), dir.file("d.txt")), "") << where;
      // A journal cut short before its first sync may stay: it holds nothing.
      char named[4097];
      EXPECT_EQ(JournalDataPath(kel::PosixEnv(), dir.file("d.isi").c_str(), named, sizeof named), 0)
          << where;
    }
  }
  EXPECT_GT(old, 0);
  EXPECT_GT(compacted, 0);
}

// The operating system, except that nothing opens for writing.
kel::Env ReadOnlyEnv() {
  kel::Env env = *kel::PosixEnv();
  env.openFile = [](const kel::Env* e, const char* path, int flags, mode_t mode) {
    if ((flags & O_ACCMODE) != O_RDONLY) {
      errno = EACCES;
      return -1;
    }
    return kel::PosixEnv()->openFile(e, path, flags, mode);
  };
  return env;
}

// An index over 50 records, and a change to it cut short after its journal
// was synced, the root written over and records appended to the data file.
struct Crashed {
  kt::TempDir dir;
  std::string isi0, dat0;
  void Lay() {
    ASSERT_NO_FATAL_FAILURE(Build());
    ASSERT_NO_FATAL_FAILURE(Interrupt());
  }
  void Build() {
    dat0 = kt::RandomData(50, 40, 5).bytes();
    dir.write("d.txt", dat0);
    ASSERT_EQ(kt::RunKelindex({"d.txt,d.isi", "-1-40"}, dir.path()).exitCode, 0);
    isi0 = dir.read("d.isi");
  }
  void Interrupt() {
    const std::string isi = dir.file("d.isi"), dat = dir.file("d.txt");
    int ifd = open(isi.c_str(), O_RDWR), dfd = open(dat.c_str(), O_RDWR | O_APPEND);
    Journal* j = nullptr;
    ASSERT_EQ(JournalBegin(kel::PosixEnv(), isi.c_str(), ifd, dat.c_str(), dfd, &j), 0);
    const std::string now = dir.read("d.isi");
    ASSERT_EQ(JournalSave(j, kJournalIndex, 1024, now.data() + 1024, 512), 0);
    ASSERT_EQ(JournalSync(j), 0);
    ASSERT_EQ(pwrite(ifd, std::string(512, 'x').data(), 512, 1024), 512);
    ASSERT_EQ(write(dfd, "APPENDED BY THE CHANGE\n", 23), 23);
    JournalRelease(j);
    close(ifd);
    close(dfd);
  }
  // Both files as before the change, and no journal.
  void ExpectRolledBack(const std::string& where) const {
    EXPECT_EQ(dir.read("d.txt"), dat0) << where;
    EXPECT_FALSE(dir.exists("d.isi-journal")) << where;
    EXPECT_EQ(kt::FirstProblem(dir.file("d.isi"), dir.file("d.txt")), "") << where;
  }
};

TEST(Recovery, EveryKelindexJobRollsAnInterruptedChangeBackFirst) {
  const std::vector<std::vector<std::string>> jobs = {
      {"d.isi", "-i"}, {"d.isi", "-r"}, {"d.isi", "-c"}, {"d.txt,d.isi", "-1-40"}};
  for (const auto& job : jobs) {
    Crashed c;
    ASSERT_NO_FATAL_FAILURE(c.Lay());
    EXPECT_EQ(kt::RunInProcess(job, c.dir.path()), 0) << job[1];
    c.ExpectRolledBack(job[1]);
  }
}

// kelisi, whichever command opens the index first, and kelindex say in one
// text that they rolled an interrupted change back.
TEST(Recovery, KelisiAndKelindexReportARollbackInOneText) {
  const std::string said = "Recovered interrupted change from journal d.isi-journal\n";
  Crashed c;
  ASSERT_NO_FATAL_FAILURE(c.Lay());
  kt::RunResult r = kt::RunKelisi({"count", "d.isi"}, c.dir.path());
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.err, "kelisi: " + said);
  c.ExpectRolledBack("kelisi count");
  ASSERT_NO_FATAL_FAILURE(c.Lay());
  r = kt::RunKelindex({"d.isi", "-i"}, c.dir.path());
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find("\n" + said), std::string::npos) << r.out;
  c.ExpectRolledBack("kelindex -i");
}

// An opener that may not write refuses an index whose journal holds a
// change, and leaves both; one that may rolls the change back. A journal
// that holds none (empty, or invalidated and kept by a write handle between
// its changes) is nothing to recover: every opener, with or without the
// right to write, opens the index as it is, kelindex says nothing of it,
// and the write handle goes on changing the index.
TEST(Recovery, OnlyAJournalThatHoldsAChangeIsRefusedOrRolledBack) {
  Crashed c;
  ASSERT_NO_FATAL_FAILURE(c.Lay());
  const std::string isi = c.dir.file("d.isi"), dat = c.dir.file("d.txt");
  const kel::Env readOnly = ReadOnlyEnv();
  kelisi* ix = nullptr;
  EXPECT_EQ(kisi::OpenHandle(isi.c_str(), dat.c_str(), 0, &readOnly, &ix), KELISI_E_JOURNAL);
  EXPECT_EQ(ix, nullptr);
  EXPECT_TRUE(c.dir.exists("d.isi-journal"));
  ASSERT_EQ(kelisi_open(isi.c_str(), dat.c_str(), 0, &ix), KELISI_OK);
  kelisi_close(ix);
  EXPECT_EQ(c.dir.read("d.isi"), c.isi0);
  c.ExpectRolledBack("kelisi_open");
  kelisi* writer = nullptr;
  ASSERT_EQ(kelisi_open(isi.c_str(), dat.c_str(), KELISI_WRITE, &writer), KELISI_OK);
  for (int round = 0; round < 3; ++round) {
    const std::string where = "round " + std::to_string(round);
    if (round == 0) c.dir.write("d.isi-journal", "");
    if (round > 0) {  // the writer's journal, kept invalidated
      kelisi_txn* t = nullptr;
      ASSERT_EQ(kelisi_txn_begin(writer, &t), KELISI_OK);
      std::string r = kt::RandomData(1, 40, 100 + round).bytes();
      ASSERT_EQ(kelisi_txn_insert(t, r.data(), r.size() - 1, nullptr), KELISI_OK);
      ASSERT_EQ(kelisi_txn_commit(t), KELISI_OK);
    }
    ASSERT_TRUE(c.dir.exists("d.isi-journal")) << where;
    const std::string isiNow = c.dir.read("d.isi"), datNow = c.dir.read("d.txt");
    kelisi* ix = nullptr;
    EXPECT_EQ(kisi::OpenHandle(isi.c_str(), dat.c_str(), 0, &readOnly, &ix), KELISI_OK) << where;
    kelisi_close(ix);
    ASSERT_EQ(kelisi_open(isi.c_str(), dat.c_str(), KELISI_WRITE, &ix), KELISI_OK) << where;
    kelisi_close(ix);
    std::string said;
    EXPECT_EQ(kt::RunInProcess({"d.isi", "-i"}, c.dir.path(), nullptr, &said), 0) << where;
    EXPECT_EQ(said.find("journal"), std::string::npos) << where << said;
    EXPECT_EQ(c.dir.read("d.isi"), isiNow) << where;
    EXPECT_EQ(c.dir.read("d.txt"), datNow) << where;
    EXPECT_EQ(kt::FirstProblem(isi, dat), "") << where;
  }
  EXPECT_EQ(kelisi_close(writer), KELISI_OK);
  EXPECT_FALSE(c.dir.exists("d.isi-journal"));
}

// Another program crashes in the middle of a change while a write handle
// is open: the handle's next change rolls that one back first, then makes
// its own.
TEST(Recovery, AChangeFirstRollsBackOneAnotherProgramLeft) {
  Crashed c;
  ASSERT_NO_FATAL_FAILURE(c.Build());
  const std::string isi = c.dir.file("d.isi"), dat = c.dir.file("d.txt");
  kelisi* writer = nullptr;
  ASSERT_EQ(kelisi_open(isi.c_str(), dat.c_str(), KELISI_WRITE, &writer), KELISI_OK);
  // The first change leaves the handle's journal kept, the crashed program
  // takes it over, the second change finds it holding that program's change.
  std::string added;
  for (int k = 0; k < 2; ++k) {
    if (k == 1) {
      ASSERT_NO_FATAL_FAILURE(c.Interrupt());
    }
    kelisi_txn* t = nullptr;
    ASSERT_EQ(kelisi_txn_begin(writer, &t), KELISI_OK);
    const std::string r = kt::RandomData(1, 40, 77 + k).bytes();
    ASSERT_EQ(kelisi_txn_insert(t, r.data(), r.size() - 1, nullptr), KELISI_OK);
    ASSERT_EQ(kelisi_txn_commit(t), KELISI_OK);
    added += r;
  }
  EXPECT_EQ(kelisi_close(writer), KELISI_OK);
  EXPECT_EQ(c.dir.read("d.txt"), c.dat0 + added);
  EXPECT_FALSE(c.dir.exists("d.isi-journal"));
  EXPECT_EQ(kt::FirstProblem(isi, dat), "");
}

}  // namespace
