// What the records of the data make of a built index: the deleted-record
// chain, equal keys under each duplicate option with the lines of the
// message stream (LF) and the error file (CR LF), the reports on the data
// and the verdict that deletes an index over data not in the promised
// format, and primary-record selection.
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "e2e_fixture.h"

namespace e2e {
namespace {

class BuildRecordsTest : public E2eTest {};

// Live records of 11 bytes (10 + LF) with keys out of order, deleted ones
// spread among them, a live record last so that the record length is
// measured from it. The chain holds record numbers, newest sector first.
TEST_F(BuildRecordsTest, DeletedRecordChains) {
  struct Sector {
    uint32_t pos, link;
    size_t first, count;  // a run of the deleted records, in file order
  };
  const struct {
    int deleted, live;
    std::string opts;
    std::vector<Sector> chain;
    size_t fileSectors;  // 0: not checked
  } cases[] = {
      {126, 1, "-", {{3, 0xFFFFFFFF, 0, 126}}, 4},                  // they fit the head sector
      {127, 1, "-", {{3, 4, 126, 1}, {4, 0xFFFFFFFF, 0, 126}}, 5},  // one full sector spills
      {300, 300, "-", {{3, 5, 252, 48}, {5, 4, 126, 126}, {4, 0xFFFFFFFF, 0, 126}}, 0},
      {127, 1, "-w", {}, 4},  // w keeps none but counts them
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.opts + std::to_string(c.deleted));
    DataFile d;
    for (int i = 0; i < c.live || i < c.deleted; ++i) {
      char body[16];
      snprintf(body, sizeof body, "r%09d", (i * 7919) % 1000);
      if (i < c.live) d.Rec(body);
      if (i < c.deleted) d.Deleted(11);
    }
    d.Rec("zzzzzzzzzz");
    dir.write("d.txt", d.bytes());
    isir::IsiReader isi;
    kt::RunResult r;
    ASSERT_TRUE(BuildAndLoad({"d.txt,d.isi", c.opts + "1-10"}, "d.isi", &isi, &r));
    EXPECT_EQ(Messages(r), "Indexing d.txt into d.isi\n" + std::to_string(c.live + 1) +
                               " records, " + std::to_string(c.deleted) +
                               " deleted entries\n<time>\n");
    EXPECT_EQ(isi.header().deletedCount, static_cast<uint32_t>(c.deleted));
    EXPECT_EQ(isi.header().dataLength, static_cast<uint32_t>(c.live + c.deleted + 1));
    EXPECT_EQ(isi.header().ddrHead, c.chain.empty() ? 0xFFFFFFFFu : c.chain[0].pos);
    std::vector<isir::DdrSector> chain;
    ASSERT_TRUE(isi.DdrChain(&chain));
    ASSERT_EQ(chain.size(), c.chain.size());
    for (size_t i = 0; i < chain.size(); ++i) {
      const Sector& w = c.chain[i];
      EXPECT_EQ(chain[i].pos, w.pos);
      EXPECT_EQ(chain[i].link, w.link);
      EXPECT_EQ(chain[i].mark1 * 256 + chain[i].mark2, 0xF9FD);
      std::vector<uint32_t> want;
      for (size_t k = w.first; k < w.first + w.count; ++k) want.push_back(d.deleted()[k] / 11);
      EXPECT_EQ(chain[i].positions, want) << "sector " << w.pos;
    }
    if (c.chain.empty()) {
      EXPECT_EQ(isi.bytes().substr(1536, 512), std::string(512, '\0'));
    }
    if (c.fileSectors != 0) {
      EXPECT_EQ(isi.bytes().size(), c.fileSectors * 512);
    }
    EXPECT_TRUE(SameEntries(Walk(isi), ExpectedEntries(d, {{1, 10}}, 11)));
  }
  // Binary records: one of 16 zeros is deleted, one that only starts with zeros is data.
  DataFile d("");
  d.Rec("bbbbbbbbbbbbbbbb").Deleted(16).Rec(std::string(4, '\0') + "aaaaaaaaaaaa");
  d.Deleted(16).Deleted(16).Rec("cccccccccccccccc");
  dir.write("d.bin", d.bytes());
  isir::IsiReader isi;
  ASSERT_TRUE(BuildAndLoad({"d.bin,d.isi,l16", "-f5-16"}, "d.isi", &isi));
  std::vector<isir::DdrSector> chain;
  ASSERT_TRUE(isi.DdrChain(&chain));
  ASSERT_EQ(chain.size(), 1u);
  EXPECT_EQ(chain[0].pos, 3u);
  EXPECT_EQ(chain[0].positions, (std::vector<uint32_t>{1, 3, 4}));
  EXPECT_EQ(isi.header().deletedCount, 3u);
  EXPECT_TRUE(SameEntries(Walk(isi), ExpectedEntries(d, {{5, 16}}, 16)));
}

// 25 records of 16 bytes: "k19" four times, its second copy arriving in
// key order just when the first leaf (20 entries) is full; the copies are
// spread through the file.
TEST_F(BuildRecordsTest, EachDuplicateOption) {
  DataFile d;
  int keys[] = {19, 3,  19, 0,  1,  2,  4,  5,  6,  7,  8,  9, 10,
                11, 12, 19, 13, 14, 15, 16, 17, 18, 20, 19, 21};
  for (size_t i = 0; i < std::size(keys); ++i) {
    char body[32];
    snprintf(body, sizeof body, "k%02d       %05zu", keys[i], i);
    d.Rec(body);
  }
  dir.write("d.txt", d.bytes());
  std::vector<isir::Entry> want = ExpectedEntries(d, {{1, 10}}, 16);
  auto lines = [&](const char* lead, const char* end) {  // one for each duplicate, in key order
    std::string text;
    for (const isir::Entry& e : ExpectedEntries(d, {{1, 10}}, 0)) {
      if (e.dupSeq != 0) text += lead + Hex16(e.recPos) + " Key:" + e.key + " " + end;
    }
    return text;
  };
  const std::string kept = "Duplicate Key at:", ignored = "Duplicate Key ignored at:";
  const std::string head = "Indexing d.txt into d.isi\n",
                    counts = "25 records, 0 deleted entries\n";
  const std::string three = "Data file has 3 duplicate key entries.\n";
  const struct {
    const char* opts;
    int exit;
    std::string messages, errFile;  // no error file when empty
    bool firstOnly;
  } cases[] = {
      {"-", 0, head + counts + three + "<time>\n", "", false},
      {"-e", 0, head + counts + three + "<time>\n", lines(kept.c_str(), "\r\n"), false},
      {"-n", 1,
       head + lines(kept.c_str(), "\n") + counts + three +
           "Data file is not in the correct format.  Index file will be deleted.\n",
       lines(kept.c_str(), "\r\n"), false},
      {"-n0", 0, head + lines(ignored.c_str(), "\n") + counts + "<time>\n",
       lines(ignored.c_str(), "\r\n"), true},
      {"-n$", 0, head + counts + "<time>\n", "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.opts);
    kt::RunResult r = Run({"d.txt,d.isi", std::string(c.opts) + "1-10"});
    EXPECT_EQ(r.exitCode, c.exit);
    EXPECT_EQ(Messages(r), c.messages);
    EXPECT_EQ(dir.exists("d.ERR"), !c.errFile.empty());
    EXPECT_EQ(dir.read("d.ERR"), c.errFile);
    EXPECT_TRUE(WorkFiles().empty());
    EXPECT_EQ(dir.exists("d.isi"), c.exit == 0);
    if (c.exit == 0) {
      isir::IsiReader isi;
      std::string err;
      ASSERT_TRUE(isi.LoadFile(dir.file("d.isi"), &err) && isi.Validate(&err)) << err;
      EXPECT_TRUE(SameEntries(Walk(isi), c.firstOnly ? FirstOfEachKey(want) : want));
      EXPECT_EQ(isi.header().recordCount, 25u);  // dropped keys were delivered all the same
    }
    for (const char* name : {"d.ERR", "d.isi"}) unlink(dir.file(name).c_str());
  }
  // An error file that received nothing is removed.
  dir.write("d.txt", "abc\nabd\nabe\n");
  for (const char* opts : {"-e1-3", "-n1-3", "-n01-3"}) {
    kt::RunResult r = Run({"d.txt,d.isi", opts});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Messages(r), "Indexing d.txt into d.isi\n3 records, 0 deleted entries\n<time>\n");
    EXPECT_EQ(Files(), (Names{"d.isi", "d.txt"})) << opts;
  }
}

// Every message of the run from the indexing line to the time line (or
// its absence), the exit status and what is left in the directory.
TEST_F(BuildRecordsTest, ReportsAndVerdicts) {
  const char* const verdict =
      "Data file is not in the correct format.  Index file will be deleted.\n";
  const std::string varLen = "Data file has variable length records.\n";
  const std::string longRec = "Record longer than maximum record length was found.\n";
  // Records of 16 bytes with distinct keys; `tabbed` has as many bytes.
  auto rec = [](char c) { return std::string("abcdefghi") + c + "12345\n"; };
  const std::string a = rec('a'), b = rec('b'), c4 = rec('c'), tabbed = "abc\tdefghz12345\n";
  const std::string x300 = std::string(300, 'x') + "\n";
  const struct {
    const char* what;
    std::string data;
    const char* opts;
    int exit;
    std::string reports;  // what follows the counts line
    const char* counts = "4 records, 0 deleted entries\n";
  } cases[] = {
      {"variable length without v", a + "abcdefghij12\n" + b + c4, "-", 1, varLen + verdict},
      {"tabs without s", a + tabbed + b + c4, "-", 1,
       std::string("Data file has space compression.\n") + verdict},
      {"a tab is a key byte with b", a + tabbed + b + c4, "-b", 0, "<time>\n"},
      {"long record in fixed length", a + "abcdefghij123456789\n" + b + c4, "-", 1,
       varLen + longRec + verdict},
      {"long record with v", a + x300 + b + c4, "-v", 1, varLen + longRec + verdict},
      {"long record with s", a + x300 + b + c4, "-s", 1, varLen + longRec + verdict},
      {"tabs and lengths with s", a + tabbed + "ab\tc\n" + b, "-s", 0,
       "Data file has variable length records and space compression.\n<time>\n"},
      {"zeros of one and a half records", a + std::string(24, '\0') + b + c4 + rec('d') + rec('e'),
       "-", 1,
       std::string("Data file record encountered with position invalid for fixed length "
                   "records.\n") +
           verdict,
       "5 records, 2 deleted entries\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    dir.write("d.txt", c.data);
    kt::RunResult r = Run({"d.txt,d.isi", std::string(c.opts) + "1-10"});
    EXPECT_EQ(r.exitCode, c.exit);
    EXPECT_EQ(Messages(r), std::string("Indexing d.txt into d.isi\n") + c.counts + c.reports);
    EXPECT_EQ(Files(), (c.exit == 0 ? Names{"d.isi", "d.txt"} : Names{"d.txt"}));
    unlink(dir.file("d.isi").c_str());
    EXPECT_TRUE(WorkFiles().empty());
  }
  // Variable-length data: the scan meets a record beyond the largest size;
  // the run ends without a line end after the message, without verdict and
  // without time line.
  dir.write("d.txt", "abc\n" + std::string(70000, 'x') + "\nabd\n");
  kt::RunResult r = Run({"d.txt,d.isi", "-v1-3"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(Messages(r), "Indexing d.txt into d.isi\nA record longer than 65533 bytes was found.");
  EXPECT_EQ(Files(), Names{"d.txt"});
  EXPECT_TRUE(WorkFiles().empty());
}

// Rows of 27 bytes: a code in columns 1-2, a digit or letter in column 10,
// a letter in column 20, a distinct tail in 21-27; with `shortRows` some
// records end before column 10. The index holds exactly the records that
// pass every test (as variable-length records: the short rows are records
// of their own length), and the counts report only those.
TEST_F(BuildRecordsTest, OnlyPrimaryRecordsAreIndexed) {
  auto rows = [](bool shortRows) {
    DataFile d;
    const char* codes[] = {"AB", "AC", "ab"};
    uint32_t x = 99;
    for (int i = 0; i < 200; ++i) {
      x = x * 1103515245u + 12345u;
      uint32_t r = x >> 8;
      char body[40];
      snprintf(body, sizeof body, "%s%07d%c.........%ctail%03d", codes[r % 3], i,
               "3769x "[r / 3 % 6], "XYZ"[r / 18 % 3], (i * 37) % 200);
      d.Rec(shortRows && i % 9 == 4 ? std::string(codes[r % 3]) + "xyz" : std::string(body));
    }
    return d;
  };
  auto col = [](const std::string& b, size_t c) { return c <= b.size() ? b[c - 1] : ' '; };
  const struct {
    const char* opts;
    bool shortRows, upper;
    std::function<bool(const std::string&)> keep;
  } cases[] = {
      {"-p10=7,21-27", true, false, [&](const std::string& b) { return col(b, 10) == '7'; }},
      {"-p10#7,p20=X,21-27", true, false,
       [&](const std::string& b) { return col(b, 10) != '7' && col(b, 20) == 'X'; }},
      {"-up1=a,21-27", true, true, [&](const std::string& b) { return col(b, 1) == 'a'; }},
      {"-p=\"1 = 'AB' & 10N > '5' | 20 E 'X'\",21-27", false, false,
       [&](const std::string& b) {
         char d = col(b, 10);
         return (b.compare(0, 2, "AB") == 0 && d >= '0' && d <= '9' && d > '5') ||
                col(b, 20) == 'X';
       }},
      {"-p#\"1='A'\",21-27", false, false, [](const std::string& b) { return b[0] != 'A'; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.opts);
    DataFile d = rows(c.shortRows);
    dir.write("d.txt", d.bytes());
    isir::IsiReader isi;
    kt::RunResult r;
    ASSERT_TRUE(BuildAndLoad({"d.txt,d.isi", std::string(c.opts) + ",v"}, "d.isi", &isi, &r));
    std::vector<isir::Entry> want = ExpectedEntries(d, {{21, 27}}, 0, c.upper, c.keep);
    EXPECT_GT(want.size(), 20u);
    EXPECT_LT(want.size(), 180u);
    EXPECT_TRUE(SameEntries(Walk(isi), want));
    EXPECT_EQ(isi.header().recordCount, want.size());
    EXPECT_EQ(Messages(r), "Indexing d.txt into d.isi\n" + std::to_string(want.size()) +
                               " records, 0 deleted entries\n" + DupReport(want) +
                               "Data file has variable length records.\n<time>\n");
  }
}

}  // namespace
}  // namespace e2e
