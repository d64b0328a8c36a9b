// The command line stored in an ISI header, as index information (i) and
// reindex (r, r0) find and parse it. The texts a user sees, the older
// header layout and the common refusals are held by the end-to-end tests.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>

#include "options/options_fixture.h"
#include "options/stored_cmd_line.h"

namespace {

// The front of an ISI holding `line`, the data name and a key length, in
// the machine's order or the other one.
std::string IsiFile(const std::string& line, const std::string& dataName, bool swapped = false,
                    uint16_t keyLength = 10) {
  std::string h(2048, '\0');
  h.replace(0, 6, swapped ? "SISI\xFC\x03" : "SISI\x03\xFC");
  h[swapped ? 11 : 10] = static_cast<char>(keyLength & 0xFF);
  h[swapped ? 10 : 11] = static_cast<char>(keyLength >> 8);
  h.replace(240, dataName.size(), dataName);
  h.replace(496, line.size(), line);
  return h;
}

class StoredLineTest : public ot::OptionsTest {
 protected:
  std::string Isi(const std::string& name) { return dir.file(name); }
};

TEST_F(StoredLineTest, ShowsTheStoredLineOnly) {
  dir.write("t.idx", IsiFile("a,b,l100 -un,p11=A,1-10", "/data/a.txt", true));
  EXPECT_EQ(ParseMain(Isi("t.idx") + " -I"), kJobDone);  // an explicit extension, other order
  EXPECT_EQ(Output(), "\nkelindex a,b,l100 -un,p11=A,1-10\n");
  EXPECT_STREQ(cd->outName, Isi("t.idx").c_str());
  EXPECT_STREQ(cd->inName, "/data/a.txt");
  EXPECT_EQ(cd->colCount, 0);         // nothing of the stored line was parsed
  EXPECT_EQ(WorkFiles().size(), 2u);  // left open for the clean-up
  ResetContext();
  strcpy(cd->defIsiExt, ".IX");  // the default extension of the terminal definition
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

// Each leaves no output name, so that the clean-up never deletes the file.
TEST_F(StoredLineTest, Refusals) {
  dir.write("junk.ISI", std::string(2048, 'j'));
  dir.write("longkey.ISI", IsiFile("a,b,-1", "a", true, 151));
  dir.write("loop.ISI", IsiFile(Isi("loop") + " -r", "d"));
  SetEnv("QRXVOL_VOL", ("/" + std::string(300, 'v')).c_str());
  const struct {
    std::string text;
    Status status;
    std::string msg;
  } cases[] = {
      {Isi("junk") + " -i", kErrNotIsi, "Not a valid .isi file " + Isi("junk.ISI")},
      {Isi("longkey") + " -i", kErrCorruptIsi,
       "Damaged ISI structure found in file named:  " + Isi("longkey.ISI") + "."},
      {Isi("loop") + " -r", kErrStoredLine,  // a stored line that asks for another rebuild
       "Invalid input ISI command line format found in file named: " + Isi("loop.ISI") + "."},
      {"x:vol -i", kErrResolveOutput, "Unable to resolve name for output file x:vol"},
      {Isi(std::string(60, 'b')) + " -i", kErrNameTooLong, ""},
  };
  for (const auto& c : cases) {
    ResetContext();
    size_t before = Output().size();
    EXPECT_EQ(ParseMain(c.text), c.status) << c.text;
    if (!c.msg.empty()) {
      EXPECT_EQ(cd->msgBuf, c.msg);
    }
    EXPECT_STREQ(cd->outName, "") << c.text;
    if (c.status != kErrStoredLine) {  // that one shows the line it refuses
      EXPECT_EQ(Output().find("kelindex", before), std::string::npos);
    }
  }
  // The refusal does not stick: a proper rebuild afterwards is parsed.
  ResetContext();
  dir.write("ok.ISI", IsiFile(dir.file("d") + ",x,-1-2,1", "d"));
  EXPECT_EQ(ParseMain(Isi("ok") + " -r"), kErrKeyOverlap);
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
  EXPECT_EQ(cd->colCount, 6);  // keys of the -r command join those of the stored line
  EXPECT_EQ(cd->keySpecTable[0].length, 5);
  EXPECT_EQ(cd->keySpecTable[1].length, 0);
  EXPECT_EQ(WorkFiles().size(), 2u);  // the first work files made way for the rebuild's own
  EXPECT_GE(cd->tmpFd1, 0);
  EXPECT_EQ(cd->failFd, cd->tmpFd1);
  // A stored line that fails returns its status, with r0 from bare names.
  ResetContext();
  const std::string overlap = "/x/y/data,/x/z/idx,-1-10,5-6";
  dir.write("idx.ISI", IsiFile(overlap, "data"));
  EXPECT_EQ(ParseMain(Isi("idx") + " -r0"), kErrKeyOverlap);
  EXPECT_STREQ(cd->inName, "data");
  EXPECT_STREQ(cd->outName, "idx");
  EXPECT_STREQ(cd->storedCmdLine, overlap.c_str());
  EXPECT_EQ(WorkFiles().size(), 2u);
  EXPECT_GE(cd->tmpFd2, 0);
}

}  // namespace
