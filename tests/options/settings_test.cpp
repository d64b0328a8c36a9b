// What the parse takes from around it and leaves for the job: the two work
// files, the terminal definition file, and, once the data file is open, the
// record length settled with the end-of-record bytes found.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "driver/sys_io.h"
#include "options/options_fixture.h"
#include "options/parse_steps.h"

namespace {

using ot::OptionsTest;

TEST_F(OptionsTest, WorkFilesWhereTheyBelong) {
  SetEnv("TMPDIR", (dir.path() + "/").c_str());  // one trailing '/' is dropped
  cd->diagMode = 1;
  ASSERT_EQ(Parse("data -1"), kOk);
  std::regex name(dir.path() + "/dsort[A-Za-z0-9]{6}");
  EXPECT_TRUE(std::regex_match(cd->tmpName1, name)) << cd->tmpName1;
  EXPECT_TRUE(std::regex_match(cd->tmpName2, name)) << cd->tmpName2;
  EXPECT_STRNE(cd->tmpName1, cd->tmpName2);
  EXPECT_EQ(WorkFiles().size(), 2u);
  EXPECT_EQ(cd->failFd, cd->tmpFd1);
  EXPECT_EQ(cd->mergeInFd, cd->tmpFd2);
  EXPECT_EQ(write(cd->tmpFd1, "x", 1), 1);  // open read-write
  std::string shown = "Command line is:data -1\nTemporary file path is:\nCreated " +
                      std::string(cd->tmpName1) + " as temp file 1\nCreated " +
                      std::string(cd->tmpName2) + " as temp file 2\n";
  EXPECT_EQ(Output().substr(0, shown.size()), shown);
  unlink(cd->tmpName1);
  unlink(cd->tmpName2);
  ResetContext();
  ASSERT_EQ(mkdir(dir.file("w").c_str(), 0755), 0);
  ASSERT_EQ(Parse("data,,," + dir.file("w") + " -1"), kOk);  // the fourth field
  EXPECT_EQ(std::string(cd->tmpName1).rfind(dir.file("w") + "/dsort", 0), 0u);
  EXPECT_TRUE(WorkFiles().empty());
  ResetContext();
  SetEnv("TMPDIR", nullptr);
  ASSERT_EQ(Parse("data -1"), kOk);
  EXPECT_TRUE(std::regex_match(cd->tmpName1, std::regex("/tmp/dsort[A-Za-z0-9]{6}")));
  unlink(cd->tmpName1);
  unlink(cd->tmpName2);
}

TEST_F(OptionsTest, WorkDirectoryTooLongForTheTemplate) {
  std::string longDir = "/" + std::string(247, 'd');  // 248 characters
  EXPECT_EQ(Parse("data,,," + longDir + " -1"), kErrTmpDirTooLong);
  EXPECT_STREQ(cd->msgBuf, "The temporary file path is too long.");
  ResetContext();
  SetEnv("TMPDIR", ("/" + std::string(300, 't')).c_str());
  EXPECT_EQ(Parse("data -1"), kErrTmpDirTooLong);
  EXPECT_EQ(cd->tmpFd1, -1);
  ResetContext();
  // 247 characters fit (the directory does not exist, so mkstemp fails).
  EXPECT_EQ(Parse("data,,," + longDir.substr(0, 247) + " -1"), kErrTempFiles);
}

// Open-class calls of a parse: mkstemp 1, reopen 1, mkstemp 2, reopen 2.
// Every file left behind is open and named, so that the clean-up removes it.
TEST_F(OptionsTest, FailedWorkFileCreationLeavesOnlyNamedOpenFiles) {
  for (uint64_t failing = 1; failing <= 4; ++failing) {
    ResetContext();
    SysSetFaultPlan({kFaultOpen, failing, EACCES});
    EXPECT_EQ(Parse("data -1"), kErrTempFiles);
    ASSERT_TRUE(SysFaultFired());
    size_t open = (cd->tmpFd1 >= 0) + (cd->tmpFd2 >= 0);
    EXPECT_EQ(WorkFiles().size(), open) << failing;
    EXPECT_EQ(open, failing <= 2 ? 0u : 1u);
    if (cd->tmpFd1 >= 0) {
      EXPECT_EQ(access(cd->tmpName1, F_OK), 0);
      EXPECT_EQ(cd->failFd, cd->tmpFd1);
      unlink(cd->tmpName1);
    }
  }
}

// A definition file: 512 bytes of other contents, then the format
// character, the extension length and the two extensions, taken whole or
// not at all.
std::string Definition(char fmt, char len, const std::string& data, const std::string& isi) {
  std::string b(16, '\0');
  b[0] = fmt;
  b[2] = len;
  b.replace(3, data.size(), data);
  b.replace(8, isi.size(), isi);
  return std::string(512, 'x') + b;
}

TEST_F(OptionsTest, TerminalDefinition) {
  SetEnv("QRX_SYSTEM", dir.path().c_str());
  SetEnv("TERM", "vt");
  dir.write("vt.def", Definition('!', 3, "DAT", "IDX"));
  ASSERT_EQ(Parse("data -1"), kOk);  // read during the parse
  EXPECT_EQ(cd->nameFmtChar, '!');
  EXPECT_EQ(cd->defExtLen, 3);
  EXPECT_STREQ(cd->defDataExt, ".DAT");
  EXPECT_STREQ(cd->defIsiExt, ".IDX");
  // The names come from the first setting that is set.
  ResetContext();
  SetEnv("DBC", "/nowhere");
  SetEnv("VEZOR_DBC", dir.path().c_str());
  SetEnv("VEZOR_TERM", "wy");
  dir.write("wy.def", Definition('#', 4, "DATA", "INDX"));
  ReadTerminalDefinition();
  EXPECT_EQ(cd->nameFmtChar, '#');
  EXPECT_STREQ(cd->defDataExt, ".DATA");
  EXPECT_STREQ(cd->defIsiExt, ".INDX");
  // Unusable files, a missing one and no terminal named: the defaults.
  SetEnv("QRX_SYSTEM", dir.path().c_str());
  SetEnv("TERM", nullptr);
  SetEnv("VEZOR_TERM", nullptr);
  for (const std::string& def :
       {Definition('!', 5, "ABCDE", "FGHIJ"), Definition('\0', 3, "DAT", "IDX"),
        Definition('!', 3, "DAT", "IDX").substr(0, 523), std::string(512, 'x') + "!"}) {
    for (const char* term : {"t", "missing", static_cast<const char*>(nullptr)}) {
      ResetContext();
      dir.write("t.def", def);
      SetEnv("QRX_TERM", term);
      ReadTerminalDefinition();
      EXPECT_EQ(cd->nameFmtChar, '.');
      EXPECT_STREQ(cd->defDataExt, ".TXT");
      EXPECT_STREQ(cd->defIsiExt, ".ISI");
    }
  }
}

TEST_F(OptionsTest, RecordLengthSettledOnceTheDataIsOpen) {
  cd->recLenSpec = 100;
  cd->eorLen = 2;  // CR LF found in the data
  EXPECT_EQ(SettleRecordLength(), kOk);
  EXPECT_EQ(cd->recLenSpec, 102u);
  EXPECT_EQ(cd->recLenFound, 102u);
  ResetContext();
  cd->recLenFound = 51;  // measured from the data
  EXPECT_EQ(SettleRecordLength(), kOk);
  EXPECT_EQ(cd->recLenFound, 51u);
  EXPECT_EQ(cd->recLenSpec, 0u);
  // Binary data must be whole records; g counts its mark in.
  const struct {
    const char* text;
    size_t size;
    Status status;
    uint32_t recLen;
  } cases[] = {{"d -g=80,1", 243, kOk, 81},
               {"d -f=80,1", 160, kOk, 80},
               {"d -f=80,1", 170, kErrRecSizeFileLen, 80}};
  for (const auto& c : cases) {
    ResetContext();
    ASSERT_EQ(Parse(c.text), kOk);
    dir.write("data", std::string(c.size, 'b'));
    cd->inFd = SysOpen(dir.file("data").c_str(), O_RDONLY);
    EXPECT_EQ(SettleRecordLength(), c.status) << c.size;
    EXPECT_EQ(cd->recLenSpec, c.recLen) << c.size;
    EXPECT_EQ(cd->eorLen, 0);
  }
  strcpy(cd->inName, "d.TXT");
  SysSetFaultPlan({kFaultSeek, 1});
  EXPECT_EQ(SettleRecordLength(), kErrFileSize);
  EXPECT_STREQ(cd->msgBuf, "Unable to determine file size for input file: d.TXT");
}

TEST_F(OptionsTest, JobLineKeepsLongNamesWhole) {
  std::string a(255, 'a'), b(255, 'b');
  strcpy(cd->inName, a.c_str());
  strcpy(cd->outName, b.c_str());
  cd->compactFlags = 1;
  ShowJobLine();
  EXPECT_EQ(Output(), "Compacting " + a + " into " + b + "\n");
}

}  // namespace
