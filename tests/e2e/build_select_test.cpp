// Primary-record selection through the binary: the index holds exactly the
// records that pass every p test, simple or extended, also records too
// short to reach the tested column, and the counts report only those.
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "e2e_fixture.h"

namespace e2e {
namespace {

// Column `c` (1-based) of a record, a blank past its end.
char Col(const std::string& body, size_t c) {
  return c <= body.size() ? body[c - 1] : ' ';
}

// Rows of 27 bytes: a code in columns 1-2, a digit or letter in column 10,
// a letter in column 20, a distinct tail in 21-27; with `shortRows` some
// records end before column 10.
DataFile Rows(bool shortRows) {
  DataFile d;
  const char* codes[] = {"AB", "AC", "ab"};
  uint32_t x = 99;
  for (int i = 0; i < 200; ++i) {
    x = x * 1103515245u + 12345u;
    uint32_t r = x >> 8;
    if (shortRows && i % 9 == 4) {
      d.Rec(std::string(codes[r % 3]) + "xyz");
      continue;
    }
    char body[40];
    snprintf(body, sizeof body, "%s%07d%c.........%ctail%03d", codes[r % 3], i, "3769x "[r / 3 % 6],
             "XYZ"[r / 18 % 3], (i * 37) % 200);
    d.Rec(body);
  }
  return d;
}

class BuildSelectTest : public E2eTest {};

TEST_F(BuildSelectTest, OnlyPrimaryRecordsAreIndexed) {
  const struct {
    const char* opts;
    bool shortRows;
    bool upper;
    std::function<bool(const std::string&)> keep;
  } cases[] = {
      {"-p10=7,21-27", true, false, [](const std::string& b) { return Col(b, 10) == '7'; }},
      {"-p10#7,p20=X,21-27", true, false,
       [](const std::string& b) { return Col(b, 10) != '7' && Col(b, 20) == 'X'; }},
      {"-up1=a,21-27", true, true, [](const std::string& b) { return Col(b, 1) == 'a'; }},
      {"-p=\"1 = 'AB' & 10N > '5' | 20 E 'X'\",21-27", false, false,
       [](const std::string& b) {
         char d = Col(b, 10);
         return (b.compare(0, 2, "AB") == 0 && d >= '0' && d <= '9' && d > '5') ||
                Col(b, 20) == 'X';
       }},
      {"-p#\"1='A'\",21-27", false, false, [](const std::string& b) { return b[0] != 'A'; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.opts);
    DataFile d = Rows(c.shortRows);
    dir.write("d.txt", d.bytes());
    isir::IsiReader isi;
    kt::RunResult r;
    // Variable length: the short rows are records of their own length.
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
