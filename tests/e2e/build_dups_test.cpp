// Equal keys through the binary: duplicate sequences in the tree, the lines
// of the duplicate-key error file (CR LF) and of the message stream (LF)
// under the default, e, n, n0 and n$, and an error file that is removed
// when it received nothing.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "e2e_fixture.h"

namespace e2e {
namespace {

class BuildDupsTest : public E2eTest {
 protected:
  // 25 records of 16 bytes: "k19" four times, its second copy arriving in
  // key order just when the first leaf (20 entries) is full; the copies are
  // spread through the file.
  static DataFile Data() {
    std::vector<int> keys = {19, 3,  19, 0,  1,  2,  4,  5,  6,  7,  8,  9, 10,
                             11, 12, 19, 13, 14, 15, 16, 17, 18, 20, 19, 21};
    DataFile d;
    for (size_t i = 0; i < keys.size(); ++i) {
      char body[32];
      snprintf(body, sizeof body, "k%02d       %05zu", keys[i], i);
      d.Rec(body);
    }
    return d;
  }
  // The line for each duplicate of the data, in key order, ended by `end`.
  static std::string Lines(const DataFile& d, const char* lead, const char* end) {
    std::string lines;
    for (const isir::Entry& e : ExpectedEntries(d, {{1, 10}}, 0)) {
      if (e.dupSeq != 0) lines += lead + Hex16(e.recPos) + " Key:" + e.key + " " + end;
    }
    return lines;
  }
};

TEST_F(BuildDupsTest, EachDuplicateOption) {
  DataFile d = Data();
  dir.write("d.txt", d.bytes());
  const std::string kept = "Duplicate Key at:", ignored = "Duplicate Key ignored at:";
  const std::string head = "Indexing d.txt into d.isi\n",
                    counts = "25 records, 0 deleted entries\n";
  const std::string three = "Data file has 3 duplicate key entries.\n";
  struct Case {
    const char* opts;
    int exit;
    std::string messages;
    std::string errFile;  // empty: no error file
    bool firstOnly;
  } cases[] = {
      {"-", 0, head + counts + three + "<time>\n", "", false},
      {"-e", 0, head + counts + three + "<time>\n", Lines(d, kept.c_str(), "\r\n"), false},
      {"-n", 1,
       head + Lines(d, kept.c_str(), "\n") + counts + three +
           "Data file is not in the correct format.  Index file will be deleted.\n",
       Lines(d, kept.c_str(), "\r\n"), false},
      {"-n0", 0, head + Lines(d, ignored.c_str(), "\n") + counts + "<time>\n",
       Lines(d, ignored.c_str(), "\r\n"), true},
      {"-n$", 0, head + counts + "<time>\n", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.opts);
    kt::RunResult r = Run({"d.txt,d.isi", std::string(c.opts) + "1-10"});
    EXPECT_EQ(r.exitCode, c.exit);
    EXPECT_EQ(Messages(r), c.messages);
    EXPECT_EQ(dir.exists("d.ERR"), !c.errFile.empty());
    EXPECT_EQ(dir.read("d.ERR"), c.errFile);
    EXPECT_TRUE(WorkFiles().empty());
    if (c.exit != 0) {
      EXPECT_FALSE(dir.exists("d.isi"));
    } else {
      isir::IsiReader isi;
      std::string err;
      ASSERT_TRUE(isi.LoadFile(dir.file("d.isi"), &err)) << err;
      EXPECT_TRUE(isi.Validate(&err)) << err;
      std::vector<isir::Entry> want = ExpectedEntries(d, {{1, 10}}, 16);
      EXPECT_TRUE(SameEntries(Walk(isi), c.firstOnly ? FirstOfEachKey(want) : want));
      EXPECT_EQ(isi.header().recordCount, 25u);  // dropped keys were delivered all the same
    }
    for (const char* name : {"d.ERR", "d.isi"}) unlink(dir.file(name).c_str());
  }
}

TEST_F(BuildDupsTest, ErrorFileWithoutDuplicatesIsRemoved) {
  dir.write("d.txt", "abc\nabd\nabe\n");
  for (const char* opts : {"-e1-3", "-n1-3", "-n01-3"}) {
    SCOPED_TRACE(opts);
    kt::RunResult r = Run({"d.txt,d.isi", opts});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Messages(r), "Indexing d.txt into d.isi\n3 records, 0 deleted entries\n<time>\n");
    EXPECT_EQ(Files(), (std::vector<std::string>{"d.isi", "d.txt"}));
  }
}

}  // namespace
}  // namespace e2e
