// The rollback journal: a change to an index and its data file (regions
// saved, written over in place, both files grown) that loses power at any
// of its writes and syncs, with none, some or all of the unsynced writes
// reaching the disk, is found after recovery either whole or not at all,
// byte for byte. The journal is never readable by more users than the
// index, and belongs to the index's owner.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>

#include "isi/journal.h"
#include "support/power_loss_env.h"
#include "support/test_util.h"

namespace {

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

struct Write {
  JournalFile file;
  uint64_t offset;
  uint32_t len;  // bytes from the change's new contents at offset
};

// The change: two rounds of saves and writes in place (the second one
// saving a region that overlaps the first), appends to both files, and a
// large region split into several records.
const std::vector<std::vector<Write>> kRounds = {
    {{kJournalIndex, 1024, 512}, {kJournalIndex, 4096, 1024}, {kJournalData, 100, 200},
     {kJournalIndex, 8192, 1536}, {kJournalData, 4990, 700}},
    {{kJournalIndex, 0, 1536}, {kJournalData, 150, 3000}, {kJournalIndex, 2048, 2048}},
};

// Runs the change on `env`; false as soon as a call fails (the change then
// rolls back, as an abandoned one does).
bool RunChange(const kel::Env* env, const std::string& isi, const std::string& dat,
               const std::string& newIsi, const std::string& newDat) {
  int fds[2] = {env->openFile(env, isi.c_str(), O_RDWR, 0),
                env->openFile(env, dat.c_str(), O_RDWR, 0)};
  const std::string* next[2] = {&newIsi, &newDat};
  Journal* j = nullptr;
  bool ok = fds[0] >= 0 && fds[1] >= 0 && JournalBegin(env, isi.c_str(), fds[0], dat.c_str(),
                                                       fds[1], &j) == 0;
  for (const auto& round : kRounds) {
    for (const Write& w : round) {
      std::string old(w.len, '\0');
      ssize_t n = ok ? env->pread(env, fds[w.file], old.data(), w.len, w.offset) : -1;
      ok = ok && n >= 0 && JournalSave(j, w.file, w.offset, old.data(), static_cast<uint32_t>(n)) == 0;
    }
    ok = ok && JournalSync(j) == 0;
    for (const Write& w : round) {
      ok = ok && env->seek(env, fds[w.file], static_cast<off_t>(w.offset), SEEK_SET) >= 0 &&
           env->write(env, fds[w.file], next[w.file]->data() + w.offset, w.len) == w.len;
    }
  }
  ok = ok && env->sync(env, fds[0]) == 0 && env->sync(env, fds[1]) == 0;
  if (j != nullptr) {
    ok = ok ? JournalCommit(j) == 0 : (JournalRollback(j), false);
  }
  for (int fd : fds) {
    if (fd >= 0) env->close(env, fd);
  }
  return ok;
}

TEST(Journal, EveryPowerLossLeavesTheChangeWholeOrAbsent) {
  kt::TempDir dir;
  const std::string isi = dir.file("x.isi"), dat = dir.file("x.dat");
  const std::string oldIsi = RandomBytes(8192, 1), oldDat = RandomBytes(5000, 2);
  std::string newIsi = RandomBytes(9728, 3), newDat = RandomBytes(5690, 4);
  auto lay = [&] {
    kt::WriteFileBytes(isi, oldIsi);
    kt::WriteFileBytes(dat, oldDat);
  };
  // What the whole change leaves: the new bytes where it wrote, the old
  // ones elsewhere.
  kt::PowerLossEnv env;
  lay();
  env.Arm(0);
  ASSERT_TRUE(RunChange(&env, isi, dat, newIsi, newDat));
  const uint64_t calls = env.Calls();
  const std::string afterIsi = kt::ReadFileBytes(isi), afterDat = kt::ReadFileBytes(dat);
  ASSERT_NE(afterIsi, oldIsi);
  ASSERT_FALSE(dir.exists("x.isi-journal"));
  int rolledBack = 0;
  for (uint64_t n = 1; n <= calls + 1; ++n) {
    for (auto keep : {kt::PowerLossEnv::Keep::kNone, kt::PowerLossEnv::Keep::kSome,
                      kt::PowerLossEnv::Keep::kAll}) {
      const std::string where = "power lost at call " + std::to_string(n) + " of " +
                                std::to_string(calls) + ", keep " +
                                std::to_string(static_cast<int>(keep));
      lay();
      env.Arm(n);
      bool whole = RunChange(&env, isi, dat, newIsi, newDat);
      env.Crash(keep, static_cast<uint32_t>(n));
      int r = JournalRecover(&env, isi.c_str());  // disarmed: nothing fails
      ASSERT_GE(r, 0) << where;
      rolledBack += r;
      std::string gotIsi = kt::ReadFileBytes(isi), gotDat = kt::ReadFileBytes(dat);
      bool before = gotIsi == oldIsi && gotDat == oldDat;
      bool after = gotIsi == afterIsi && gotDat == afterDat;
      EXPECT_TRUE(before || after) << where;
      EXPECT_TRUE(after || !whole || n > calls) << where << ": a committed change was lost";
      EXPECT_FALSE(dir.exists("x.isi-journal")) << where;
    }
  }
  EXPECT_GT(rolledBack, 0);
}

TEST(Journal, IsNoMoreReadableThanTheIndex) {
  kt::TempDir dir;
  const std::string isi = dir.file("p.isi"), dat = dir.file("p.dat");
  kt::WriteFileBytes(dat, "record\n");
  for (mode_t mode : {0600, 0640, 0644, 0400}) {
    kt::WriteFileBytes(isi, std::string(2048, 'i'));
    ASSERT_EQ(chmod(isi.c_str(), mode), 0);
    // Run as root, the change is made to another user's index.
    const bool root = geteuid() == 0;
    if (root) {
      ASSERT_EQ(chown(isi.c_str(), 4321, 4322), 0);
    }
    const kel::Env* env = kel::PosixEnv();
    int ifd = open(isi.c_str(), O_RDONLY), dfd = open(dat.c_str(), O_RDWR);
    Journal* j = nullptr;
    ASSERT_EQ(JournalBegin(env, isi.c_str(), ifd, dat.c_str(), dfd, &j), 0);
    struct stat st;
    ASSERT_EQ(stat((isi + "-journal").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777 & ~mode, 0u) << std::oct << mode;
    if (root) {
      EXPECT_TRUE(st.st_uid == 4321 && st.st_gid == 4322);
    }
    // A second change cannot begin beside a journal.
    Journal* other = nullptr;
    EXPECT_EQ(JournalBegin(env, isi.c_str(), ifd, dat.c_str(), dfd, &other), -EEXIST);
    JournalDiscard(j);
    EXPECT_FALSE(dir.exists("p.isi-journal"));
    close(ifd);
    close(dfd);
  }
}

}  // namespace
