// The fault plan of the I/O layer: parsing and firing.
#include "driver/sys_io.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include "support/test_util.h"

namespace {

class SysIoTest : public ::testing::Test {
 protected:
  void TearDown() override { SysSetFaultPlan(FaultPlan{}); }
  kt::TempDir dir;
};

TEST_F(SysIoTest, ParsesPlans) {
  FaultPlan p;
  ASSERT_TRUE(SysParseFaultPlan("3:w:ENOSPC", &p));
  EXPECT_EQ(p.failAt, 3u);
  EXPECT_EQ(p.classes, static_cast<uint32_t>(kFaultWrite));
  EXPECT_EQ(p.err, ENOSPC);
  EXPECT_FALSE(p.sticky);
  ASSERT_TRUE(SysParseFaultPlan("7:rw:short:sticky", &p));
  EXPECT_TRUE(p.shortIo);
  EXPECT_TRUE(p.sticky);
  EXPECT_EQ(p.classes, static_cast<uint32_t>(kFaultRead | kFaultWrite));
  for (const char* bad : {"0:w:EIO", "2:x:EIO", "2:w:EBOGUS", "2:w:EIO:forever"}) {
    EXPECT_FALSE(SysParseFaultPlan(bad, &p)) << bad;
  }
}

TEST_F(SysIoTest, FailsTheNthCountedCallOnly) {
  int fd = SysOpen(dir.file("f").c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  SysSetFaultPlan({kFaultWrite, 2, ENOSPC});
  EXPECT_EQ(SysWrite(fd, "ab", 2), 2);
  EXPECT_EQ(SysLseek(fd, 0, SEEK_END), 2);  // seeks are not counted
  errno = 0;
  EXPECT_EQ(SysWrite(fd, "cd", 2), -1);
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_TRUE(SysFaultFired());
  EXPECT_EQ(SysWrite(fd, "ef", 2), 2);
  EXPECT_EQ(SysFaultCallCount(), 3u);
  SysClose(fd);
  EXPECT_EQ(dir.read("f"), "abef");
}

TEST_F(SysIoTest, StickyShortWritesFillTheDisk) {
  int fd = SysOpen(dir.file("f").c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  SysSetFaultPlan({kFaultWrite, 1, 0, true, true});
  EXPECT_EQ(SysWrite(fd, "abcd", 4), 2);
  EXPECT_EQ(SysWrite(fd, "efgh", 4), 2);
  SysClose(fd);
  EXPECT_EQ(dir.read("f"), "abef");
}

}  // namespace
