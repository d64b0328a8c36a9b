// The two work files: where they are made, their names, and every way their
// creation can fail.
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

bool Exists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
}

TEST_F(OptionsTest, WorkFilesInTmpdir) {
  SetEnv("TMPDIR", (dir.path() + "/").c_str());  // one trailing '/' is dropped
  ASSERT_EQ(Parse("data -1"), kOk);
  std::regex name(dir.path() + "/dsort[A-Za-z0-9]{6}");
  EXPECT_TRUE(std::regex_match(cd->tmpName1, name)) << cd->tmpName1;
  EXPECT_TRUE(std::regex_match(cd->tmpName2, name)) << cd->tmpName2;
  EXPECT_STRNE(cd->tmpName1, cd->tmpName2);
  EXPECT_EQ(WorkFiles().size(), 2u);
  EXPECT_EQ(cd->failFd, cd->tmpFd1);
  EXPECT_EQ(cd->mergeInFd, cd->tmpFd2);
  EXPECT_EQ(write(cd->tmpFd1, "x", 1), 1);  // open read-write
}

TEST_F(OptionsTest, WorkFilesInTheFourthField) {
  ASSERT_EQ(mkdir(dir.file("w").c_str(), 0755), 0);
  ASSERT_EQ(Parse("data,,," + dir.file("w") + " -1"), kOk);
  EXPECT_EQ(std::string(cd->tmpName1).rfind(dir.file("w") + "/dsort", 0), 0u);
  EXPECT_TRUE(WorkFiles().empty());
}

TEST_F(OptionsTest, WorkFilesInTmpWithoutTmpdir) {
  SetEnv("TMPDIR", nullptr);
  ASSERT_EQ(Parse("data -1"), kOk);
  std::string n1 = cd->tmpName1, n2 = cd->tmpName2;
  EXPECT_TRUE(std::regex_match(n1, std::regex("/tmp/dsort[A-Za-z0-9]{6}"))) << n1;
  unlink(n1.c_str());
  unlink(n2.c_str());
}

TEST_F(OptionsTest, WorkFileDiagnostics) {
  cd->diagMode = 1;
  ASSERT_EQ(Parse("data -1"), kOk);
  std::string expected = "Command line is:data -1\nTemporary file path is:\nCreated " +
                         std::string(cd->tmpName1) + " as temp file 1\nCreated " +
                         std::string(cd->tmpName2) + " as temp file 2\n";
  EXPECT_EQ(Output().substr(0, expected.size()), expected);
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
class WorkFileFaults : public OptionsTest, public ::testing::WithParamInterface<int> {};

TEST_P(WorkFileFaults, FailedCreationLeavesOnlyNamedOpenFiles) {
  FaultPlan plan;
  plan.classes = kFaultOpen;
  plan.failAt = static_cast<uint64_t>(GetParam());
  plan.err = EACCES;
  SysSetFaultPlan(plan);
  EXPECT_EQ(Parse("data -1"), kErrTempFiles);
  ASSERT_TRUE(SysFaultFired());
  // Every file left behind is open and named, so the clean-up removes it.
  size_t open = (cd->tmpFd1 >= 0) + (cd->tmpFd2 >= 0);
  EXPECT_EQ(WorkFiles().size(), open);
  EXPECT_EQ(open, GetParam() <= 2 ? 0u : 1u);
  if (cd->tmpFd1 >= 0) {
    EXPECT_TRUE(Exists(cd->tmpName1));
    EXPECT_EQ(cd->failFd, cd->tmpFd1);
  }
}

INSTANTIATE_TEST_SUITE_P(EachOpen, WorkFileFaults, ::testing::Values(1, 2, 3, 4));

}  // namespace
