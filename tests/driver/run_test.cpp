// The run driver stage by stage on a prepared run context: the start of a
// run up to the parser, the memory of the run, the end of a job and the
// message groups of a failed one. What a user sees of a whole run is held
// by the end-to-end tests.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "args.h"
#include "driver/messages.h"
#include "driver/run_steps.h"
#include "driver_fixture.h"

namespace {

using kt::Args;

class RunTest : public kt::DriverTest {
 protected:
  void ExpectBuffersReleased() {
    EXPECT_EQ(pCmdData->outBuf, nullptr);
    EXPECT_EQ(pCmdData->recBuf, nullptr);
    EXPECT_EQ(pCmdData->parseLine, nullptr);
    EXPECT_EQ(pCmdData->trainTable, nullptr);
    EXPECT_EQ(pCmdData->sortMem, nullptr);
  }
  // The messages of one run, read from where the last one ended.
  std::string Since(size_t before) { return msg.text().substr(before); }
};

// ---- Start of a run ---------------------------------------------------------

// Runs that end before a job: the status, the last line, the INI line only
// once the command text was taken, the log closed, no file and no buffer
// left.
TEST_F(RunTest, RunsThatEndBeforeTheJob) {
  const std::string usageEnd = "          kelindex test.dat,test.is2 -11-20,1-5,7-8,21-30\n";
  const struct {
    std::vector<std::string> args;
    Status status;
    std::string tail;
    bool iniLine;
  } cases[] = {
      {{}, kUsageShown, usageEnd, false},
      {{"-d", "-?", "-m600000", "data"}, kUsageShown, usageEnd, false},
      {{"-i"}, kErrIniParam, "Invalid parameter for -i option!\n", false},
      {{"-l", std::string(kNameSize, 'n'), "data"},
       kErrNameTooLong,
       "One of the filenames is too long.\n",
       false},
      {{"-d", "data", std::string(600, 'k')},
       kErrCmdTooLong,
       "The command line is too long (at most 576 characters).\n",
       false},
      {{"-d", "data"}, kErrIncomplete, "The command line is incomplete.  Use -? option.\n", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tail);
    kt::ResetRunContext();
    msg.Attach();
    size_t before = msg.text().size();
    Args args(c.args);
    EXPECT_EQ(FhSortIndex(args.argc(), args.argv(), msg.file()), c.status);
    std::string text = Since(before);
    ASSERT_GE(text.size(), c.tail.size());
    EXPECT_EQ(text.substr(text.size() - c.tail.size()), c.tail);
    EXPECT_EQ(text.find("INI file NOT USED!\n") != std::string::npos, c.iniLine);
    EXPECT_EQ(text.find("Max memory"), std::string::npos);  // nothing after -? is taken
    EXPECT_EQ(pCmdData->msgOut, nullptr);
    EXPECT_EQ(pCmdData->progressOn, 0);  // not a terminal
    EXPECT_TRUE(dir.list().empty());
    ExpectBuffersReleased();
  }
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
  for (ssize_t n; poll(&p, 1, 200) > 0 && (n = read(master, buf, sizeof buf)) > 0;) {
    text.append(buf, static_cast<size_t>(n));
  }
  fclose(terminal);
  close(master);
  EXPECT_EQ(text.substr(0, 12), "\nKELVANE IND");  // the banner first: no argument echo
}

TEST_F(RunTest, BufferAllocationFailures) {
  for (uint64_t call = 1; call <= 3; ++call) {
    msg.Attach();
    size_t before = msg.text().size();
    CmdSetAllocFailAt(call);
    Args args{"data"};
    EXPECT_EQ(FhSortIndex(args.argc(), args.argv(), msg.file()), kErrMemory) << call;
    EXPECT_EQ(Since(before).substr(Since(before).size() - 33),
              "Insufficient Memory for Buffers.\n");
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

// ---- Memory of the run -----------------------------------------------------

TEST_F(RunTest, HugememHalvesTheRequestDownTo8192) {
  EXPECT_EQ(hugemem(1048576), 1048576u);
  pCmdData->sortMem[1048575] = 1;  // the whole block is usable
  CmdFreeBuffers();
  const struct {
    uint64_t request;
    bool sticky;
    uint64_t granted, calls;
  } cases[] = {{1048576, false, 524288, 2},
               {1048576, true, 0, 8},         // 1,048,576 down to 8,192
               {2147483648ull, true, 0, 18},  // starts at 1,073,741,824
               {8191, true, 0, 0}};
  for (const auto& c : cases) {
    SysSetFaultPlan({kFaultMemory, 1, ENOMEM, false, c.sticky});
    EXPECT_EQ(hugemem(c.request), c.granted) << c.request;
    EXPECT_EQ(SysFaultCallCount(), c.calls) << c.request;
    EXPECT_EQ(pCmdData->sortMem == nullptr, c.granted == 0);
    CmdFreeBuffers();
  }
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
}

TEST_F(RunTest, SortStructuresThatCannotBeHadEndTheBuildWithNothingLeft) {
  for (bool trainTable : {true, false}) {
    kt::ResetRunContext();
    msg.Attach();
    size_t before = msg.text().size();
    OpenBuildFiles();
    if (trainTable) {
      CmdSetAllocFailAt(1);
    } else {
      SysSetFaultPlan({kFaultMemory, 1, ENOMEM, false, true});
    }
    EXPECT_EQ(AllocSortStructures(), kErrMemory);
    EXPECT_EQ(Since(before), trainTable ? "Sort train memory allocation failed.\n"
                                        : "Memory allocation failed.\n");
    EXPECT_EQ(dir.list(), kt::Names{"data.txt"});  // the error file had no entries
    EXPECT_EQ(pCmdData->msgOut, nullptr);
    ExpectBuffersReleased();
  }
}

// ---- End of the job --------------------------------------------------------

TEST_F(RunTest, RecordSizeFailuresMarkLongRecords) {
  for (Status code : {kErrRecSize, kErrRecSizeMax, kErrInputRead}) {
    pCmdData->longRecFound = 0;
    HandleIndexFailure(code);
    EXPECT_EQ(pCmdData->longRecFound, code != kErrInputRead) << code;
  }
}

TEST_F(RunTest, FailingCloseOfTheOutputOrInputMakesStatusOne) {
  for (uint64_t failing : {1, 2}) {
    size_t before = msg.text().size();
    pCmdData->outFd = Create("data.isi");
    pCmdData->inFd = Create("data.txt");
    SysSetFaultPlan({kFaultMeta, failing, EIO});
    EXPECT_EQ(CloseJobFiles(failing == 1 ? kOk : kErrIsiWrite), 1);
    EXPECT_EQ(Since(before), failing == 1 ? "Close(outfile) failed. (errno=5)\n"
                                          : "Close(infile) failed. (errno=5)\n");
    EXPECT_EQ(pCmdData->outFd, -1);
    EXPECT_EQ(pCmdData->inFd, -1);
  }
}

// One descriptor, closed once, whether the job ends or is aborted.
TEST_F(RunTest, InPlaceCompactionClosesItsFileOnceAndNeverGetsTheVerdict) {
  OpenInPlaceIsi();
  pCmdData->longRecFound = 1;
  SysSetFaultPlan({kFaultMeta, 1000});  // counts, never fails
  EXPECT_EQ(CloseJobFiles(kOk), kOk);
  EXPECT_EQ(SysFaultCallCount(), 1u);
  EXPECT_EQ(pCmdData->inFd, -1);
  OpenInPlaceIsi();
  SysSetFaultPlan({kFaultMeta, 1000});
  CmdCloseAllFiles(1);
  EXPECT_EQ(SysFaultCallCount(), 1u);  // and no deletion
  EXPECT_EQ(pCmdData->outFd, -1);
  EXPECT_EQ(SettleRunOutputs(kErrInPlace), kErrInPlace);
  EXPECT_TRUE(dir.exists("cust.isi"));
  EXPECT_EQ(msg.text(), "");
}

// ---- Message groups of a failed job ------------------------------------------

TEST_F(RunTest, MessageGroupsOfAFailedJob) {
  CmdData* cd = pCmdData;
  strcpy(cd->inName, "cust.txt");
  strcpy(cd->outName, "cust.isi");
  cd->recLenFound = 120;
  cd->recLenSpec = 101;
  cd->eorLen = 1;
  char tmp1[] = "/tmp/dsortAAAAAA", tmp2[] = "/tmp/dsortBBBBBB";
  cd->tmpName1 = tmp1;
  cd->tmpName2 = tmp2;
  cd->tmpFd1 = 7;
  cd->tmpFd2 = 8;
  uint64_t limit = 1;  // 41^16 - 1 wraps in 64 bits, as it always did
  for (int i = 0; i < 16; ++i) limit *= 41;
  const std::string writing = "WARNING!  INDEX failed writing to file ";
  const struct {
    bool compact;
    Status code;
    int failFd;
    uint32_t keysPerNode;
    std::string text;
  } cases[] = {
      {false, -6, 0, 0,
       "WARNING!  INDEX record size invalid for cust.txt.\n"
       "\bRecord length found was 120 and specified record length was 100.\n"},
      {false, -7, 0, 0,
       "WARNING!  INDEX record size invalid for cust.txt.\n"
       "\bRecord length found was 120 and maximum record length was 100.\n"},
      {false, -9, 0, 0, ""},
      {false, -13, 0, 1,
       "\nError! Tree level limit (16) can only support 65535 records for this ISI file! "},
      {false, -13, 0, 40,
       "\nError! Tree level limit (16) can only support " + std::to_string(limit - 1) +
           " records for this ISI file! "},
      {false, -158, 7, 0, writing + "/tmp/dsortAAAAAA.\n"},
      {false, -21, 8, 0, writing + "/tmp/dsortBBBBBB.\n"},
      {false, -157, 9, 0, writing + "cust.isi.\n"},
      {true, -7, 8, 0, writing + "/tmp/dsortBBBBBB.\n"},
      {true, -168, 9, 0, writing + "cust.isi.\n"},
      {true, -3, 0, 0, "WARNING!  INDEX failed reading temporary work file.\n"},
      {true, -4, 0, 0, "WARNING!  INDEX failed reading input file cust.txt.\n"},
      {true, -163, 0, 0, "Invalid ISI Deleted Record count for file named:  cust.txt.\n"},
      {true, -165, 0, 0, "Invalid input compact option command line (Internal)!\n"},
      {true, -166, 0, 0, "New compact command line too long to store in ISI header!\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    size_t before = msg.text().size();
    cd->failFd = c.failFd;
    cd->keysPerNode = c.keysPerNode;
    if (c.compact) {
      CmdReportCompactFailure(c.code);
    } else {
      CmdReportIndexFailure(c.code);
    }
    EXPECT_EQ(Since(before), c.text);
  }
  cd->tmpName1 = cd->tmpName2 = nullptr;
  cd->tmpFd1 = cd->tmpFd2 = -1;
}

TEST_F(RunTest, OutputRoutinesKeepToTheirStreamAndBound) {
  EXPECT_EQ(CmdOutInfoStringCan("Sort train 1\r"), 0);
  pCmdData->progressOn = 0;  // progress lines only when progress is on
  EXPECT_EQ(CmdOutInfoStringCan("Sort train 2\r"), 0);
  CmdShowf("%s", std::string(1000, 'x').c_str());  // bounded to 300 bytes
  EXPECT_EQ(strlen(pCmdData->msgBuf), kMsgBufSize - 1);
  CmdSetMsg("kept %d", 7);  // into msgBuf only
  EXPECT_STREQ(pCmdData->msgBuf, "kept 7");
  EXPECT_EQ(msg.text(), "Sort train 1\r" + std::string(kMsgBufSize - 1, 'x'));
  pCmdData->msgOut = nullptr;  // nothing is written without a stream
  CmdHelp();
  CmdOutInfoString("dropped\n");
  EXPECT_EQ(CmdOutInfoStringCan("dropped\r"), 0);
  EXPECT_EQ(msg.text().size(), kMsgBufSize + 12);
  msg.Attach();
  EXPECT_STREQ(CmdBuildFormat("Duplicate Key at:%%16%sX Key:%%s "),
               "Duplicate Key at:%16llX Key:%s ");
}

}  // namespace
