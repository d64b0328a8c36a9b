// The backup of an in-place compaction: the copy, its failures, and the
// restore.
#include "compact/backup.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "compact/compact_test_util.h"
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
    messages_ = std::make_unique<ct::MessageCapture>();
    original_ = Pattern(150000, 3);  // more than two copy blocks
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
    messages_.reset();
  }
  static void Fail(uint32_t classes, uint64_t at, int err, bool shortIo = false,
                   bool sticky = false) {
    FaultPlan plan;
    plan.classes = classes;
    plan.failAt = at;
    plan.err = err;
    plan.shortIo = shortIo;
    plan.sticky = sticky;
    SysSetFaultPlan(plan);
  }
  // Overwrites the start of the ISI and makes it longer, as a compaction
  // that failed late would leave it.
  void Scribble() {
    std::string junk = Pattern(200000, 99);
    ASSERT_EQ(SysLseek(pCmdData->inFd, 0, SEEK_SET), 0);
    ASSERT_EQ(SysWrite(pCmdData->inFd, junk.data(), junk.size()),
              static_cast<ssize_t>(junk.size()));
  }
  void ExpectFailedBackupLeftNothing(const std::string& message) {
    EXPECT_EQ(pCmdData->backupFd, 0);
    EXPECT_EQ(pCmdData->backupBuf, nullptr);
    EXPECT_EQ(pCmdData->compactFlags & 4, 0u);
    EXPECT_FALSE(dir_.exists("cust.isi.bak"));
    EXPECT_EQ(dir_.read("cust.isi"), original_);
    EXPECT_EQ(messages_->text(), message);
  }

  kt::TempDir dir_;
  std::string original_;
  std::unique_ptr<ct::MessageCapture> messages_;
};

TEST_F(BackupTest, BackupIsAnExactCopyKeptOpenUntilClosed) {
  ASSERT_EQ(CompactWriteBackup(), 0);
  EXPECT_NE(pCmdData->compactFlags & 4, 0u);
  EXPECT_GT(pCmdData->backupFd, 0);
  EXPECT_EQ(dir_.read("cust.isi.bak"), original_);
  EXPECT_EQ(messages_->text(), "");
  EXPECT_EQ(CompactCloseBackupIsi(), 0);
  EXPECT_EQ(pCmdData->backupFd, 0);
  EXPECT_EQ(pCmdData->backupBuf, nullptr);
  EXPECT_FALSE(dir_.exists("cust.isi.bak"));
  EXPECT_EQ(dir_.read("cust.isi"), original_);
}

TEST_F(BackupTest, BackupLeftFromAnEarlierRunIsOverwritten) {
  dir_.write("cust.isi.bak", Pattern(300000, 42));
  ASSERT_EQ(CompactWriteBackup(), 0);
  EXPECT_EQ(dir_.read("cust.isi.bak"), original_);
}

TEST_F(BackupTest, BackupThatCannotBeCreatedStopsBeforeTheIsiIsTouched) {
  Fail(kFaultOpen, 1, EACCES, false, true);
  EXPECT_EQ(CompactWriteBackup(), kErrInPlace);
  ExpectFailedBackupLeftNothing("Unable to create backup file: " + dir_.file("cust.isi.bak") +
                                "\n");
}

TEST_F(BackupTest, FailedWriteHalfwayDeletesThePartialBackup) {
  Fail(kFaultWrite, 2, ENOSPC);
  EXPECT_EQ(CompactWriteBackup(), kErrInPlace);
  ExpectFailedBackupLeftNothing("Error writing the ISI backup file: " + dir_.file("cust.isi.bak") +
                                "\n");
}

TEST_F(BackupTest, ShortWriteIsAFailedBackup) {
  Fail(kFaultWrite, 3, 0, true);
  EXPECT_EQ(CompactWriteBackup(), kErrInPlace);
  ExpectFailedBackupLeftNothing("Error writing the ISI backup file: " + dir_.file("cust.isi.bak") +
                                "\n");
}

TEST_F(BackupTest, BackupThatCannotBeSyncedIsAFailedBackup) {
  Fail(kFaultMeta, 1, EIO);  // the first file-metadata call is the sync
  EXPECT_EQ(CompactWriteBackup(), kErrInPlace);
  ExpectFailedBackupLeftNothing("Error writing the ISI backup file: " + dir_.file("cust.isi.bak") +
                                "\n");
}

TEST_F(BackupTest, UnreadableIsiIsAFailedBackup) {
  Fail(kFaultRead, 2, EIO);
  EXPECT_EQ(CompactWriteBackup(), kErrInPlace);
  ExpectFailedBackupLeftNothing("Error reading the ISI file: " + dir_.file("cust.isi") + "\n");
}

TEST_F(BackupTest, RestoreGivesBackTheIsiByteForByteAndRemovesTheBackup) {
  ASSERT_EQ(CompactWriteBackup(), 0);
  Scribble();
  EXPECT_EQ(CompactRestoreIsi(), 0);
  EXPECT_EQ(dir_.read("cust.isi"), original_);
  EXPECT_EQ(pCmdData->backupFd, 0);
  EXPECT_FALSE(dir_.exists("cust.isi.bak"));
  EXPECT_EQ(messages_->text(), "");
}

TEST_F(BackupTest, RestoreAfterTheIsiWasCutShortFillsItAgain) {
  ASSERT_EQ(CompactWriteBackup(), 0);
  ASSERT_EQ(SysFtruncate(pCmdData->inFd, 2048), 0);
  EXPECT_EQ(CompactRestoreIsi(), 0);
  EXPECT_EQ(dir_.read("cust.isi"), original_);
}

TEST_F(BackupTest, RestoreWithoutBackupDoesNothing) {
  Scribble();
  std::string scribbled = dir_.read("cust.isi");
  EXPECT_EQ(CompactRestoreIsi(), 0);
  EXPECT_EQ(dir_.read("cust.isi"), scribbled);
  EXPECT_EQ(messages_->text(), "");
}

TEST_F(BackupTest, FailedRestoreKeepsTheBackupFile) {
  ASSERT_EQ(CompactWriteBackup(), 0);
  Scribble();
  Fail(kFaultWrite, 2, ENOSPC);
  EXPECT_EQ(CompactRestoreIsi(), kErrRestore);
  EXPECT_EQ(messages_->text(),
            "Error restoring/writing the ISI file: " + dir_.file("cust.isi") + "\n");
  EXPECT_EQ(pCmdData->backupFd, 0);
  EXPECT_EQ(dir_.read("cust.isi.bak"), original_);
  CompactCloseBackupIsi();  // what the driver does next must not remove it
  EXPECT_TRUE(dir_.exists("cust.isi.bak"));
}

TEST_F(BackupTest, UnreadableBackupIsAFailedRestore) {
  ASSERT_EQ(CompactWriteBackup(), 0);
  Fail(kFaultRead, 1, EIO);
  EXPECT_EQ(CompactRestoreIsi(), kErrRestore);
  EXPECT_EQ(messages_->text(),
            "Error reading the ISI backup file: " + dir_.file("cust.isi.bak") + "\n");
}

TEST_F(BackupTest, RestoreThatCannotBeSyncedFails) {
  ASSERT_EQ(CompactWriteBackup(), 0);
  Scribble();
  Fail(kFaultMeta, 2, EIO);  // the truncation passes, the sync fails
  EXPECT_EQ(CompactRestoreIsi(), kErrRestore);
  EXPECT_EQ(messages_->text(),
            "Error restoring/writing the ISI file: " + dir_.file("cust.isi") + "\n");
}

TEST_F(BackupTest, CloseWithoutBackupIsHarmless) {
  dir_.write("cust.isi.bak", "not ours");
  EXPECT_EQ(CompactCloseBackupIsi(), 0);
  EXPECT_EQ(CompactCloseBackupIsi(), 0);
  EXPECT_TRUE(dir_.exists("cust.isi.bak"));  // only a backup this run made is removed
}

}  // namespace

namespace {

TEST_F(BackupTest, SaveNamesTheBackupAfterTheIsiAndCopiesIt) {
  CmdData* cd = pCmdData;
  cd->backupName[0] = '\0';
  snprintf(cd->inDir, kDirSize, "%s/", dir_.path().c_str());
  snprintf(cd->inBase, kBaseSize, "cust");
  snprintf(cd->inExt, kExtSize, ".isi");
  ASSERT_EQ(CompactSaveIsi(), 0);
  EXPECT_STREQ(cd->backupName, dir_.file("cust.isi.bak").c_str());
  EXPECT_EQ(dir_.read("cust.isi.bak"), original_);
}

}  // namespace
