// Clean-up: closing and removing the run's files, the log, the interrupt
// handler (in a forked child), the elapsed-time text and the host entries.
#include "driver/cleanup.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "driver/messages.h"
#include "driver_fixture.h"

namespace {

std::string Elapsed(int64_t seconds) {
  char out[kElapsedTextSize];
  ctimex(seconds, out, sizeof out);
  return out;
}

TEST(CtimexTest, HoursMinutesSeconds) {
  EXPECT_EQ(Elapsed(0), "00:00:00");
  EXPECT_EQ(Elapsed(3725), "01:02:05");
  EXPECT_EQ(Elapsed(86399), "23:59:59");
  EXPECT_EQ(Elapsed(359999), "99:59:59");
}

TEST(CtimexTest, HundredHoursAndMoreGetAllTheirDigits) {
  EXPECT_EQ(Elapsed(360000), "100:00:00");
  EXPECT_EQ(Elapsed(123 * 3600 + 4 * 60 + 5), "123:04:05");
  EXPECT_EQ(Elapsed(INT64_MAX), "2562047788015215:30:07");
}

TEST(CtimexTest, ClockSetBackGivesZero) {
  EXPECT_EQ(Elapsed(-1), "00:00:00");
  EXPECT_EQ(Elapsed(INT64_MIN), "00:00:00");
}

TEST(CtimexTest, NineBytesHoldBelowHundredHoursAndNeverOverrun) {
  char out[12];
  memset(out, '#', sizeof out);
  ctimex(359999, out, 9);
  EXPECT_STREQ(out, "99:59:59");
  memset(out, '#', sizeof out);
  ctimex(360000, out, 9);
  EXPECT_EQ(std::string(out, 9), std::string("100:00:0\0", 9));
  EXPECT_EQ(out[9], '#');
}

class CleanupTest : public kt::DriverTest {
 protected:
  // Sets up the files of an index build in the middle of its work.
  void OpenBuildFiles() {
    CmdData* cd = pCmdData;
    snprintf(cd->inName, kNameSize, "%s", dir.file("data.txt").c_str());
    snprintf(cd->outName, kNameSize, "%s", dir.file("data.isi").c_str());
    snprintf(cd->errName, kNameSize, "%s", dir.file("data.ERR").c_str());
    cd->inFd = Create("data.txt");
    cd->outFd = Create("data.isi");
    cd->errFd = Create("data.ERR");
    cd->tmpName1 = static_cast<char*>(CmdMalloc(kTmpNameSize));
    cd->tmpName2 = static_cast<char*>(CmdMalloc(kTmpNameSize));
    snprintf(cd->tmpName1, kTmpNameSize, "%s", dir.file("dsort1").c_str());
    snprintf(cd->tmpName2, kTmpNameSize, "%s", dir.file("dsort2").c_str());
    cd->tmpFd1 = Create("dsort1");
    cd->tmpFd2 = Create("dsort2");
  }
  int Create(const char* name) {
    return SysOpen(dir.file(name).c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  }
  void ExpectAllClosed() {
    const CmdData* cd = pCmdData;
    EXPECT_EQ(cd->inFd, -1);
    EXPECT_EQ(cd->outFd, -1);
    EXPECT_EQ(cd->tmpFd1, -1);
    EXPECT_EQ(cd->tmpFd2, -1);
  }
};

TEST_F(CleanupTest, NormalEndDeletesOnlyWorkFiles) {
  OpenBuildFiles();
  CmdCloseAllFiles(0);
  ExpectAllClosed();
  EXPECT_NE(pCmdData->errFd, -1);  // the error file is settled by the driver
  EXPECT_EQ(pCmdData->msgOut, msg.file());
  EXPECT_EQ(dir.list(), (std::vector<std::string>{"data.ERR", "data.isi", "data.txt"}));
  CmdCloseAllFiles(0);  // a second call finds nothing to do
  EXPECT_EQ(dir.list().size(), 3u);
}

TEST_F(CleanupTest, AbortDeletesOutputAndCreatedDataButKeepsErrorFileWithEntries) {
  OpenBuildFiles();
  pCmdData->dataCreated = 1;
  pCmdData->dupKeptCount = 1;
  CmdCloseAllFiles(1);
  ExpectAllClosed();
  EXPECT_EQ(pCmdData->errFd, -1);
  EXPECT_EQ(pCmdData->msgOut, nullptr);  // the log is closed: nothing is printed after
  EXPECT_EQ(dir.list(), (std::vector<std::string>{"data.ERR"}));
}

TEST_F(CleanupTest, AbortDeletesAnErrorFileWithoutEntries) {
  OpenBuildFiles();
  CmdCloseAllFiles(1);
  EXPECT_EQ(dir.list(), (std::vector<std::string>{"data.txt"}));
}

TEST_F(CleanupTest, AbortKeepsDataFileNotCreatedByRunAndWorkFilesInDiagMode) {
  OpenBuildFiles();
  pCmdData->diagMode = 1;
  pCmdData->dupIgnoredCount = 1;
  CmdCloseAllFiles(1);
  ExpectAllClosed();
  EXPECT_EQ(dir.list(), (std::vector<std::string>{"data.ERR", "data.txt", "dsort1", "dsort2"}));
}

TEST_F(CleanupTest, InPlaceCompactionClosesSharedDescriptorOnceAndKeepsIsi) {
  CmdData* cd = pCmdData;
  snprintf(cd->inName, kNameSize, "%s", dir.file("cust.isi").c_str());
  snprintf(cd->outName, kNameSize, "%s", dir.file("cust.isi").c_str());
  cd->inFd = cd->outFd = Create("cust.isi");
  cd->compactFlags = 1;
  FaultPlan count;  // counts closes and deletions, fails none
  count.classes = kFaultMeta;
  count.failAt = 1000;
  SysSetFaultPlan(count);
  CmdCloseAllFiles(1);
  EXPECT_EQ(SysFaultCallCount(), 1u);  // one close, no deletion
  ExpectAllClosed();
  EXPECT_TRUE(dir.exists("cust.isi"));
}

TEST_F(CleanupTest, CloseLogClosesOnlyAnOwnedStream) {
  CmdCloseLog();
  EXPECT_EQ(pCmdData->msgOut, nullptr);
  EXPECT_EQ(fputs("still open", msg.file()), 1);  // the caller's stream is left open
  CmdCloseLog();                                  // nothing to do
  FILE* log = fopen(dir.file("run.log").c_str(), "w");
  pCmdData->msgOut = log;
  pCmdData->logOwned = 1;
  CmdOutInfoString("last words\n");
  CmdCloseLog();
  EXPECT_EQ(pCmdData->msgOut, nullptr);
  EXPECT_EQ(pCmdData->logOwned, 0);
  EXPECT_EQ(dir.read("run.log"), "last words\n");
}

TEST_F(CleanupTest, HostEntries) {
  FhCmdRecTimeOut(5);
  EXPECT_EQ(gRecCountTimeOut, 5u);
  FhCmdRecTimeOut(0);
  FhCmdCleanup();  // the static record is only let go, never freed
  EXPECT_EQ(pCmdData, nullptr);
  pCmdData = static_cast<CmdData*>(CmdMalloc(sizeof(CmdData)));
  ASSERT_NE(pCmdData, nullptr);
  FhCmdCleanup();  // freed (the sanitizer build would see a leak otherwise)
  EXPECT_EQ(pCmdData, nullptr);
  FhCmdCleanup();
  pCmdData = &gCmdData;
}

// ---- The interrupt handler, in a forked child ------------------------------

class InterruptTest : public CleanupTest {
 protected:
  // Forks; the child installs the handler, lets `prepare` set up the run
  // context, and raises SIGINT. Returns the child's exit status (-1 when it
  // did not exit normally; 99 when the handler returned).
  template <typename Prepare>
  int InterruptChild(Prepare prepare) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
      CmdInstallInterruptHandler();
      prepare();
      raise(SIGINT);
      _exit(99);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

TEST_F(InterruptTest, ReportsToLogAndRemovesOutputAndWorkFiles) {
  int exitCode = InterruptChild([this] {
    OpenBuildFiles();
    pCmdData->msgOut = fopen(dir.file("run.log").c_str(), "w");
    pCmdData->logOwned = 1;
    setvbuf(pCmdData->msgOut, nullptr, _IONBF, 0);
    CmdOutInfoString("Indexing data.txt into data.isi\n");
  });
  EXPECT_EQ(exitCode, 1);
  EXPECT_EQ(dir.read("run.log"),
            "Indexing data.txt into data.isi\nProcessing aborted via user interrupt.\n");
  EXPECT_EQ(dir.list(), (std::vector<std::string>{"data.ERR", "data.txt", "run.log"}));
}

TEST_F(InterruptTest, DiagModeKeepsWorkFilesAndCreatedDataGoes) {
  int exitCode = InterruptChild([this] {
    OpenBuildFiles();
    pCmdData->diagMode = 1;
    pCmdData->dataCreated = 1;
  });
  EXPECT_EQ(exitCode, 1);
  EXPECT_EQ(msg.text(), "Processing aborted via user interrupt.\n");
  EXPECT_EQ(dir.list(), (std::vector<std::string>{"data.ERR", "dsort1", "dsort2"}));
}

TEST_F(InterruptTest, InPlaceCompactionKeepsIsiAndBackup) {
  int exitCode = InterruptChild([this] {
    CmdData* cd = pCmdData;
    snprintf(cd->inName, kNameSize, "%s", dir.file("cust.isi").c_str());
    snprintf(cd->outName, kNameSize, "%s", dir.file("cust.isi").c_str());
    cd->inFd = cd->outFd = Create("cust.isi");
    cd->backupFd = Create("cust.isi.bak");
    cd->compactFlags = 1 | 4;
  });
  EXPECT_EQ(exitCode, 1);
  EXPECT_EQ(dir.list(), (std::vector<std::string>{"cust.isi", "cust.isi.bak"}));
}

// The ISI is untouched while its backup is written; the partial copy goes.
TEST_F(InterruptTest, InPlaceCompactionDropsABackupStillBeingWritten) {
  int exitCode = InterruptChild([this] {
    CmdData* cd = pCmdData;
    snprintf(cd->inName, kNameSize, "%s", dir.file("cust.isi").c_str());
    snprintf(cd->backupName, kNameSize, "%s", dir.file("cust.isi.bak").c_str());
    cd->inFd = cd->outFd = Create("cust.isi");
    cd->backupFd = Create("cust.isi.bak");
    cd->compactFlags = 1;
  });
  EXPECT_EQ(exitCode, 1);
  EXPECT_EQ(dir.list(), (std::vector<std::string>{"cust.isi"}));
}

// The run context as the interrupted clean-up left it: the output closed
// and deleted but its field not yet marked. Running the clean-up again does
// no harm.
TEST_F(InterruptTest, InterruptInsideCleanUpIsHarmless) {
  int exitCode = InterruptChild([this] {
    OpenBuildFiles();
    SysClose(pCmdData->outFd);
    SysUnlink(pCmdData->outName);
    SysClose(pCmdData->tmpFd1);
  });
  EXPECT_EQ(exitCode, 1);
  EXPECT_EQ(dir.list(), (std::vector<std::string>{"data.ERR", "data.txt"}));
}

TEST_F(InterruptTest, BeforeAnyRunContext) {
  int exitCode = InterruptChild([] { pCmdData = nullptr; });
  EXPECT_EQ(exitCode, 1);
  EXPECT_EQ(msg.text(), "");
}

TEST_F(InterruptTest, NoStreamNoMessage) {
  int exitCode = InterruptChild([this] {
    OpenBuildFiles();
    pCmdData->msgOut = nullptr;
  });
  EXPECT_EQ(exitCode, 1);
  EXPECT_EQ(msg.text(), "");
  EXPECT_EQ(dir.list(), (std::vector<std::string>{"data.ERR", "data.txt"}));
}

}  // namespace
