// Clean-up: the interrupt handler (in a forked child) at each stage of a
// run, the log, the elapsed-time text and the host entries.
#include "driver/cleanup.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>

#include "driver/messages.h"
#include "driver_fixture.h"

namespace {

using kt::Names;

TEST(CtimexTest, HoursMinutesSecondsWithAllTheHourDigitsNeeded) {
  const struct {
    int64_t seconds;
    const char* text;
  } cases[] = {{0, "00:00:00"},
               {3725, "01:02:05"},
               {359999, "99:59:59"},
               {360000, "100:00:00"},
               {123 * 3600 + 4 * 60 + 5, "123:04:05"},
               {INT64_MAX, "2562047788015215:30:07"},
               {-1, "00:00:00"},  // a clock set back
               {INT64_MIN, "00:00:00"}};
  for (const auto& c : cases) {
    char out[kElapsedTextSize];
    ctimex(c.seconds, out, sizeof out);
    EXPECT_STREQ(out, c.text) << c.seconds;
  }
  // Nine bytes hold every time below 100 hours and are never overrun.
  char out[12];
  memset(out, '#', sizeof out);
  ctimex(359999, out, 9);
  EXPECT_STREQ(out, "99:59:59");
  memset(out, '#', sizeof out);
  ctimex(360000, out, 9);
  EXPECT_EQ(std::string(out, 10), std::string("100:00:0\0#", 10));
}

// What a normal or aborted end leaves on disk is held by the end-to-end
// tests; here, what they cannot see.
class CleanupTest : public kt::DriverTest {};

TEST_F(CleanupTest, CloseLogClosesOnlyAnOwnedStream) {
  CmdCloseLog();
  EXPECT_EQ(pCmdData->msgOut, nullptr);
  EXPECT_EQ(fputs("still open", msg.file()), 1);  // the caller's stream is left open
  CmdCloseLog();                                  // nothing to do
  pCmdData->msgOut = fopen(dir.file("run.log").c_str(), "w");
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

// The child installs the handler, lets `prepare` set up the run context and
// raises SIGINT: it must end with status 1 (99 would mean the handler
// returned), print the line on the stream there is, and leave `left`.
TEST_F(CleanupTest, InterruptAtEachStage) {
  auto openLog = [this] {
    pCmdData->msgOut = fopen(dir.file("run.log").c_str(), "w");
    pCmdData->logOwned = 1;
    setvbuf(pCmdData->msgOut, nullptr, _IONBF, 0);
    CmdOutInfoString("Indexing data.txt into data.isi\n");
  };
  auto inPlace = [this](uint8_t flags, bool backupNamed) {
    OpenInPlaceIsi();
    if (backupNamed)
      snprintf(pCmdData->backupName, kNameSize, "%s", dir.file("cust.isi.bak").c_str());
    pCmdData->backupFd = Create("cust.isi.bak");
    pCmdData->compactFlags = flags;
  };
  const std::string aborted = "Processing aborted via user interrupt.\n";
  const struct {
    const char* what;
    std::function<void()> prepare;
    std::string shown;
    Names left;
  } cases[] = {
      {"a build with its log",
       [&] { OpenBuildFiles(), openLog(); },
       "",
       {"data.ERR", "data.txt", "run.log"}},
      {"diagnostics keep the work files; created data goes",
       [&] { OpenBuildFiles(), pCmdData->diagMode = 1, pCmdData->dataCreated = 1; },
       aborted,
       {"data.ERR", "dsort1", "dsort2"}},
      {"in place with a complete backup",
       [&] { inPlace(1 | 4, false); },
       aborted,
       {"cust.isi", "cust.isi.bak"}},
      // The ISI is untouched while its backup is written; the partial copy goes.
      {"in place while the backup is written", [&] { inPlace(1, true); }, aborted, {"cust.isi"}},
      // As the interrupted clean-up left it: the output closed and deleted,
      // its field not yet marked. Running the clean-up again does no harm.
      {"inside the clean-up",
       [&] {
         OpenBuildFiles();
         SysClose(pCmdData->outFd);
         SysUnlink(pCmdData->outName);
         SysClose(pCmdData->tmpFd1);
       },
       aborted,
       {"data.ERR", "data.txt"}},
      {"before any run context", [] { pCmdData = nullptr; }, "", {}},
      {"without a stream",
       [&] { OpenBuildFiles(), pCmdData->msgOut = nullptr; },
       "",
       {"data.ERR", "data.txt"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    kt::ResetRunContext();
    msg.Attach();
    size_t before = msg.text().size();
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
      CmdInstallInterruptHandler();
      c.prepare();
      raise(SIGINT);
      _exit(99);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(msg.text().substr(before), c.shown);
    EXPECT_EQ(dir.list(), c.left);
    if (dir.exists("run.log")) {
      EXPECT_EQ(dir.read("run.log"), "Indexing data.txt into data.isi\n" + aborted);
    }
    for (const std::string& name : dir.list()) unlink(dir.file(name).c_str());
  }
}

}  // namespace
