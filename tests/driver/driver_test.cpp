// The run driver: the start of a run up to the parser, the memory of the
// run, the job's end (failure handling, closing, error file, data-format
// verdict, time line), driven stage by stage on a prepared run context.
#include "driver/driver.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "args.h"
#include "driver/messages.h"
#include "driver/run_steps.h"
#include "driver_fixture.h"
#include "isi/file_lock.h"
#include "sort/out_buffer.h"

namespace {

using kt::Args;

constexpr const char* kBanner =
    "\nKELVANE INDEX COMMAND   Version 10.8   07 Oct 2025"
    "\nBuilds, shows, rebuilds and compacts ISI index files."
    "\n-? shows the options.\n";

class RunTest : public kt::DriverTest {
 protected:
  Status Run(Args args) { return FhSortIndex(args.argc(), args.argv(), msg.file()); }

  int Create(const char* name) {
    return SysOpen(dir.file(name).c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  }
  // An index build whose output ISI and work files are open.
  void OpenBuildFiles() {
    CmdData* cd = pCmdData;
    snprintf(cd->outName, kNameSize, "%s", dir.file("data.isi").c_str());
    cd->outFd = Create("data.isi");
    cd->tmpName1 = static_cast<char*>(CmdMalloc(kTmpNameSize));
    snprintf(cd->tmpName1, kTmpNameSize, "%s", dir.file("dsort1").c_str());
    cd->tmpFd1 = Create("dsort1");
  }
  void FailMemoryFrom(uint64_t call, bool sticky) {
    FaultPlan plan;
    plan.classes = kFaultMemory;
    plan.failAt = call;
    plan.err = ENOMEM;
    plan.sticky = sticky;
    SysSetFaultPlan(plan);
  }
  void FailCloseAt(uint64_t call) {
    FaultPlan plan;
    plan.classes = kFaultMeta;
    plan.failAt = call;
    plan.err = EIO;
    SysSetFaultPlan(plan);
  }
  void ExpectBuffersReleased() {
    EXPECT_EQ(pCmdData->outBuf, nullptr);
    EXPECT_EQ(pCmdData->recBuf, nullptr);
    EXPECT_EQ(pCmdData->parseLine, nullptr);
    EXPECT_EQ(pCmdData->trainTable, nullptr);
    EXPECT_EQ(pCmdData->sortMem, nullptr);
  }
};

// ---- Start of a run ---------------------------------------------------------

TEST_F(RunTest, NoArgumentShowsBannerAndUsage) {
  EXPECT_EQ(Run(Args{}), kUsageShown);
  std::string text = msg.text();
  std::string head = std::string("kelindex \n") + kBanner + "\nkelindex [-l{log}]";
  EXPECT_EQ(text.substr(0, head.size()), head);
  std::string tail = "          kelindex test.dat,test.is2 -11-20,1-5,7-8,21-30\n";
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  EXPECT_EQ(pCmdData->progressOn, 0);  // not a terminal
  EXPECT_EQ(pCmdData->msgOut, nullptr);
}

TEST_F(RunTest, TerminalGetsNoEchoAndKeepsProgress) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) GTEST_SKIP() << "no pty";
  int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  termios raw;
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);
  FILE* terminal = fdopen(slave, "w");
  Args args{};
  EXPECT_EQ(FhSortIndex(args.argc(), args.argv(), terminal), kUsageShown);
  EXPECT_EQ(pCmdData->progressOn, 1);
  std::string text;
  char buf[4096];
  pollfd p{master, POLLIN, 0};
  while (poll(&p, 1, 200) > 0) {
    ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  fclose(terminal);
  close(master);
  EXPECT_EQ(text.substr(0, strlen(kBanner)), kBanner);
}

TEST_F(RunTest, QuestionMarkShowsUsageAndReleasesBuffers) {
  EXPECT_EQ(Run(Args{"-d", "-?", "data"}), kUsageShown);
  EXPECT_NE(msg.text().find("\nopts:\n"), std::string::npos);
  ExpectBuffersReleased();
}

TEST_F(RunTest, IniOptionWithoutName) {
  EXPECT_EQ(Run(Args{"-i"}), kErrIniParam);
  std::string text = msg.text();
  EXPECT_EQ(text.substr(text.size() - 33), "Invalid parameter for -i option!\n");
  ExpectBuffersReleased();
}

TEST_F(RunTest, OverlongLogNameRefusesTheRun) {
  Args args{"-l", std::string(kNameSize, 'n'), "data"};
  EXPECT_EQ(FhSortIndex(args.argc(), args.argv(), msg.file()), kErrNameTooLong);
  std::string text = msg.text();
  EXPECT_EQ(text.substr(text.size() - 34), "One of the filenames is too long.\n");
}

TEST_F(RunTest, BufferAllocationFailures) {
  for (uint64_t call = 1; call <= 3; ++call) {
    pCmdData->msgOut = msg.file();
    size_t before = msg.text().size();
    CmdSetAllocFailAt(call);
    EXPECT_EQ(Run(Args{"data"}), kErrMemory) << call;
    EXPECT_EQ(msg.text().substr(msg.text().size() - 33), "Insufficient Memory for Buffers.\n");
    EXPECT_GT(msg.text().size(), before);
    ExpectBuffersReleased();
  }
}

TEST_F(RunTest, RunContextObtainedWhenThereIsNone) {
  pCmdData = nullptr;
  CmdSetAllocFailAt(1);
  Args args{};
  EXPECT_EQ(FhSortIndex(args.argc(), args.argv(), msg.file()), kErrMemory);
  EXPECT_EQ(pCmdData, nullptr);
  EXPECT_EQ(msg.text(), "");
  CmdSetAllocFailAt(0);
  EXPECT_EQ(FhSortIndex(args.argc(), args.argv(), msg.file()), kUsageShown);
  ASSERT_NE(pCmdData, nullptr);
  EXPECT_NE(pCmdData, &gCmdData);
  FhCmdCleanup();
  EXPECT_EQ(pCmdData, nullptr);
  pCmdData = &gCmdData;
}

TEST_F(RunTest, OverlongCommandTextIsRefused) {
  EXPECT_EQ(Run(Args{"-d", "data", std::string(600, 'k')}), kErrCmdTooLong);
  std::string text = msg.text();
  std::string refusal = "The command line is too long (at most 576 characters).\n";
  EXPECT_EQ(text.substr(text.size() - refusal.size()), refusal);
  EXPECT_EQ(text.find("INI file NOT USED!"), std::string::npos);  // refused before
  EXPECT_EQ(pCmdData->msgOut, nullptr);
  ExpectBuffersReleased();
}

TEST_F(RunTest, JoinsRemainingArgumentsWithSingleSpaces) {
  ASSERT_EQ(AllocRunBuffers(), kOk);
  Args args{"-d", "data,isi", "-1-10", "x"};
  EXPECT_EQ(JoinCommandText(args.argc(), args.argv(), 2), kOk);
  EXPECT_STREQ(pCmdData->parseLine, "data,isi -1-10 x");
  EXPECT_EQ(JoinCommandText(args.argc(), args.argv(), 5), kOk);
  EXPECT_STREQ(pCmdData->parseLine, "");
  Args full{std::string(570, 'a'), "12345"};  // 576 characters with the space
  EXPECT_EQ(JoinCommandText(full.argc(), full.argv(), 1), kOk);
  EXPECT_EQ(strlen(pCmdData->parseLine), 576u);
  Args over{std::string(570, 'a'), "123456"};
  EXPECT_EQ(JoinCommandText(over.argc(), over.argv(), 1), kErrCmdTooLong);
  EXPECT_STREQ(pCmdData->parseLine, "");
  EXPECT_STREQ(pCmdData->msgBuf, "The command line is too long (at most 576 characters).");
}

TEST_F(RunTest, IncompleteCommandReportedWithLineEnd) {
  EXPECT_EQ(Run(Args{"-d", "data"}), kErrIncomplete);
  std::string text = msg.text();
  EXPECT_NE(text.find("INI file NOT USED!\n"), std::string::npos);
  std::string tail = "The command line is incomplete.  Use -? option.\n";
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  EXPECT_TRUE(dir.list().empty());
  ExpectBuffersReleased();
}

TEST_F(RunTest, DiagModeNamesTheProfile) {
  Run(Args{"-d", "-i", "prof", "data"});
  EXPECT_NE(msg.text().find("Using INI file: 'prof.ini'\n"), std::string::npos);
}

// ---- Memory of the run -----------------------------------------------------

TEST_F(RunTest, HugememTakesTheWholeRequestWhenGranted) {
  EXPECT_EQ(hugemem(1048576), 1048576u);
  EXPECT_NE(pCmdData->sortMem, nullptr);
  EXPECT_EQ(pCmdData->sortMemSize, 1048576u);
  pCmdData->sortMem[1048575] = 1;  // the whole block is usable
  CmdFreeBuffers();
  EXPECT_EQ(pCmdData->sortMem, nullptr);
}

TEST_F(RunTest, HugememHalvesAfterARefusal) {
  FailMemoryFrom(1, false);
  EXPECT_EQ(hugemem(1048576), 524288u);
  EXPECT_EQ(SysFaultCallCount(), 2u);
}

TEST_F(RunTest, HugememGivesUpBelow8192) {
  FailMemoryFrom(1, true);
  EXPECT_EQ(hugemem(1048576), 0u);
  EXPECT_EQ(SysFaultCallCount(), 8u);  // 1,048,576 down to 8,192
  EXPECT_EQ(pCmdData->sortMem, nullptr);
  FailMemoryFrom(1, true);
  EXPECT_EQ(hugemem(2147483648ull), 0u);
  EXPECT_EQ(SysFaultCallCount(), 18u);  // starts at 1,073,741,824
  FailMemoryFrom(1, true);
  EXPECT_EQ(hugemem(8191), 0u);
  EXPECT_EQ(SysFaultCallCount(), 0u);
}

TEST_F(RunTest, SortGeometryKeepsItemsAndPointersInsideTheBlock) {
  std::vector<uint8_t> block(1048576);
  pCmdData->sortMem = block.data();
  pCmdData->sortMemSize = 8192;
  pCmdData->itemLen = 20;
  SetSortGeometry();
  EXPECT_EQ(pCmdData->itemsInMem, 291u);  // 8192 / 28 = 292, less one
  EXPECT_EQ(reinterpret_cast<uint8_t*>(pCmdData->itemPtrArea), block.data() + 5824);
  for (uint64_t size : {8192ull, 600000ull, 1048576ull}) {
    for (uint32_t itemLen = 10; itemLen <= 160; ++itemLen) {
      pCmdData->sortMemSize = size;
      pCmdData->itemLen = itemLen;
      SetSortGeometry();
      uint8_t* area = reinterpret_cast<uint8_t*>(pCmdData->itemPtrArea);
      EXPECT_EQ((area - block.data()) % 8, 0);
      EXPECT_GE(area, block.data() + uint64_t{pCmdData->itemsInMem} * itemLen);
      EXPECT_LE(area + uint64_t{pCmdData->itemsInMem} * 8, block.data() + size);
    }
  }
  pCmdData->sortMem = nullptr;
  pCmdData->sortMemSize = 0;
}

TEST_F(RunTest, SortStructuresAllocated) {
  pCmdData->keySpecLen = 10;
  pCmdData->maxTrains = 500;
  pCmdData->outRecFn = nullptr;
  ASSERT_EQ(AllocSortStructures(), kOk);
  EXPECT_EQ(pCmdData->keyLen, 10u);
  EXPECT_EQ(pCmdData->itemLen, 20u);
  EXPECT_EQ(pCmdData->outRecFn, &WriteTagRecord);
  EXPECT_EQ(pCmdData->sortMemSize, 1048576u);
  EXPECT_EQ(pCmdData->trainNext, pCmdData->trainTable);
  EXPECT_EQ(pCmdData->trainBase, pCmdData->trainTable);
  pCmdData->trainTable[499] = 1;
  CmdFreeBuffers();
  CmdFreeBuffers();  // safe twice
  ExpectBuffersReleased();
  EXPECT_EQ(pCmdData->trainNext, nullptr);
}

TEST_F(RunTest, TrainTableFailureRemovesOutputAndWorkFiles) {
  OpenBuildFiles();
  CmdSetAllocFailAt(1);
  EXPECT_EQ(AllocSortStructures(), kErrMemory);
  EXPECT_EQ(msg.text(), "Sort train memory allocation failed.\n");
  EXPECT_TRUE(dir.list().empty());
  EXPECT_EQ(pCmdData->msgOut, nullptr);
  ExpectBuffersReleased();
}

TEST_F(RunTest, SortMemoryFailureRemovesOutputAndWorkFiles) {
  OpenBuildFiles();
  FailMemoryFrom(1, true);
  EXPECT_EQ(AllocSortStructures(), kErrMemory);
  EXPECT_EQ(msg.text(), "Memory allocation failed.\n");
  EXPECT_TRUE(dir.list().empty());
  ExpectBuffersReleased();
}

TEST_F(RunTest, FreeBuffersReleasesTheTreeBlock) {
  CmdData* cd = pCmdData;
  cd->isiBlock = static_cast<uint8_t*>(CmdMalloc(17 * 512));
  for (int i = 0; i < kMaxTreeLevels; ++i) {
    cd->levelSector[i] = cd->isiBlock + i * 512;
    cd->levelTrailer[i] = cd->levelSector[i] + 500;
  }
  cd->ddrSector = cd->isiBlock + 16 * 512;
  cd->dbPath = static_cast<char*>(CmdMalloc(16));
  CmdFreeBuffers();
  EXPECT_EQ(cd->isiBlock, nullptr);
  EXPECT_EQ(cd->levelSector[0], nullptr);
  EXPECT_EQ(cd->levelTrailer[15], nullptr);
  EXPECT_EQ(cd->ddrSector, nullptr);
  EXPECT_EQ(cd->dbPath, nullptr);
}

// ---- End of the job --------------------------------------------------------

TEST_F(RunTest, FailedIndexBuildRemovesPartialIsi) {
  OpenBuildFiles();
  HandleIndexFailure(kErrIsiWrite);
  EXPECT_EQ(pCmdData->outFd, -1);
  EXPECT_FALSE(dir.exists("data.isi"));
  EXPECT_EQ(msg.text(), "WARNING!  INDEX failed writing to file " + dir.file("data.isi") + ".\n");
  EXPECT_EQ(pCmdData->longRecFound, 0);
}

TEST_F(RunTest, RecordSizeFailuresMarkLongRecords) {
  for (Status code : {kErrRecSize, kErrRecSizeMax}) {
    pCmdData->longRecFound = 0;
    HandleIndexFailure(code);
    EXPECT_EQ(pCmdData->longRecFound, 1);
  }
  pCmdData->longRecFound = 0;
  HandleIndexFailure(kErrInputRead);
  EXPECT_EQ(pCmdData->longRecFound, 0);
}

TEST_F(RunTest, FailedCompactionIntoNewFileRemovesIt) {
  CmdData* cd = pCmdData;
  cd->compactFlags = 1;
  cd->inFd = Create("old.isi");
  snprintf(cd->outName, kNameSize, "%s", dir.file("new.isi").c_str());
  cd->outFd = Create("new.isi");
  HandleCompactFailure(kErrLockExclusive);
  EXPECT_EQ(cd->outFd, -1);
  EXPECT_NE(cd->inFd, -1);
  EXPECT_EQ(dir.list(), (std::vector<std::string>{"old.isi"}));
  EXPECT_EQ(msg.text(), "Unable to execute ISI compact operation!\n");
}

TEST_F(RunTest, FailedInPlaceCompactionWithoutBackupIsLeftAlone) {
  CmdData* cd = pCmdData;
  cd->compactFlags = 1;
  dir.write("cust.isi", "SISI....");
  snprintf(cd->inName, kNameSize, "%s", dir.file("cust.isi").c_str());
  snprintf(cd->outName, kNameSize, "%s", dir.file("cust.isi").c_str());
  cd->inFd = cd->outFd = SysOpen(dir.file("cust.isi").c_str(), O_RDWR);
  HandleCompactFailure(kErrLockShared);
  EXPECT_EQ(cd->outFd, cd->inFd);
  EXPECT_NE(cd->outFd, -1);
  EXPECT_EQ(dir.read("cust.isi"), "SISI....");
  EXPECT_EQ(msg.text(), "Unable to execute ISI compact operation with locking!\n");
}

TEST_F(RunTest, CompactionHoldsReleasedWhateverTheOutcome) {
  CmdData* cd = pCmdData;
  cd->compactFlags = 1;
  cd->dataFd = Create("data.txt");
  cd->dataLock = static_cast<FhRec*>(CmdMalloc(sizeof(FhRec)));
  ReleaseCompactionHolds();
  EXPECT_EQ(cd->dataFd, 0);
  EXPECT_EQ(cd->dataLock, nullptr);
  // Shared mode whose lock record could not be allocated: no lock to release.
  cd->compactShared = 1;
  cd->dataFd = Create("data.txt");
  ReleaseCompactionHolds();
  EXPECT_EQ(cd->dataFd, 0);
}

TEST_F(RunTest, FailingCloseOfOutputMakesStatusOne) {
  CmdData* cd = pCmdData;
  cd->outFd = Create("data.isi");
  cd->inFd = Create("data.txt");
  FailCloseAt(1);
  EXPECT_EQ(CloseJobFiles(kOk), 1);
  EXPECT_EQ(msg.text(), "Close(outfile) failed. (errno=5)\n");
  EXPECT_EQ(cd->outFd, -1);
  EXPECT_EQ(cd->inFd, -1);
}

TEST_F(RunTest, FailingCloseOfInputMakesStatusOne) {
  CmdData* cd = pCmdData;
  cd->outFd = Create("data.isi");
  cd->inFd = Create("data.txt");
  FailCloseAt(2);
  EXPECT_EQ(CloseJobFiles(kErrIsiWrite), 1);
  EXPECT_EQ(msg.text(), "Close(infile) failed. (errno=5)\n");
  EXPECT_EQ(cd->inFd, -1);
}

TEST_F(RunTest, InPlaceCompactionClosesItsFileOnce) {
  CmdData* cd = pCmdData;
  cd->compactFlags = 1;
  cd->inFd = cd->outFd = Create("cust.isi");
  FailCloseAt(1000);  // counts, never fails
  EXPECT_EQ(CloseJobFiles(kOk), kOk);
  EXPECT_EQ(SysFaultCallCount(), 1u);
  EXPECT_EQ(cd->inFd, -1);
  EXPECT_EQ(msg.text(), "");
}

TEST_F(RunTest, ErrorFileWithoutEntriesIsRemoved) {
  CmdData* cd = pCmdData;
  cd->errFileOn = 1;
  snprintf(cd->errName, kNameSize, "%s", dir.file("data.ERR").c_str());
  cd->errFd = Create("data.ERR");
  EXPECT_EQ(SettleRunOutputs(kOk), kOk);
  EXPECT_EQ(cd->errFd, -1);
  EXPECT_FALSE(dir.exists("data.ERR"));
  for (int kept = 0; kept < 2; ++kept) {
    cd->errFd = Create("data.ERR");
    cd->dupKeptCount = kept ? 1 : 0;
    cd->dupIgnoredCount = kept ? 0 : 1;
    EXPECT_EQ(SettleRunOutputs(kOk), kOk);
    EXPECT_TRUE(dir.exists("data.ERR"));
  }
  EXPECT_EQ(msg.text(), "");
}

TEST_F(RunTest, DataFormatVerdictDeletesTheIndex) {
  CmdData* cd = pCmdData;
  snprintf(cd->outName, kNameSize, "%s", dir.file("data.isi").c_str());
  const std::string verdict =
      "Data file is not in the correct format.  Index file will be deleted.\n";
  struct Finding {
    uint8_t CmdData::*flag;
    uint8_t CmdData::*allowed;
  };
  const Finding findings[] = {{&CmdData::varLenFound, &CmdData::allowVarLen},
                              {&CmdData::spaceCompFound, &CmdData::allowSpaceComp},
                              {&CmdData::longRecFound, nullptr}};
  for (const Finding& f : findings) {
    dir.write("data.isi", "index");
    cd->*f.flag = 1;
    EXPECT_EQ(SettleRunOutputs(kOk), kErrDataFormat);
    EXPECT_FALSE(dir.exists("data.isi"));
    if (f.allowed != nullptr) {
      dir.write("data.isi", "index");
      cd->*f.allowed = 1;
      EXPECT_EQ(SettleRunOutputs(kOk), kOk);
      EXPECT_TRUE(dir.exists("data.isi"));
    }
    cd->*f.flag = 0;
  }
  EXPECT_EQ(msg.text(), verdict + verdict + verdict);
}

TEST_F(RunTest, RefusedDuplicatesFailTheVerdictWhateverTheStatus) {
  CmdData* cd = pCmdData;
  snprintf(cd->outName, kNameSize, "%s", dir.file("data.isi").c_str());
  dir.write("data.isi", "index");
  cd->noDups = 1;
  EXPECT_EQ(SettleRunOutputs(kOk), kOk);  // no duplicate met
  cd->dupKeptCount = 2;
  EXPECT_EQ(SettleRunOutputs(kErrIsiWrite), kErrDataFormat);
  EXPECT_FALSE(dir.exists("data.isi"));
}

TEST_F(RunTest, CompactionNeverGetsTheVerdict) {
  CmdData* cd = pCmdData;
  snprintf(cd->outName, kNameSize, "%s", dir.file("cust.isi").c_str());
  dir.write("cust.isi", "index");
  cd->compactFlags = 1;
  cd->longRecFound = 1;
  EXPECT_EQ(SettleRunOutputs(kErrInPlace), kErrInPlace);
  EXPECT_TRUE(dir.exists("cust.isi"));
  EXPECT_EQ(msg.text(), "");
}

TEST_F(RunTest, TimeLine) {
  time_t start = time(nullptr);
  ReportRunTimes(start, start + 3725);
  std::regex line(
      "Start time = \\d\\d:\\d\\d:\\d\\d  Stop time = \\d\\d:\\d\\d:\\d\\d  "
      "Elapsed time = 01:02:05\n");
  EXPECT_TRUE(std::regex_match(msg.text(), line)) << msg.text();
}

}  // namespace
