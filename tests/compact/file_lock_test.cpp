// The advisory locks on a compaction's data file, against a second process
// that holds or wants the same bytes.
#include "isi/file_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "compact/compact_fixture.h"
#include "driver/cmd_data.h"
#include "driver/sys_io.h"

namespace {

using Clock = std::chrono::steady_clock;

long MillisSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class FileLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kt::ResetRunContext();
    path_ = dir_.file("data.txt");
    dir_.write("data.txt", "0123456789\n");
    rec_.fd = SysOpen(path_.c_str(), O_RDWR);
    ASSERT_GT(rec_.fd, 0);
    rec_.isiLockPos = kIsiLockPos;
  }
  void TearDown() override {
    SysSetFaultPlan(FaultPlan{});
    if (rec_.fd > 0) SysClose(rec_.fd);
  }
  bool OthersCan(short type, uint64_t start, uint64_t length) {
    return ct::OtherProcessCanLock(path_, type, start, length);
  }

  kt::TempDir dir_;
  std::string path_;
  FhRec rec_ = {};
};

TEST_F(FileLockTest, WholeFileLocks) {
  FhRec none = {};  // a record without file: refused without locking
  SysSetFaultPlan({kFaultLock, ~0ull});
  EXPECT_EQ(LockFHe(&none, F_SETLK, 0, SEEK_SET), -1);
  EXPECT_EQ(LockFHs(&none, F_SETLK, 0, SEEK_SET), -1);
  EXPECT_EQ(UnLockOneRecord(&none, kIsiLockPos, 2), -1);
  EXPECT_EQ(SysFaultCallCount(), 0u);
  {
    ct::LockHolder other(path_, F_RDLCK, kWholeFileLockPos, 1);
    ASSERT_TRUE(other.holding());
    Clock::time_point start = Clock::now();
    EXPECT_EQ(LockFHe(&rec_, F_SETLK, 0, SEEK_SET), -3);  // refused at once
    EXPECT_LT(MillisSince(start), 1000);
    EXPECT_EQ(LockFHs(&rec_, F_SETLK, 0, SEEK_SET), 0);  // sharing with a sharer is fine
  }
  SysClose(rec_.fd);
  rec_.fd = SysOpen(path_.c_str(), O_RDWR);
  ASSERT_EQ(SysLseek(rec_.fd, 0, SEEK_END), 11);
  EXPECT_EQ(LockFHe(&rec_, F_SETLK, 0, SEEK_SET), 0);
  EXPECT_EQ(SysLseek(rec_.fd, 0, SEEK_CUR), 0);  // the file positioned at its start
  EXPECT_FALSE(OthersCan(F_RDLCK, kWholeFileLockPos, 1));
  EXPECT_TRUE(OthersCan(F_WRLCK, 0, 11));  // the lock is on that one byte: the data stays free
}

TEST_F(FileLockTest, FailuresOtherThanConflicts) {
  const struct {
    bool shared;
    int err;
    int32_t result;
  } cases[] = {{false, EIO, -4}, {true, ENOLCK, -3}, {false, EINVAL, 0}};  // EINVAL: no locks here
  for (const auto& c : cases) {
    SysSetFaultPlan({kFaultLock, 1, c.err});
    EXPECT_EQ(
        c.shared ? LockFHs(&rec_, F_SETLK, 0, SEEK_SET) : LockFHe(&rec_, F_SETLK, 0, SEEK_SET),
        c.result)
        << c.err;
  }
  SysSetFaultPlan({kFaultLock, 1, EIO});
  EXPECT_EQ(Enqueue(&rec_, 0x20, 1), -2);
  SysSetFaultPlan({kFaultLock, 1, EIO});
  EXPECT_EQ(UnLockOneRecord(&rec_, kIsiLockPos, 2), -2);
}

TEST_F(FileLockTest, IsiLockWaitsForAWriterButNotForASharer) {
  {
    ct::LockHolder writer(path_, F_WRLCK, kIsiLockPos, 2, 300);
    ASSERT_TRUE(writer.holding());
    Clock::time_point start = Clock::now();
    EXPECT_EQ(FhStLockIsi(&rec_, 1), 0);
    EXPECT_GE(MillisSince(start), 200);
    EXPECT_NE(rec_.state & kFhIsiLocked, 0u);
    EXPECT_FALSE(OthersCan(F_RDLCK, kIsiLockPos, 2));
  }
  SysClose(rec_.fd);
  rec_.fd = SysOpen(path_.c_str(), O_RDWR);
  ct::LockHolder sharer(path_, F_RDLCK, kIsiLockPos, 2);
  ASSERT_TRUE(sharer.holding());
  Clock::time_point start = Clock::now();
  EXPECT_EQ(FhStLockIsi(&rec_, 0), 0);
  EXPECT_LT(MillisSince(start), 1000);
  EXPECT_TRUE(OthersCan(F_RDLCK, kIsiLockPos, 2));
  EXPECT_FALSE(OthersCan(F_WRLCK, kIsiLockPos, 2));
}

TEST_F(FileLockTest, IsiLockRetriesAPassingFailureAndGivesUpAfterSixHundred) {
  SysSetFaultPlan({kFaultLock, 1, EINTR});
  EXPECT_EQ(FhStLockIsi(&rec_, 1), 0);
  EXPECT_EQ(SysFaultCallCount(), 2u);
  UnLockOneRecord(&rec_, kIsiLockPos, 2);
  rec_.state = 0;
  SysSetFaultPlan({kFaultLock, 1, EDEADLK, false, true});
  Clock::time_point start = Clock::now();
  EXPECT_EQ(FhStLockIsi(&rec_, 1), kErrLockWait);
  EXPECT_EQ(SysFaultCallCount(), 600u);
  EXPECT_GE(MillisSince(start), 59);  // 599 pauses of 100 microseconds
  EXPECT_EQ(rec_.state & kFhIsiLocked, 0u);
}

TEST_F(FileLockTest, EnqueueLocksTwoBytesAtThePositionOverTheLockBase) {
  rec_.lockBase = 0x1000;
  EXPECT_EQ(Enqueue(&rec_, 0x20, 1), 0);
  EXPECT_FALSE(OthersCan(F_RDLCK, 0x1020, 1));
  EXPECT_FALSE(OthersCan(F_RDLCK, 0x1021, 1));
  EXPECT_TRUE(OthersCan(F_WRLCK, 0x1022, 1));
  EXPECT_TRUE(OthersCan(F_WRLCK, 0x20, 2));
}

TEST_F(FileLockTest, UnlockingTheIsiLockLetsOthersIn) {
  pCmdData->diagMode = 1;
  snprintf(pCmdData->dataName, sizeof pCmdData->dataName, "%s", "cust.txt");
  kt::MsgCapture messages;
  messages.Attach();
  SysSetFaultPlan({kFaultLock, ~0ull});  // without the lock: nothing to do
  EXPECT_EQ(FhStUnLockIsi(&rec_), 0);
  EXPECT_EQ(SysFaultCallCount(), 0u);
  EXPECT_EQ(messages.text(), "");
  ASSERT_EQ(FhStLockIsi(&rec_, 1), 0);
  ASSERT_FALSE(OthersCan(F_RDLCK, kIsiLockPos, 2));
  EXPECT_EQ(FhStUnLockIsi(&rec_), 0);
  EXPECT_TRUE(OthersCan(F_WRLCK, kIsiLockPos, 2));
  EXPECT_EQ(messages.text(), "Compact TXT data file is unlocked: cust.txt\n");
  EXPECT_NE(rec_.state & kFhIsiLocked, 0u);  // the mark stays
}

}  // namespace
