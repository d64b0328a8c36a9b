// Profile and environment lookup: the line reader, the section and key
// rules, and the fall-back to the process environment.
#include "driver/profile.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
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

TEST_F(ProfileTest, EnvironmentAndProfile) {
  setenv("KT_PROFILE_VAR", "", 1);  // without a profile: getenv itself
  EXPECT_EQ(CmdGetEnv("KT_PROFILE_VAR"), getenv("KT_PROFILE_VAR"));
  unsetenv("KT_PROFILE_VAR");
  EXPECT_EQ(CmdGetEnv("KT_PROFILE_VAR"), nullptr);
  pCmdData = nullptr;  // no run context at all
  EXPECT_EQ(CmdGetEnv("KT_PROFILE_VAR"), nullptr);
  pCmdData = &gCmdData;
  setenv("KT_PROFILE_VAR", "from-env", 1);
  UseProfile("[environment]\nKT_PROFILE_VAR=from-profile\n");
  EXPECT_STREQ(CmdGetEnv("KT_PROFILE_VAR"), "from-profile");
  EXPECT_STREQ(CmdGetEnv("KT_OTHER_VAR"), nullptr);
  // An empty value, another section or no profile file: the environment.
  for (const char* text : {"[environment]\nKT_PROFILE_VAR=   \n", "[other]\nKT_PROFILE_VAR=x\n"}) {
    UseProfile(text);
    EXPECT_STREQ(CmdGetEnv("KT_PROFILE_VAR"), "from-env") << text;
  }
  snprintf(pCmdData->iniName, kIniNameSize, "%s", dir.file("missing.ini").c_str());
  EXPECT_STREQ(CmdGetEnv("KT_PROFILE_VAR"), "from-env");
}

TEST_F(ProfileTest, SectionAndKeyRules) {
  const struct {
    const char* profile;
    const char* key;
    const char* value;
    uint32_t size = 4097;
  } cases[] = {
      {"[ Environment\t]\n  dbpath = /data/x\n", "DBPATH", "dflt"},   // the key keeps its blanks
      {"[ENVIRONMENT]\nDbPath=  /data/x \t\n", "DBPATH", "/data/x"},  // case does not matter
      {"[ENVIRONMENT]\nDbPath=  /data/x \t\n", "dbpath", "/data/x"},
      {"junk\nA=outside\n[environment]\nA = first\nA = second\n[environment]\nB=later\n", "A",
       "first"},
      // The section ends at the next '[' line: a later one of the same name is not seen.
      {"junk\nA=outside\n[environment]\nA = first\nA = second\n[environment]\nB=later\n", "B",
       "dflt"},
      {"[environment]\n[not a header\nA=1\n", "A", "dflt"},
      {"[environment]\n; A=comment is just a key line\nX=1=2\n", "X", "1=2"},
      {"[environment]\n; A=comment is just a key line\nX=1=2\n", "; A",
       "comment is just a key line"},
      {"[environment]\r\nA=one\r\n\r\nB = two \r\n", "B", "two"},
      {"[environment]\nA=1\nLAST=tail", "LAST", "tail"},  // a last line without line end
      {"[environment]\r\nLAST=tail\r", "LAST", "tail"},
      {"[environment]\nA=abcdefgh\n", "A", "abcd", 5},  // cut to the buffer
      {"[environment]\nA=abcdefgh\n", "MISSING", "df", 3},
  };
  for (const auto& c : cases) {
    UseProfile(c.profile);
    EXPECT_EQ(Lookup(c.key, c.size), c.value) << c.profile << " " << c.key;
  }
}

// A line is at most one 900-byte window, so no value reaches the 4,096
// characters envValue holds: a longer line is cut into pieces, each a line.
TEST_F(ProfileTest, LongLineIsCutIntoWindowPieces) {
  UseProfile("[environment]\nLONG=" + std::string(5000, 'v') + "\nAFTER=ok\n");
  ASSERT_NE(CmdGetEnv("LONG"), nullptr);
  EXPECT_EQ(std::string(CmdGetEnv("LONG")), std::string(895, 'v'));  // 900 less "LONG="
  EXPECT_STREQ(CmdGetEnv("AFTER"), "ok");
  UseProfile("[environment]\n" + std::string(900, 'p') + "PIECE=2\n");
  EXPECT_STREQ(CmdGetEnv("PIECE"), "2");  // a piece that holds '=' is a key line of its own
}

TEST_F(ProfileTest, ReaderReturnsLinesAcrossWindowRefillsAndCountsTheirBytes) {
  std::string text;
  for (int i = 0; i < 400; ++i) text += "line" + std::to_string(i) + (i % 2 ? "\r\n" : "\n");
  auto lines = ReadLines(text);
  ASSERT_EQ(lines.size(), 400u);
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].first, "line" + std::to_string(i));
    EXPECT_EQ(lines[i].second, lines[i].first.size() + (i % 2 ? 2 : 1));
  }
  using Line = std::pair<std::string, uint32_t>;
  EXPECT_EQ(ReadLines("\n\r\nx"), (std::vector<Line>{{"", 1}, {"", 2}, {"x", 2}}));
  lines = ReadLines(std::string(1801, 'z') + "\n");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], Line(std::string(900, 'z'), 900));
  EXPECT_EQ(lines[1].second, 900u);
  EXPECT_EQ(lines[2], Line("z", 2));  // the line end it was given
  EXPECT_TRUE(ReadLines("").empty());
}

TEST_F(ProfileTest, UnreadableOrUnnamableProfileYieldsTheDefault) {
  UseProfile("[environment]\nA=1\n");
  for (uint32_t failing : {kFaultOpen, kFaultRead}) {  // a read error ends the file
    SysSetFaultPlan({failing, 1, EACCES});
    EXPECT_EQ(Lookup("A"), "dflt");
  }
  SysSetFaultPlan(FaultPlan{});
  EXPECT_EQ(Lookup("A"), "1");
  std::string name(kNameSize, 'n');
  char buf[16];
  EXPECT_EQ(GetQrxProfileStringUtil("environment", "A", "d", buf, sizeof buf, name.c_str()), 1u);
  EXPECT_STREQ(buf, "d");
  EXPECT_EQ(GetQrxProfileStringUtil("environment", "A", nullptr, buf, sizeof buf, name.c_str()),
            0u);
  EXPECT_STREQ(buf, "");
}

}  // namespace
