// The command line stored in an ISI header: index information (i), reindex
// (r, r0), both header layouts and every refusal.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>

#include "options/options_fixture.h"
#include "options/stored_cmd_line.h"

namespace {

// The header and the root and DDR sectors of an ISI in the current layout.
std::string IsiFile(const std::string& line, const std::string& dataName,
                    const char version[2] = "\x03\xFC") {
  std::string h(2048, '\0');
  h.replace(0, 4, "SISI");
  h[4] = version[0];
  h[5] = version[1];
  h.replace(240, dataName.size(), dataName);
  h.replace(496, line.size(), line);
  return h;
}

// The older layout: version word at 52, command line at 128.
std::string OldIsiFile(const std::string& line, const std::string& dataName) {
  std::string h(1024, '\0');
  h[52] = '\x03';
  h[53] = '\xFC';
  h.replace(128, line.size(), line);
  h.replace(240, dataName.size(), dataName);
  return h;
}

class StoredLineTest : public ot::OptionsTest {
 protected:
  std::string Isi(const std::string& name) { return dir.file(name); }
};

TEST_F(StoredLineTest, ShowsTheStoredLine) {
  const std::string line = "test,test,l100 -un,p11=A,1-10,20,30-40";
  dir.write("test.ISI", IsiFile(line, "/data/test.txt"));
  EXPECT_EQ(ParseMain(Isi("test") + " -i"), kJobDone);
  EXPECT_EQ(Output(), "\nkelindex " + line + "\n");
  EXPECT_STREQ(cd->outName, Isi("test.ISI").c_str());
  EXPECT_STREQ(cd->inName, "/data/test.txt");
  EXPECT_EQ(cd->colCount, 0);         // nothing of the stored line was parsed
  EXPECT_EQ(WorkFiles().size(), 2u);  // left open for the clean-up
}

TEST_F(StoredLineTest, OtherByteOrderAndExplicitExtension) {
  dir.write("t.idx", IsiFile("a,b,-1", "a", "\xFC\x03"));
  EXPECT_EQ(ParseMain(Isi("t.idx") + " -I"), kJobDone);
  EXPECT_EQ(Output(), "\nkelindex a,b,-1\n");
}

TEST_F(StoredLineTest, OlderLayout) {
  dir.write("old.ISI", OldIsiFile("old,idx -1-5", "old.txt"));
  EXPECT_EQ(ParseMain(Isi("old") + " -i"), kJobDone);
  EXPECT_EQ(Output(), "\nConverting from 8.x to 9.x format\n\nkelindex old,idx -1-5\n");
  EXPECT_STREQ(cd->inName, "old.txt");
}

TEST_F(StoredLineTest, LongStoredLineIsShownWhole) {
  std::string line = "d,i -1" + std::string(521, ',');
  ASSERT_EQ(line.size(), 527u);
  dir.write("long.ISI", IsiFile(line, "d"));
  EXPECT_EQ(ParseMain(Isi("long") + " -i"), kJobDone);
  EXPECT_EQ(Output(), "\nkelindex " + line + "\n");
}

TEST_F(StoredLineTest, DefaultExtensionFromTheTerminalDefinition) {
  strcpy(cd->defIsiExt, ".IX");
  dir.write("t.IX", IsiFile("t,,-1", "t"));
  EXPECT_EQ(ParseMain(Isi("t") + " -i"), kJobDone);
}

TEST_F(StoredLineTest, FoundAlongTheDataPath) {
  ASSERT_EQ(mkdir(dir.file("b").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dir.file("cwd").c_str(), 0755), 0);
  dir.write("b/test.ISI", IsiFile("x,y,-1", "x"));
  SetEnv("DBPATH", dir.file("b").c_str());
  char old[PATH_MAX];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(dir.file("cwd").c_str()), 0);
  Status st = ParseMain("test -i");
  ASSERT_EQ(chdir(old), 0);
  EXPECT_EQ(st, kJobDone);
  EXPECT_EQ(std::string(cd->outName), dir.file("b") + "/test.ISI");
}

TEST_F(StoredLineTest, Refusals) {
  dir.write("junk.ISI", std::string(2048, 'j'));
  dir.write("short.ISI", IsiFile("a,b,-1", "a").substr(0, 100));
  dir.write("empty.ISI", IsiFile("", "a"));
  const struct {
    std::string name;
    Status status;
    std::string msg;
  } cases[] = {
      {"junk", kErrNotIsi, "Not a valid .isi file " + Isi("junk.ISI")},
      {"short", kErrNotIsi, "Not a valid .isi file " + Isi("short.ISI")},
      {"none", kErrOpenIsi, "Can't open .isi file " + Isi("none.ISI")},
      {"empty", kErrNoKeyInfo, "No key information available for " + Isi("empty.ISI")},
  };
  for (const auto& c : cases) {
    ResetContext();
    strcpy(cd->msgBuf, "");
    EXPECT_EQ(ParseMain(Isi(c.name) + " -i"), c.status) << c.name;
    EXPECT_EQ(cd->msgBuf, c.msg);
    EXPECT_STREQ(cd->outName, "");  // the clean-up must not delete the ISI
    EXPECT_EQ(Output().find("kelindex"), std::string::npos);
  }
  EXPECT_TRUE(dir.exists("junk.ISI"));
}

TEST_F(StoredLineTest, NamesThatCannotBeUsed) {
  SetEnv("QRXVOL_VOL", ("/" + std::string(300, 'v')).c_str());
  EXPECT_EQ(ParseMain("x:vol -i"), kErrResolveOutput);
  EXPECT_STREQ(cd->msgBuf, "Unable to resolve name for output file x:vol");
  EXPECT_STREQ(cd->outName, "");
  ResetContext();
  EXPECT_EQ(ParseMain(Isi(std::string(60, 'b')) + " -i"), kErrNameTooLong);
  EXPECT_STREQ(cd->outName, "");
}

TEST_F(StoredLineTest, ReindexParsesTheStoredLine) {
  const std::string line = dir.file("data") + "," + dir.file("idx") + ",-1-5,x";
  dir.write("idx.ISI", IsiFile(line, "data"));
  // The job that follows depends on the data file; the parse is checked.
  ParseMain(Isi("idx") + " -r,20");
  EXPECT_EQ(Output().substr(0, line.size() + 11), "\nkelindex " + line + "\n");
  EXPECT_EQ(cd->reindex, 0);
  EXPECT_STREQ(cd->storedCmdLine, line.c_str());
  EXPECT_EQ(cd->showRecCount, 0);
  // Keys on the -r command join those of the stored line.
  EXPECT_EQ(cd->colCount, 6);
  EXPECT_EQ(cd->keySpecTable[0].length, 5);
  EXPECT_EQ(cd->keySpecTable[1].length, 0);
  // The first work files made way for the rebuild's own.
  EXPECT_EQ(WorkFiles().size(), 2u);
  EXPECT_GE(cd->tmpFd1, 0);
  EXPECT_EQ(cd->failFd, cd->tmpFd1);
}

TEST_F(StoredLineTest, FailingStoredLineReturnsItsStatus) {
  dir.write("idx.ISI", IsiFile(dir.file("d") + ",idx,-1-10,5-6", "d"));
  EXPECT_EQ(ParseMain(Isi("idx") + " -r"), kErrKeyOverlap);
  EXPECT_EQ(WorkFiles().size(), 2u);
  EXPECT_GE(cd->tmpFd2, 0);
}

TEST_F(StoredLineTest, ReindexWithoutPaths) {
  const std::string line = "/x/y/data,/x/z/idx,-1-10,5-6";
  dir.write("idx.ISI", IsiFile(line, "data"));
  EXPECT_EQ(ParseMain(Isi("idx") + " -r0"), kErrKeyOverlap);
  EXPECT_STREQ(cd->inName, "data");
  EXPECT_STREQ(cd->outName, "idx");
  EXPECT_STREQ(cd->storedCmdLine, line.c_str());
}

TEST_F(StoredLineTest, StoredLineAskingForAnotherRebuildIsRefused) {
  dir.write("loop.ISI", IsiFile(Isi("loop") + " -r", "d"));
  EXPECT_EQ(ParseMain(Isi("loop") + " -r"), kErrStoredLine);
  EXPECT_EQ(std::string(cd->msgBuf),
            "Invalid input ISI command line format found in file named: " + Isi("loop.ISI") + ".");
  EXPECT_STREQ(cd->outName, "");
  // The refusal does not stick: a proper rebuild afterwards is parsed.
  ResetContext();
  dir.write("ok.ISI", IsiFile(dir.file("d") + ",x,-1-2,1", "d"));
  EXPECT_EQ(ParseMain(Isi("ok") + " -r"), kErrKeyOverlap);
}

}  // namespace
