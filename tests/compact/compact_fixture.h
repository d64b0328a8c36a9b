// What the compaction tests share: an in-process compaction run prepared as
// the driver and the parser leave it for option c, other processes that
// hold locks on a file, and holding a compacted ISI against the original
// with the independent test reader.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/status.h"
#include "support/isi_reader.h"
#include "support/isi_writer.h"
#include "support/test_util.h"

namespace ct {

// Loads `path` (or bytes) and checks it is a sound index (a test failure otherwise).
isir::IsiReader LoadValid(const std::string& path);
std::vector<isir::Entry> EntriesOf(const isir::IsiReader& reader);
// The compacted entries are the original records in the original order;
// duplicate sequences count anew (0 for the first of a key, then up).
void ExpectSameEntries(const std::string& before, const isir::IsiReader& after);
// Entry counts of the key sectors of `level`, parents first, children in order.
std::vector<uint32_t> CountsAtLevel(const isir::IsiReader& reader, uint16_t level);

// A child process that holds one record lock on `path` until released or
// `holdMillis` have passed (bounded, so a failing test never hangs).
// `beforeRelease` runs in the child, still holding the lock, as it lets go.
class LockHolder {
 public:
  // type is F_RDLCK or F_WRLCK. Returns once the child holds the lock.
  LockHolder(const std::string& path, short type, uint64_t start, uint64_t length,
             int holdMillis = 10000, std::function<void()> beforeRelease = nullptr);
  ~LockHolder() { Release(); }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;
  bool holding() const { return holding_; }
  // Tells the child to drop the lock and exit, and waits for it.
  void Release();

 private:
  pid_t pid_ = -1;
  int releaseFd_ = -1;
  bool holding_ = false;
};

// True when another process could take the lock at once.
bool OtherProcessCanLock(const std::string& path, short type, uint64_t start, uint64_t length);

// An in-process compaction of a.isi (in place, or into b.isi) over the
// data file data.txt, all in the test's directory.
class CompactRunTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // A fresh run context for the next case of a table.
  void Restart() {
    TearDown();
    SetUp();
  }

  // A spec whose header names this test's data file: `entries` numbered
  // entries of 4-byte keys, leaves of `perLeaf`, a deleted-record chain of
  // `deleted` positions; duplicates all with sequence 0, for the
  // compaction to count anew.
  isiw::Spec Indexed(uint32_t entries, uint32_t perLeaf, uint32_t deleted = 0) const;
  // Writes `isi` as a.isi (and a data file unless one exists) and opens it
  // as the parser would. `mode` is the option: "c", "c=0" or "c=1". One
  // Prepare per run context: Restart() comes between two.
  void Prepare(const std::string& isi, bool inPlace, const std::string& mode = "c");
  // The driver's compaction job, then its closing of the files.
  Status Run();
  std::string Messages() { return msg_.text(); }
  std::string IsiPath() const { return dir_.file("a.isi"); }
  std::string OutPath() const { return dir_.file(inPlace_ ? "a.isi" : "b.isi"); }
  std::string DataPath() const { return dir_.file("data.txt"); }
  // The files of the directory besides a.isi and data.txt.
  std::vector<std::string> Leftovers() const;

  kt::TempDir dir_;
  kt::MsgCapture msg_;
  bool inPlace_ = true;
};

}  // namespace ct
