// The rollback journal: changes to an index and its data file (regions
// saved, written over in place, both files grown; the next changes on the
// journal kept invalidated, then on one left behind) that lose power at any
// of their writes and syncs, with none, some or all of the unsynced writes
// reaching the disk, are found after recovery either whole or not at all,
// byte for byte, and never undone once they returned. The journal is never
// readable by more users than the index, and belongs to the index's owner.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>

#include "core/journal.h"
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
    {{kJournalIndex, 1024, 512},
     {kJournalIndex, 4096, 1024},
     {kJournalData, 100, 200},
     {kJournalIndex, 8192, 1536},
     {kJournalData, 4990, 700}},
    {{kJournalIndex, 0, 1536}, {kJournalData, 150, 3000}, {kJournalIndex, 2048, 2048}},
};

// One change on `env` into the open files, on journal *j (begun here when
// null, else restarted); false as soon as a call fails (the change then
// rolls back, as an abandoned one does, and *j is gone). A change that
// keeps the files' lengths syncs their contents alone.
bool RunChange(const kel::Env* env, const std::string& isi, const std::string& dat,
               const int fds[2], const std::string* next[2], Journal** j) {
  bool ok = *j != nullptr ? JournalRestart(*j) == 0
                          : JournalBegin(env, isi.c_str(), fds[0], dat.c_str(), fds[1], j) == 0;
  if (!ok && *j != nullptr) JournalClose(*j, false);
  if (!ok) *j = nullptr;
  bool grows = false;
  for (const auto& round : kRounds) {
    for (const Write& w : round) {
      std::string old(w.len, '\0');
      ssize_t n = ok ? env->pread(env, fds[w.file], old.data(), w.len, w.offset) : -1;
      grows = grows || n < static_cast<ssize_t>(w.len);
      ok = ok && n >= 0 &&
           JournalSave(*j, w.file, w.offset, old.data(), static_cast<uint32_t>(n)) == 0;
    }
    ok = ok && JournalSync(*j) == 0;
    for (const Write& w : round) {
      ok = ok && env->seek(env, fds[w.file], static_cast<off_t>(w.offset), SEEK_SET) >= 0 &&
           env->write(env, fds[w.file], next[w.file]->data() + w.offset, w.len) == w.len;
    }
  }
  auto sync = grows ? env->sync : env->syncData;
  ok = ok && sync(env, fds[0]) == 0 && sync(env, fds[1]) == 0;
  if (*j != nullptr && !ok) JournalRollback(*j);
  if (*j != nullptr && ok && JournalInvalidate(*j) != 0) ok = false;
  if (!ok) *j = nullptr;
  return ok;
}

// Three changes: two on one kept journal, then one by a new writer that
// finds the first one's journal left invalidated. The number that returned.
int RunChanges(const kel::Env* env, const std::string& isi, const std::string& dat,
               const std::vector<std::string>& stages) {
  int fds[2] = {env->openFile(env, isi.c_str(), O_RDWR, 0),
                env->openFile(env, dat.c_str(), O_RDWR, 0)};
  Journal* j = nullptr;
  int done = 0;
  for (size_t k = 1; fds[0] >= 0 && fds[1] >= 0 && 2 * k < stages.size(); ++k) {
    const std::string* next[2] = {&stages[2 * k], &stages[2 * k + 1]};
    if (k == 3 && j != nullptr) {
      JournalClose(j, false);
      j = nullptr;
    }
    if (!RunChange(env, isi, dat, fds, next, &j)) break;
    ++done;
  }
  if (j != nullptr) JournalClose(j, true);
  for (int fd : fds) {
    if (fd >= 0) env->close(env, fd);
  }
  return done;
}

TEST(Journal, EveryPowerLossLeavesTheChangeWholeOrAbsent) {
  kt::TempDir dir;
  const std::string isi = dir.file("x.isi"), dat = dir.file("x.dat");
  // The files before each change (index, data), and the new bytes of each.
  std::vector<std::string> stages = {RandomBytes(8192, 1), RandomBytes(5000, 2)};
  for (uint32_t k = 1; k <= 3; ++k) {
    stages.push_back(RandomBytes(9728, 10 * k + 3));
    stages.push_back(RandomBytes(5690, 10 * k + 4));
  }
  auto lay = [&] {
    kt::WriteFileBytes(isi, stages[0]);
    kt::WriteFileBytes(dat, stages[1]);
  };
  // What each whole change leaves: the new bytes where it wrote, the
  // earlier ones elsewhere.
  kt::PowerLossEnv env;
  std::vector<std::pair<std::string, std::string>> after = {{stages[0], stages[1]}};
  for (size_t k = 1; k < 4; ++k) {
    lay();
    std::vector<std::string> upTo(stages.begin(), stages.begin() + 2 * k + 2);
    env.Arm(0);
    ASSERT_EQ(RunChanges(&env, isi, dat, upTo), static_cast<int>(k));
    after.emplace_back(kt::ReadFileBytes(isi), kt::ReadFileBytes(dat));
    ASSERT_NE(after[k], after[k - 1]);
    ASSERT_FALSE(dir.exists("x.isi-journal"));
  }
  const uint64_t calls = env.Calls();
  int rolledBack = 0;
  for (uint64_t n = 1; n <= calls + 1 && !HasFailure(); ++n) {
    for (auto keep : kt::PowerLossEnv::kKeeps) {
      const std::string where = kt::PowerLossEnv::Where(n, calls, keep);
      lay();
      env.Arm(n);
      int done = RunChanges(&env, isi, dat, stages);
      env.Crash(keep, static_cast<uint32_t>(n));
      int r = JournalRecover(&env, isi.c_str());  // disarmed: nothing fails
      ASSERT_GE(r, 0) << where;
      rolledBack += r;
      std::pair<std::string, std::string> got(kt::ReadFileBytes(isi), kt::ReadFileBytes(dat));
      // Never half a change; never a change undone once it returned.
      EXPECT_TRUE(got == after[done] || (done < 3 && got == after[done + 1]))
          << where << ", " << done;
      // What a recovery leaves holds no change: an opener finds nothing to do.
      char named[4097];
      EXPECT_EQ(JournalDataPath(&env, isi.c_str(), named, sizeof named), 0) << where;
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
    // A second change cannot begin beside a journal that holds one.
    ASSERT_EQ(JournalSync(j), 0);
    Journal* other = nullptr;
    EXPECT_EQ(JournalBegin(env, isi.c_str(), ifd, dat.c_str(), dfd, &other), -EEXIST);
    JournalDiscard(j);
    EXPECT_FALSE(dir.exists("p.isi-journal"));
    // One left behind, wider than the index, is narrowed when taken over.
    kt::WriteFileBytes(isi + "-journal", "");
    ASSERT_EQ(chmod((isi + "-journal").c_str(), 0666), 0);
    ASSERT_EQ(JournalBegin(env, isi.c_str(), ifd, dat.c_str(), dfd, &j), 0);
    ASSERT_EQ(stat((isi + "-journal").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777 & ~mode, 0u) << std::oct << mode;
    JournalDiscard(j);
    close(ifd);
    close(dfd);
  }
}

}  // namespace
