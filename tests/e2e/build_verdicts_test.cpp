// What the build reports about the data, and the verdict that deletes an
// index over data not in the promised format: every message of the run from
// the indexing line to the time line (or its absence), the exit status and
// what is left in the directory.
#include <unistd.h>

#include <string>
#include <vector>

#include "e2e_fixture.h"

namespace e2e {
namespace {

const char* const kVerdict =
    "Data file is not in the correct format.  Index file will be deleted.\n";
const char* const kVarLen = "Data file has variable length records.\n";
const char* const kLong = "Record longer than maximum record length was found.\n";

struct VerdictCase {
  const char* what;
  std::string data;
  const char* opts;
  int exit;
  std::string reports;  // what follows the counts line
  const char* counts = "4 records, 0 deleted entries\n";
};

std::vector<VerdictCase> Cases() {
  // Records of 16 bytes with distinct keys; `tabbed` has as many bytes.
  auto rec = [](char c) { return std::string("abcdefghi") + c + "12345\n"; };
  const std::string a = rec('a'), b = rec('b'), c = rec('c'), tabbed = "abc\tdefghz12345\n";
  const std::string x300 = std::string(300, 'x') + "\n";
  return {
      {"variable length without v", a + "abcdefghij12\n" + b + c, "-", 1,
       std::string(kVarLen) + kVerdict},
      {"tabs without s", a + tabbed + b + c, "-", 1,
       std::string("Data file has space compression.\n") + kVerdict},
      {"a tab is a key byte with b", a + tabbed + b + c, "-b", 0, "<time>\n"},
      {"long record in fixed length", a + "abcdefghij123456789\n" + b + c, "-", 1,
       std::string(kVarLen) + kLong + kVerdict},
      {"long record with v", a + x300 + b + c, "-v", 1, std::string(kVarLen) + kLong + kVerdict},
      {"long record with s", a + x300 + b + c, "-s", 1, std::string(kVarLen) + kLong + kVerdict},
      {"tabs and lengths with s", a + tabbed + "ab\tc\n" + b, "-s", 0,
       "Data file has variable length records and space compression.\n<time>\n"},
      {"zeros of one and a half records", a + std::string(24, '\0') + b + c + rec('d') + rec('e'),
       "-", 1,
       std::string("Data file record encountered with position invalid for fixed length "
                   "records.\n") +
           kVerdict,
       "5 records, 2 deleted entries\n"},
  };
}

class BuildVerdictsTest : public E2eTest {};

TEST_F(BuildVerdictsTest, ReportsAndVerdicts) {
  for (const VerdictCase& c : Cases()) {
    SCOPED_TRACE(c.what);
    dir.write("d.txt", c.data);
    kt::RunResult r = Run({"d.txt,d.isi", std::string(c.opts) + "1-10"});
    EXPECT_EQ(r.exitCode, c.exit);
    EXPECT_EQ(Messages(r), std::string("Indexing d.txt into d.isi\n") + c.counts + c.reports);
    std::vector<std::string> left = {"d.txt"};
    if (c.exit == 0) left.insert(left.begin(), "d.isi");
    EXPECT_EQ(Files(), left);
    unlink(dir.file("d.isi").c_str());
    EXPECT_TRUE(WorkFiles().empty());
  }
}

TEST_F(BuildVerdictsTest, RecordBeyondTheLargestSizeStopsTheScan) {
  // Variable-length data: the scan meets the record; the run ends without a
  // line end after the message, without verdict and without time line.
  dir.write("d.txt", "abc\n" + std::string(70000, 'x') + "\nabd\n");
  kt::RunResult r = Run({"d.txt,d.isi", "-v1-3"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(Messages(r), "Indexing d.txt into d.isi\nA record longer than 65533 bytes was found.");
  EXPECT_EQ(Files(), std::vector<std::string>{"d.txt"});
  EXPECT_TRUE(WorkFiles().empty());
}

}  // namespace
}  // namespace e2e
