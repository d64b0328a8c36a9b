// The backup of an in-place compaction: the copy, the restore, and each of
// their failures with its message and what it leaves.
#include "compact/backup.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "driver/cmd_data.h"
#include "driver/sys_io.h"
#include "support/test_util.h"

namespace {

// An ISI-sized file of `size` bytes whose bytes tell their offset apart.
std::string Pattern(size_t size, int salt) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 7 + i / 251 + salt) & 0xFF);
  return s;
}

class BackupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kt::ResetRunContext();
    msg_.Attach();
    dir_.write("cust.isi", original_);
    CmdData* cd = pCmdData;
    snprintf(cd->inName, sizeof cd->inName, "%s", dir_.file("cust.isi").c_str());
    snprintf(cd->backupName, sizeof cd->backupName, "%s", dir_.file("cust.isi.bak").c_str());
    cd->inFd = cd->outFd = SysOpen(cd->inName, O_RDWR);
    ASSERT_GE(cd->inFd, 0);
    cd->compactFlags = 1;
  }
  void TearDown() override {
    SysSetFaultPlan(FaultPlan{});
    CompactCloseBackupIsi();
    if (pCmdData->inFd >= 0) SysClose(pCmdData->inFd);
  }
  void Restart() {
    TearDown();
    SetUp();
  }
  // Overwrites the start of the ISI and makes it longer, as a compaction
  // that failed late would leave it.
  void Scribble() {
    std::string junk = Pattern(200000, 99);
    ASSERT_EQ(SysLseek(pCmdData->inFd, 0, SEEK_SET), 0);
    ASSERT_EQ(SysWrite(pCmdData->inFd, junk.data(), junk.size()),
              static_cast<ssize_t>(junk.size()));
  }
  std::string Shown(size_t before) { return msg_.text().substr(before); }

  kt::TempDir dir_;
  kt::MsgCapture msg_;
  const std::string original_ = Pattern(150000, 3);  // more than two copy blocks
};

TEST_F(BackupTest, BackupIsAnExactCopyKeptUntilClosedAndRestoresTheIsi) {
  dir_.write("cust.isi.bak", Pattern(300000, 42));  // left from an earlier run: overwritten
  ASSERT_EQ(CompactWriteBackup(), 0);
  EXPECT_NE(pCmdData->compactFlags & 4, 0u);
  EXPECT_GT(pCmdData->backupFd, 0);
  EXPECT_TRUE(dir_.read("cust.isi.bak") == original_);
  EXPECT_EQ(CompactCloseBackupIsi(), 0);
  EXPECT_EQ(pCmdData->backupFd, 0);
  EXPECT_EQ(pCmdData->backupBuf, nullptr);
  EXPECT_FALSE(dir_.exists("cust.isi.bak"));
  EXPECT_TRUE(dir_.read("cust.isi") == original_);
  // Restored byte for byte over a longer or a shorter ISI, the backup then gone.
  for (bool cutShort : {false, true}) {
    Restart();
    ASSERT_EQ(CompactWriteBackup(), 0);
    if (cutShort) {
      ASSERT_EQ(SysFtruncate(pCmdData->inFd, 2048), 0);
    } else {
      Scribble();
    }
    EXPECT_EQ(CompactRestoreIsi(), 0);
    EXPECT_TRUE(dir_.read("cust.isi") == original_);
    EXPECT_EQ(pCmdData->backupFd, 0);
    EXPECT_FALSE(dir_.exists("cust.isi.bak"));
  }
  EXPECT_EQ(msg_.text(), "");
}

TEST_F(BackupTest, FailedBackupStopsBeforeTheIsiIsTouchedAndLeavesNoCopy) {
  const std::string writing = "Error writing the ISI backup file: " + dir_.file("cust.isi.bak");
  const struct {
    FaultPlan plan;
    std::string message;
  } cases[] = {
      {{kFaultOpen, 1, EACCES, false, true},
       "Unable to create backup file: " + dir_.file("cust.isi.bak")},
      {{kFaultWrite, 2, ENOSPC}, writing},   // halfway
      {{kFaultWrite, 3, 0, true}, writing},  // a short write
      {{kFaultMeta, 1, EIO}, writing},       // the first file-metadata call is the sync
      {{kFaultRead, 2, EIO}, "Error reading the ISI file: " + dir_.file("cust.isi")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    Restart();
    size_t before = msg_.text().size();
    SysSetFaultPlan(c.plan);
    EXPECT_EQ(CompactWriteBackup(), kErrInPlace);
    EXPECT_EQ(pCmdData->backupFd, 0);
    EXPECT_EQ(pCmdData->backupBuf, nullptr);
    EXPECT_EQ(pCmdData->compactFlags & 4, 0u);
    EXPECT_FALSE(dir_.exists("cust.isi.bak"));
    EXPECT_TRUE(dir_.read("cust.isi") == original_);
    EXPECT_EQ(Shown(before), c.message + "\n");
  }
}

TEST_F(BackupTest, FailedRestoreKeepsTheBackupFile) {
  const std::string writing = "Error restoring/writing the ISI file: " + dir_.file("cust.isi");
  const struct {
    FaultPlan plan;
    std::string message;
  } cases[] = {
      {{kFaultWrite, 2, ENOSPC}, writing},
      {{kFaultRead, 1, EIO}, "Error reading the ISI backup file: " + dir_.file("cust.isi.bak")},
      {{kFaultMeta, 2, EIO}, writing},  // the truncation passes, the sync fails
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    Restart();
    size_t before = msg_.text().size();
    ASSERT_EQ(CompactWriteBackup(), 0);
    Scribble();
    SysSetFaultPlan(c.plan);
    EXPECT_EQ(CompactRestoreIsi(), kErrRestore);
    EXPECT_EQ(Shown(before), c.message + "\n");
    EXPECT_EQ(pCmdData->backupFd, 0);
    EXPECT_TRUE(dir_.read("cust.isi.bak") == original_);
    SysSetFaultPlan(FaultPlan{});
    CompactCloseBackupIsi();  // what the driver does next must not remove it
    EXPECT_TRUE(dir_.exists("cust.isi.bak"));
  }
}

TEST_F(BackupTest, WithoutABackupRestoreAndCloseDoNothing) {
  Scribble();
  std::string scribbled = dir_.read("cust.isi");
  dir_.write("cust.isi.bak", "not ours");
  EXPECT_EQ(CompactRestoreIsi(), 0);
  EXPECT_TRUE(dir_.read("cust.isi") == scribbled);
  EXPECT_EQ(CompactCloseBackupIsi(), 0);
  EXPECT_EQ(CompactCloseBackupIsi(), 0);
  EXPECT_TRUE(dir_.exists("cust.isi.bak"));  // only a backup this run made is removed
  EXPECT_EQ(msg_.text(), "");
}

TEST_F(BackupTest, SaveNamesTheBackupAfterTheIsiAndCopiesIt) {
  CmdData* cd = pCmdData;
  cd->backupName[0] = '\0';
  snprintf(cd->inDir, kDirSize, "%s/", dir_.path().c_str());
  snprintf(cd->inBase, kBaseSize, "cust");
  snprintf(cd->inExt, kExtSize, ".isi");
  ASSERT_EQ(CompactSaveIsi(), 0);
  EXPECT_STREQ(cd->backupName, dir_.file("cust.isi.bak").c_str());
  EXPECT_TRUE(dir_.read("cust.isi.bak") == original_);
}

}  // namespace
