// Messages: the output routines, the usage text, the run-time formats, the
// parser's fixed texts and the message groups of a failed job.
#include "driver/messages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver_fixture.h"

namespace {

class MessagesTest : public kt::DriverTest {
 protected:
  void SetUp() override {
    kt::DriverTest::SetUp();
    strcpy(pCmdData->inName, "cust.txt");
    strcpy(pCmdData->outName, "cust.isi");
  }
  // Prints the index-build group of `code` and returns what it printed.
  std::string IndexGroup(Status code) {
    size_t before = msg.text().size();
    CmdReportIndexFailure(code);
    return msg.text().substr(before);
  }
  std::string CompactGroup(Status code) {
    size_t before = msg.text().size();
    CmdReportCompactFailure(code);
    return msg.text().substr(before);
  }
};

constexpr const char* kUsage =
    "\nkelindex [-l{log}] {data}[,{isi}[,{Lnnn}[,{tmppath}]]] -[{opts}]{keyspecs}"
    "\nkelindex isi -[i|r]"
    "\n  data - Data file spec                  isi  - Index file spec"
    "\n  Lnnn - Record size for NULL file/Max record size for variable length records"
    "\n         (65533 Max)"
    "\n  tmppath - Location of temporary work files"
    "\nopts:\n"
    "  b = Treat space comp as binary char    c[={n}] = Compact ISI file\n"
    "  d = Allow duplicate keys               e = Error file of duplicate keys\n"
    "  f={nn} = Binary data & no EOR          g={nn} = Binary data with EOR\n"
    "  i = Display file index info            m{nn} = Max sector fill percent\n"
    "  n = Don't allow duplicate keys         n0= Duplicate keys ignored for NODUP\n"
    "  n$= Quietly ignore duplicate keys      o[={n}] = Set ISI OS type\n"
    "  p{nnn}{=|#}{c} = Primary record        q = Quit if unable to OPEN data file\n"
    "  r = Reindex file using index info      s = Allow space compression\n"
    "  u = Convert lower case to upper case   v = Allow variable length records\n"
    "  w = Write all records at End Of File   x = Disable record count\n"
    "  y = Don't put Drive in ISI header      z = Discard Path in ISI header\n"
    "  keyspecs: 1-10,21-30,15-20,...etc;  Up to 150 bytes can be used"
    "\nExamples: kelindex test,test,l100 -un,p11=A,1-10,20,30-40\n"
    "          kelindex test.dat,test.is2 -11-20,1-5,7-8,21-30\n";

TEST_F(MessagesTest, UsageTextExactBytes) {
  CmdHelp();
  EXPECT_EQ(msg.text(), kUsage);
}

TEST_F(MessagesTest, NothingIsWrittenWithoutStream) {
  pCmdData->msgOut = nullptr;
  CmdHelp();
  CmdOutInfoString("dropped\n");
  EXPECT_EQ(CmdOutInfoStringCan("dropped\r"), 0);
  pCmdData->msgOut = msg.file();
  EXPECT_EQ(msg.text(), "");
}

TEST_F(MessagesTest, ProgressLinesOnlyWhenProgressIsOn) {
  EXPECT_EQ(CmdOutInfoStringCan("Sort train 1\r"), 0);
  pCmdData->progressOn = 0;
  EXPECT_EQ(CmdOutInfoStringCan("Sort train 2\r"), 0);
  CmdOutInfoString("plain\n");
  EXPECT_EQ(msg.text(), "Sort train 1\rplain\n");
}

TEST_F(MessagesTest, MessagesAreBoundedTo300Bytes) {
  std::string big(1000, 'x');
  CmdShowf("%s", big.c_str());
  EXPECT_EQ(strlen(pCmdData->msgBuf), kMsgBufSize - 1);
  EXPECT_EQ(msg.text(), std::string(kMsgBufSize - 1, 'x'));
  CmdSetMsg("kept %d", 7);
  EXPECT_STREQ(pCmdData->msgBuf, "kept 7");
  EXPECT_EQ(msg.text().size(), kMsgBufSize - 1);  // CmdSetMsg shows nothing
}

TEST_F(MessagesTest, BuildsCountFormatsFromTemplates) {
  EXPECT_STREQ(CmdBuildFormat("Duplicate Key at:%%16%sX Key:%%s "),
               "Duplicate Key at:%16llX Key:%s ");
  EXPECT_STREQ(CmdBuildFormat("Unable to open input ISI file for compact: %%s\n"),
               "Unable to open input ISI file for compact: %s\n");
}

TEST_F(MessagesTest, ParserCodesHaveFixedTextsOthersUseMsgBuf) {
  EXPECT_STREQ(CmdParseErrorText(kErrIncomplete),
               "The command line is incomplete.  Use -? option.");
  EXPECT_STREQ(CmdParseErrorText(kErrKeySyntax), "Invalid key specification syntax.");
  EXPECT_STREQ(CmdParseErrorText(kErrCompactOpt), "Invalid compact option!");
  EXPECT_EQ(CmdParseErrorText(kErrOpenSource), nullptr);
  EXPECT_EQ(CmdParseErrorText(kErrCmdTooLong), nullptr);
}

TEST_F(MessagesTest, IndexGroupReadFailures) {
  EXPECT_EQ(IndexGroup(-3), "WARNING!  INDEX failed reading temporary work file.\n");
  EXPECT_EQ(IndexGroup(-4), "WARNING!  INDEX failed reading input file cust.txt.\n");
  pCmdData->recStartPos = 123456789012ull;
  EXPECT_EQ(IndexGroup(-5),
            "WARNING!  INDEX failed reading input file cust.txt.\n"
            "Invalid EOR found for record starting at byte offset: 123456789012.\n");
}

TEST_F(MessagesTest, IndexGroupRecordLengths) {
  pCmdData->recLenFound = 120;
  pCmdData->recLenSpec = 101;
  pCmdData->eorLen = 1;
  EXPECT_EQ(IndexGroup(-6),
            "WARNING!  INDEX record size invalid for cust.txt.\n"
            "\bRecord length found was 120 and specified record length was 100.\n");
  EXPECT_EQ(IndexGroup(-7),
            "WARNING!  INDEX record size invalid for cust.txt.\n"
            "\bRecord length found was 120 and maximum record length was 100.\n");
  EXPECT_EQ(IndexGroup(-161), "A record longer than 65533 bytes was found.");
}

TEST_F(MessagesTest, IndexGroupMemoryAndTreeLevels) {
  EXPECT_EQ(IndexGroup(-9), "");
  pCmdData->keysPerNode = 1;  // 2^16 - 1 records
  EXPECT_EQ(IndexGroup(-13),
            "\nError! Tree level limit (16) can only support 65535 records for this ISI file! ");
  pCmdData->keysPerNode = 40;  // 41^16 wraps in 64 bits, as it always did
  uint64_t limit = 1;
  for (int i = 0; i < 16; ++i) limit *= 41;
  EXPECT_EQ(IndexGroup(-13), "\nError! Tree level limit (16) can only support " +
                                 std::to_string(limit - 1) + " records for this ISI file! ");
}

TEST_F(MessagesTest, FailingFileChosenByFailFd) {
  char tmp1[] = "/tmp/dsortAAAAAA", tmp2[] = "/tmp/dsortBBBBBB";
  pCmdData->tmpName1 = tmp1;
  pCmdData->tmpName2 = tmp2;
  pCmdData->tmpFd1 = 7;
  pCmdData->tmpFd2 = 8;
  pCmdData->failFd = 7;
  EXPECT_EQ(IndexGroup(-158), "WARNING!  INDEX failed writing to file /tmp/dsortAAAAAA.\n");
  pCmdData->failFd = 8;
  EXPECT_EQ(IndexGroup(-21), "WARNING!  INDEX failed writing to file /tmp/dsortBBBBBB.\n");
  EXPECT_EQ(CompactGroup(-7), "WARNING!  INDEX failed writing to file /tmp/dsortBBBBBB.\n");
  pCmdData->failFd = 9;
  EXPECT_EQ(IndexGroup(-157), "WARNING!  INDEX failed writing to file cust.isi.\n");
  pCmdData->tmpName1 = pCmdData->tmpName2 = nullptr;
  pCmdData->tmpFd1 = pCmdData->tmpFd2 = -1;
}

TEST_F(MessagesTest, CompactGroupLines) {
  strcpy(pCmdData->inName, "old.isi");
  EXPECT_EQ(CompactGroup(-3), "WARNING!  INDEX failed reading temporary work file.\n");
  EXPECT_EQ(CompactGroup(-4), "WARNING!  INDEX failed reading input file old.isi.\n");
  EXPECT_EQ(CompactGroup(-157), "WARNING!  INDEX failed writing output data!\n");
  EXPECT_EQ(CompactGroup(-102), "Not a valid .isi file structure for file: old.isi.\n");
  EXPECT_EQ(CompactGroup(-162), "Invalid ISI version to compact file named:  old.isi.\n");
  EXPECT_EQ(CompactGroup(-163), "Invalid ISI Deleted Record count for file named:  old.isi.\n");
  EXPECT_EQ(CompactGroup(-164),
            "Invalid input ISI command line format found in file named:  old.isi.\n");
  EXPECT_EQ(CompactGroup(-165), "Invalid input compact option command line (Internal)!\n");
  EXPECT_EQ(CompactGroup(-166), "New compact command line too long to store in ISI header!\n");
  EXPECT_EQ(CompactGroup(-167), "Unable to execute in place ISI compact operation!\n");
  EXPECT_EQ(CompactGroup(-169), "Unable to execute ISI compact operation with locking!\n");
  EXPECT_EQ(CompactGroup(-170), "Unable to execute ISI compact operation!\n");
  EXPECT_EQ(CompactGroup(-168), "WARNING!  INDEX failed writing to file cust.isi.\n");
}

}  // namespace
