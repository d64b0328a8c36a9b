// The command line an index keeps in its header, through the binary: shown
// by -i, rebuilt by -r into the same bytes, rebuilt by -r0 from the current
// directory, read from an older header layout, and the refusals that leave
// the named file untouched.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "e2e_fixture.h"

namespace e2e {
namespace {

class ReindexTest : public E2eTest {
 protected:
  // Records of 100 bytes; every other one has 'A' in column 11.
  static std::string TestData() {
    std::string data;
    for (int i = 0; i < 60; ++i) {
      std::string rec(100, '.');
      rec.replace(0, 8, "name" + std::to_string(1000 + (i * 17) % 60));
      rec[10] = i % 2 == 0 ? 'A' : 'B';
      rec.replace(29, 5, "city" + std::to_string(i % 7));
      data += rec + "\n";
    }
    return data;
  }
  // A header of the earlier layout: version word at 52, the stored line at
  // 128, the data file name at 240.
  static std::string OldHeader(const std::string& line, const std::string& name) {
    std::string h(2048, '\0');
    h[52] = 0x03;
    h[53] = static_cast<char>(0xFC);
    h.replace(128, line.size(), line);
    h.replace(240, name.size(), name);
    return h;
  }
};

TEST_F(ReindexTest, InfoShowsTheLineAndRebuildGivesTheSameBytes) {
  const std::string line = "test,test,l100 -un,p11=A,1-10,20,30-40";
  dir.write("test.TXT", TestData());
  isir::IsiReader isi;
  ASSERT_TRUE(BuildAndLoad({"test,test,l100", "-un,p11=A,1-10,20,30-40"}, "test.ISI", &isi));
  EXPECT_EQ(isi.header().cmdLine, line);
  EXPECT_EQ(Walk(isi).size(), 30u);
  const std::string built = isi.bytes();

  for (const char* name : {"test.ISI", "test"}) {
    kt::RunResult r = Run({name, "-i"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Messages(r), "\nkelindex " + line + "\n");
    EXPECT_EQ(Files(), (std::vector<std::string>{"test.ISI", "test.TXT"}));
    EXPECT_TRUE(WorkFiles().empty());
  }
  kt::RunResult r = Run({"test", "-r"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(Messages(r), "\nkelindex " + line +
                             "\nIndexing test.TXT into test.ISI\n30 records, 0 deleted entries\n"
                             "<time>\n");
  EXPECT_TRUE(SameBytes(dir.read("test.ISI"), built));
  EXPECT_TRUE(WorkFiles().empty());
}

TEST_F(ReindexTest, LongestStoredLineFillsTheHeader) {
  // "././..." spells long names for files in this directory: 245 + 1 + 245
  // + 1 characters of fields and 35 of options make 527.
  std::string dots;
  for (int i = 0; i < 120; ++i) dots += "./";
  std::string keys = "-1-10";
  for (int c = 11; c <= 20; ++c) keys += "," + std::to_string(c);
  const std::string fields = dots + "d.txt," + dots + "d.isi";
  const std::string line = fields + "," + keys;
  ASSERT_EQ(line.size(), 527u);
  std::string data;
  for (int i = 0; i < 50; ++i)
    data += "key" + std::to_string(100 + (i * 7) % 50) + "              \n";
  dir.write("d.txt", data);
  isir::IsiReader isi;
  ASSERT_TRUE(BuildAndLoad({fields, keys}, "d.isi", &isi));
  EXPECT_EQ(isi.header().cmdLine, line);
  EXPECT_EQ(isi.bytes()[1023], '\0');
  const std::string built = isi.bytes();

  kt::RunResult r = Run({"d.isi", "-i"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(Messages(r), "\nkelindex " + line + "\n");
  r = Run({"d.isi", "-r"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(SameBytes(dir.read("d.isi"), built));

  // One key column more does not fit; the index of that name stays.
  r = Run({fields, keys + ",21"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(Messages(r),
            "The command line is too long to store in the ISI header (at most 527 characters).\n");
  EXPECT_EQ(dir.read("d.isi"), built);
  EXPECT_TRUE(WorkFiles().empty());
}

TEST_F(ReindexTest, R0LooksForTheFilesInTheCurrentDirectory) {
  ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0700), 0);
  dir.write("sub/d.txt", "key3\nkey1\nkey2\n");
  isir::IsiReader isi;
  ASSERT_TRUE(BuildAndLoad({"sub/d.txt,sub/d.isi", "-1-4"}, "sub/d.isi", &isi));
  const std::string built = isi.bytes();
  EXPECT_EQ(isi.header().dataName, "sub/d.txt");

  kt::RunOptions inSub;
  inSub.cwd = dir.file("sub");
  // -r follows the stored directories, which are wrong from here; the
  // index it could not rebuild is left as it was.
  kt::RunResult r = Run({"d.isi", "-r"}, inSub);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(Messages(r), "\nkelindex sub/d.txt,sub/d.isi,-1-4\nCan't open source file sub/d.txt\n");
  EXPECT_EQ(dir.read("sub/d.isi"), built);

  r = Run({"d.isi", "-r0"}, inSub);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(Messages(r),
            "\nkelindex sub/d.txt,sub/d.isi,-1-4\nIndexing d.txt into d.isi\n"
            "3 records, 0 deleted entries\n<time>\n");
  // The same index; only the data name lost its directory. The stored line
  // keeps the names as they were stored.
  std::string want = built;
  want.replace(240, 256, "d.txt" + std::string(251, '\0'));
  EXPECT_TRUE(SameBytes(dir.read("sub/d.isi"), want));
  EXPECT_EQ(Files(), std::vector<std::string>{"sub"});
  EXPECT_TRUE(WorkFiles().empty());

  // An option given with -r stays in force for the rebuild: z keeps only
  // the data file's name, here from the directory the stored names suit.
  ASSERT_TRUE(BuildAndLoad({"sub/d.txt,sub/d.isi", "-1-4"}, "sub/d.isi", &isi));
  r = Run({"sub/d.isi", "-rz"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(SameBytes(dir.read("sub/d.isi"), want));
}

TEST_F(ReindexTest, OlderHeaderLayoutIsReadAndRebuiltInTheCurrentOne) {
  dir.write("old.txt", "ccccc\naaaaa\nbbbbb\n");
  dir.write("old.isi", OldHeader("old.txt,old.isi,-1-5", "old.txt"));
  const std::string shown =
      "\nConverting from 8.x to 9.x format\n\nkelindex old.txt,old.isi,-1-5\n";
  kt::RunResult r = Run({"old.isi", "-i"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(Messages(r), shown);

  r = Run({"old.isi", "-r"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(Messages(r),
            shown + "Indexing old.txt into old.isi\n3 records, 0 deleted entries\n<time>\n");
  isir::IsiReader isi;
  std::string err;
  ASSERT_TRUE(isi.LoadFile(dir.file("old.isi"), &err)) << err;
  EXPECT_TRUE(isi.Validate(&err)) << err;
  EXPECT_EQ(isi.header().cmdLine, "old.txt,old.isi,-1-5");
  EXPECT_EQ(Walk(isi).size(), 3u);
}

TEST_F(ReindexTest, RefusalsLeaveTheFileAlone) {
  std::string noLine(2048, '\0');
  noLine.replace(0, 6, "SISI\x03\xFC");
  dir.write("empty.isi", noLine);
  dir.write("bad.isi", std::string(1500, 'x'));
  dir.write("short.isi", "SISI\x03\xFC");
  const struct {
    const char* name;
    const char* text;
  } cases[] = {
      {"none", "Can't open .isi file none.ISI\n"},
      {"bad.isi", "Not a valid .isi file bad.isi\n"},
      {"short.isi", "Not a valid .isi file short.isi\n"},
      {"empty.isi", "No key information available for empty.isi\n"},
  };
  for (const auto& c : cases) {
    for (const char* opt : {"-i", "-r"}) {
      SCOPED_TRACE(std::string(c.name) + " " + opt);
      kt::RunResult r = Run({c.name, opt});
      EXPECT_EQ(r.exitCode, 1);
      EXPECT_EQ(Messages(r), c.text);
      EXPECT_EQ(Files(), (std::vector<std::string>{"bad.isi", "empty.isi", "short.isi"}));
      EXPECT_TRUE(WorkFiles().empty());
    }
  }
  EXPECT_EQ(dir.read("empty.isi"), noLine);
  EXPECT_EQ(dir.read("bad.isi"), std::string(1500, 'x'));
}

}  // namespace
}  // namespace e2e
