// Profile and environment lookup: the line reader, the section and key
// rules, and the fall-back to the process environment.
#include "driver/profile.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver_fixture.h"

namespace {

class ProfileTest : public kt::DriverTest {
 protected:
  void TearDown() override {
    unsetenv("KT_PROFILE_VAR");
    kt::DriverTest::TearDown();
  }

  // Writes `text` as the profile and names it with -i.
  void UseProfile(const std::string& text) {
    dir.write("prof.ini", text);
    snprintf(pCmdData->iniName, kIniNameSize, "%s", dir.file("prof.ini").c_str());
  }

  std::string Lookup(const char* key, uint32_t size = 4097) {
    std::vector<char> buf(size + 1, '#');
    uint32_t n =
        GetQrxProfileStringUtil("environment", key, "dflt", buf.data(), size, pCmdData->iniName);
    EXPECT_EQ(n, strlen(buf.data()));
    return buf.data();
  }

  // Every line the reader yields for `text`, with the byte counts.
  std::vector<std::pair<std::string, uint32_t>> ReadLines(const std::string& text) {
    dir.write("lines", text);
    int fd = SysOpen(dir.file("lines").c_str(), O_RDONLY);
    pCmdData->iniGuard = 0;
    pCmdData->iniLeft = 0;
    std::vector<std::pair<std::string, uint32_t>> lines;
    while (uint32_t n = ReadProfileLine(fd)) lines.emplace_back(pCmdData->iniLine, n);
    SysClose(fd);
    return lines;
  }
};

TEST_F(ProfileTest, WithoutProfileCmdGetEnvIsGetenv) {
  setenv("KT_PROFILE_VAR", "from-env", 1);
  EXPECT_EQ(CmdGetEnv("KT_PROFILE_VAR"), getenv("KT_PROFILE_VAR"));
  setenv("KT_PROFILE_VAR", "", 1);
  ASSERT_NE(CmdGetEnv("KT_PROFILE_VAR"), nullptr);
  EXPECT_STREQ(CmdGetEnv("KT_PROFILE_VAR"), "");
  unsetenv("KT_PROFILE_VAR");
  EXPECT_EQ(CmdGetEnv("KT_PROFILE_VAR"), nullptr);
  pCmdData = nullptr;  // no run context at all
  EXPECT_EQ(CmdGetEnv("KT_PROFILE_VAR"), nullptr);
  pCmdData = &gCmdData;
}

TEST_F(ProfileTest, ProfileEntryOverridesEnvironment) {
  setenv("KT_PROFILE_VAR", "from-env", 1);
  UseProfile("[environment]\nKT_PROFILE_VAR=from-profile\n");
  EXPECT_STREQ(CmdGetEnv("KT_PROFILE_VAR"), "from-profile");
  EXPECT_STREQ(CmdGetEnv("KT_OTHER_VAR"), nullptr);
}

TEST_F(ProfileTest, EmptyOrMissingValueFallsBackToEnvironment) {
  setenv("KT_PROFILE_VAR", "/env/tmp", 1);
  UseProfile("[environment]\nKT_PROFILE_VAR=   \n");
  EXPECT_STREQ(CmdGetEnv("KT_PROFILE_VAR"), "/env/tmp");
  UseProfile("[other]\nKT_PROFILE_VAR=x\n");
  EXPECT_STREQ(CmdGetEnv("KT_PROFILE_VAR"), "/env/tmp");
  snprintf(pCmdData->iniName, kIniNameSize, "%s", dir.file("missing.ini").c_str());
  EXPECT_STREQ(CmdGetEnv("KT_PROFILE_VAR"), "/env/tmp");
}

TEST_F(ProfileTest, KeyKeepsLeadingBlanksAndComparesWithoutCase) {
  UseProfile("[ Environment\t]\n  dbpath = /data/x\n");
  EXPECT_EQ(Lookup("DBPATH"), "dflt");
  UseProfile("[ENVIRONMENT]\nDbPath=  /data/x \t\n");
  EXPECT_EQ(Lookup("DBPATH"), "/data/x");
  EXPECT_EQ(Lookup("dbpath"), "/data/x");
}

TEST_F(ProfileTest, FirstSectionAndFirstKeyWin) {
  UseProfile(
      "junk line\nA=outside\n[environment]\nA = first\nA = second\n[environment]\nB=later\n");
  EXPECT_EQ(Lookup("A"), "first");
  // The section ended at the next '[' line: a key of a later section of
  // the same name is not seen.
  EXPECT_EQ(Lookup("B"), "dflt");
}

TEST_F(ProfileTest, LineStartingWithBracketEndsSectionEvenWithoutClose) {
  UseProfile("[environment]\n[not a header\nA=1\n");
  EXPECT_EQ(Lookup("A"), "dflt");
  UseProfile("[environment]\n; A=comment is just a key line\nX=1=2\n");
  EXPECT_EQ(Lookup("X"), "1=2");
  EXPECT_EQ(Lookup("; A"), "comment is just a key line");
}

TEST_F(ProfileTest, WindowsLineEndsGiveTheSameValues) {
  UseProfile("[environment]\r\nA=one\r\n\r\nB = two \r\n");
  EXPECT_EQ(Lookup("A"), "one");
  EXPECT_EQ(Lookup("B"), "two");
}

TEST_F(ProfileTest, LastLineWithoutLineEnd) {
  UseProfile("[environment]\nA=1\nLAST=tail");
  EXPECT_EQ(Lookup("LAST"), "tail");
  // The line end added behind a last line follows a carriage return the
  // same way as a real one.
  UseProfile("[environment]\r\nLAST=tail\r");
  EXPECT_EQ(Lookup("LAST"), "tail");
}

TEST_F(ProfileTest, ValueCutToBufferSize) {
  UseProfile("[environment]\nA=abcdefgh\n");
  EXPECT_EQ(Lookup("A", 5), "abcd");
  EXPECT_EQ(Lookup("MISSING", 3), "df");  // the default is cut the same way
}

// A line is at most one 900-byte window, so no value reaches the 4,096
// characters envValue holds: a longer line is cut into pieces, each a line.
TEST_F(ProfileTest, LongLineIsCutIntoWindowPieces) {
  std::string longValue(5000, 'v');
  UseProfile("[environment]\nLONG=" + longValue + "\nAFTER=ok\n");
  const char* v = CmdGetEnv("LONG");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(std::string(v), std::string(895, 'v'));  // 900 bytes less "LONG="
  EXPECT_STREQ(CmdGetEnv("AFTER"), "ok");
  // A piece that holds '=' is a key line of its own.
  UseProfile("[environment]\n" + std::string(900, 'p') + "PIECE=2\n");
  EXPECT_STREQ(CmdGetEnv("PIECE"), "2");
}

TEST_F(ProfileTest, ReaderReturnsLinesAcrossWindowRefills) {
  std::string text;
  std::vector<std::string> expected;
  for (int i = 0; i < 400; ++i) {
    expected.push_back("line" + std::to_string(i));
    text += expected.back() + (i % 2 ? "\r\n" : "\n");
  }
  auto lines = ReadLines(text);
  ASSERT_EQ(lines.size(), expected.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].first, expected[i]);
    EXPECT_EQ(lines[i].second, expected[i].size() + (i % 2 ? 2 : 1));
  }
}

TEST_F(ProfileTest, ReaderCountsEmptyLinesAndPieces) {
  auto lines = ReadLines("\n\r\nx");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], std::make_pair(std::string(), 1u));
  EXPECT_EQ(lines[1], std::make_pair(std::string(), 2u));
  EXPECT_EQ(lines[2], std::make_pair(std::string("x"), 2u));  // the line end it was given
  lines = ReadLines(std::string(1801, 'z') + "\n");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].second, 900u);
  EXPECT_EQ(lines[0].first.size(), 900u);
  EXPECT_EQ(lines[1].second, 900u);
  EXPECT_EQ(lines[2], std::make_pair(std::string("z"), 2u));
  EXPECT_TRUE(ReadLines("").empty());
}

TEST_F(ProfileTest, UnreadableProfileYieldsTheDefault) {
  UseProfile("[environment]\nA=1\n");
  FaultPlan plan;
  plan.classes = kFaultOpen;
  plan.failAt = 1;
  plan.err = EACCES;
  SysSetFaultPlan(plan);
  EXPECT_EQ(Lookup("A"), "dflt");
  plan.classes = kFaultRead;
  SysSetFaultPlan(plan);  // a read error ends the file
  EXPECT_EQ(Lookup("A"), "dflt");
  SysSetFaultPlan(FaultPlan{});
  EXPECT_EQ(Lookup("A"), "1");
}

TEST_F(ProfileTest, ProfileIsReadAnewOnEveryLookup) {
  UseProfile("[environment]\nA=old\n");
  EXPECT_STREQ(CmdGetEnv("A"), "old");
  UseProfile("[environment]\nA=new\n");
  EXPECT_STREQ(CmdGetEnv("A"), "new");
}

TEST_F(ProfileTest, OverlongProfileNameYieldsTheDefault) {
  std::string name(kNameSize, 'n');
  char buf[16];
  EXPECT_EQ(GetQrxProfileStringUtil("environment", "A", "d", buf, sizeof buf, name.c_str()), 1u);
  EXPECT_STREQ(buf, "d");
  EXPECT_EQ(GetQrxProfileStringUtil("environment", "A", nullptr, buf, sizeof buf, name.c_str()),
            0u);
  EXPECT_STREQ(buf, "");
}

}  // namespace
