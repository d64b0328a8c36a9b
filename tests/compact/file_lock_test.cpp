// The advisory locks on a compaction's data file, against a second process
// that holds or wants the same bytes.
#include "isi/file_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "compact/compact_test_util.h"
#include "driver/cmd_data.h"
#include "driver/status.h"
#include "driver/sys_io.h"
#include "support/test_util.h"

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
  // Counts lock calls without ever failing one.
  static void CountLockCalls() {
    FaultPlan plan;
    plan.classes = kFaultLock;
    plan.failAt = ~0ull;
    SysSetFaultPlan(plan);
  }
  static void FailLockCalls(uint64_t at, int err, bool sticky) {
    FaultPlan plan;
    plan.classes = kFaultLock;
    plan.failAt = at;
    plan.err = err;
    plan.sticky = sticky;
    SysSetFaultPlan(plan);
  }

  kt::TempDir dir_;
  std::string path_;
  FhRec rec_ = {};
};

TEST_F(FileLockTest, RecordWithoutFileIsRefusedWithoutLocking) {
  FhRec none = {};
  CountLockCalls();
  EXPECT_EQ(LockFHe(&none, F_SETLK, 0, SEEK_SET), -1);
  EXPECT_EQ(LockFHs(&none, F_SETLK, 0, SEEK_SET), -1);
  EXPECT_EQ(UnLockOneRecord(&none, kIsiLockPos, 2), -1);
  EXPECT_EQ(SysFaultCallCount(), 0u);
}

TEST_F(FileLockTest, ExclusiveWholeFileLockIsRefusedAtOnceWhileAnotherProcessShares) {
  ct::LockHolder other(path_, F_RDLCK, kWholeFileLockPos, 1);
  ASSERT_TRUE(other.holding());
  Clock::time_point start = Clock::now();
  EXPECT_EQ(LockFHe(&rec_, F_SETLK, 0, SEEK_SET), -3);
  EXPECT_LT(MillisSince(start), 1000);
  // Sharing with a sharer is fine.
  EXPECT_EQ(LockFHs(&rec_, F_SETLK, 0, SEEK_SET), 0);
}

TEST_F(FileLockTest, SharedWholeFileLockIsRefusedWhileAnotherProcessHoldsItExclusively) {
  ct::LockHolder other(path_, F_WRLCK, kWholeFileLockPos, 1);
  ASSERT_TRUE(other.holding());
  EXPECT_EQ(LockFHs(&rec_, F_SETLK, 0, SEEK_SET), -3);
  other.Release();
  EXPECT_EQ(LockFHs(&rec_, F_SETLK, 0, SEEK_SET), 0);
}

TEST_F(FileLockTest, WholeFileLockKeepsOthersOutAndPositionsTheFile) {
  ASSERT_EQ(SysLseek(rec_.fd, 0, SEEK_END), 11);
  EXPECT_EQ(LockFHe(&rec_, F_SETLK, 0, SEEK_SET), 0);
  EXPECT_EQ(SysLseek(rec_.fd, 0, SEEK_CUR), 0);
  EXPECT_FALSE(ct::OtherProcessCanLock(path_, F_RDLCK, kWholeFileLockPos, 1));
  // The lock is on that one byte only: the data itself stays free.
  EXPECT_TRUE(ct::OtherProcessCanLock(path_, F_WRLCK, 0, 11));
}

TEST_F(FileLockTest, LockFailuresOtherThanConflictsAreMinusFourAndEinvalIsSuccess) {
  FailLockCalls(1, EIO, false);
  EXPECT_EQ(LockFHe(&rec_, F_SETLK, 0, SEEK_SET), -4);
  FailLockCalls(1, ENOLCK, false);
  EXPECT_EQ(LockFHs(&rec_, F_SETLK, 0, SEEK_SET), -3);
  FailLockCalls(1, EINVAL, false);
  EXPECT_EQ(LockFHe(&rec_, F_SETLK, 0, SEEK_SET), 0);
}

TEST_F(FileLockTest, IsiLockWaitsUntilTheOtherProcessLetsGo) {
  ct::LockHolder other(path_, F_WRLCK, kIsiLockPos, 2, 300);
  ASSERT_TRUE(other.holding());
  Clock::time_point start = Clock::now();
  EXPECT_EQ(FhStLockIsi(&rec_, 1), 0);
  EXPECT_GE(MillisSince(start), 200);
  EXPECT_NE(rec_.state & kFhIsiLocked, 0u);
  EXPECT_FALSE(ct::OtherProcessCanLock(path_, F_RDLCK, kIsiLockPos, 2));
}

TEST_F(FileLockTest, SharedIsiLockDoesNotWaitForAnotherSharer) {
  ct::LockHolder other(path_, F_RDLCK, kIsiLockPos, 2);
  ASSERT_TRUE(other.holding());
  Clock::time_point start = Clock::now();
  EXPECT_EQ(FhStLockIsi(&rec_, 0), 0);
  EXPECT_LT(MillisSince(start), 1000);
  EXPECT_TRUE(ct::OtherProcessCanLock(path_, F_RDLCK, kIsiLockPos, 2));
  EXPECT_FALSE(ct::OtherProcessCanLock(path_, F_WRLCK, kIsiLockPos, 2));
}

TEST_F(FileLockTest, EnqueueLocksTwoBytesAtThePositionOrLockBase) {
  rec_.lockBase = 0x1000;
  EXPECT_EQ(Enqueue(&rec_, 0x20, 1), 0);
  EXPECT_FALSE(ct::OtherProcessCanLock(path_, F_RDLCK, 0x1020, 1));
  EXPECT_FALSE(ct::OtherProcessCanLock(path_, F_RDLCK, 0x1021, 1));
  EXPECT_TRUE(ct::OtherProcessCanLock(path_, F_WRLCK, 0x1022, 1));
  EXPECT_TRUE(ct::OtherProcessCanLock(path_, F_WRLCK, 0x20, 2));
  FailLockCalls(1, EIO, false);
  EXPECT_EQ(Enqueue(&rec_, 0x20, 1), -2);
}

TEST_F(FileLockTest, IsiLockRetriesAPassingFailure) {
  FailLockCalls(1, EINTR, false);
  EXPECT_EQ(FhStLockIsi(&rec_, 1), 0);
  EXPECT_EQ(SysFaultCallCount(), 2u);
  EXPECT_NE(rec_.state & kFhIsiLocked, 0u);
}

TEST_F(FileLockTest, IsiLockGivesUpAfterSixHundredFailuresInARow) {
  FailLockCalls(1, EDEADLK, true);
  Clock::time_point start = Clock::now();
  EXPECT_EQ(FhStLockIsi(&rec_, 1), kErrLockWait);
  EXPECT_EQ(SysFaultCallCount(), 600u);
  EXPECT_GE(MillisSince(start), 59);  // 599 pauses of 100 microseconds
  EXPECT_EQ(rec_.state & kFhIsiLocked, 0u);
}

TEST_F(FileLockTest, UnlockingTheIsiLockLetsOthersIn) {
  pCmdData->diagMode = 1;
  snprintf(pCmdData->dataName, sizeof pCmdData->dataName, "%s", "cust.txt");
  ASSERT_EQ(FhStLockIsi(&rec_, 1), 0);
  ASSERT_FALSE(ct::OtherProcessCanLock(path_, F_RDLCK, kIsiLockPos, 2));
  ct::MessageCapture messages;
  EXPECT_EQ(FhStUnLockIsi(&rec_), 0);
  EXPECT_TRUE(ct::OtherProcessCanLock(path_, F_WRLCK, kIsiLockPos, 2));
  EXPECT_EQ(messages.text(), "Compact TXT data file is unlocked: cust.txt\n");
  EXPECT_NE(rec_.state & kFhIsiLocked, 0u);  // the mark stays
}

TEST_F(FileLockTest, UnlockWithoutTheIsiLockDoesNothing) {
  pCmdData->diagMode = 1;
  ct::MessageCapture messages;
  CountLockCalls();
  EXPECT_EQ(FhStUnLockIsi(&rec_), 0);
  EXPECT_EQ(SysFaultCallCount(), 0u);
  EXPECT_EQ(messages.text(), "");
}

TEST_F(FileLockTest, UnlockFailureIsMinusTwo) {
  FailLockCalls(1, EIO, false);
  EXPECT_EQ(UnLockOneRecord(&rec_, kIsiLockPos, 2), -2);
}

}  // namespace
