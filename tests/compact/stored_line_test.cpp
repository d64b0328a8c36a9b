// The stored command line of an index compacted into a new file.
#include "compact/stored_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver/cmd_data.h"

namespace {

struct Result {
  Status status;
  std::string line;
};

Result Rewrite(const std::string& header, const std::string& own) {
  char field[kStoredLineSize] = {};
  memcpy(field, header.data(), std::min(header.size(), sizeof field));
  Status s = CompactRewriteStoredLine(field, sizeof field, own.c_str());
  return {s, std::string(field, strnlen(field, sizeof field))};
}

TEST(StoredLineTest, NewIsiNameReplacesTheOldOne) {
  Result r = Rewrite("data.txt,a.isi,-1-10", "a.isi,b.isi,-c");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.line, "data.txt,b.isi,-1-10");
}

TEST(StoredLineTest, EmptyIsiFieldAndLongerNamesAndTails) {
  EXPECT_EQ(Rewrite("data,,-1-10", "x.isi,/srv/idx/new.isi,-c").line,
            "data,/srv/idx/new.isi,-1-10");
  EXPECT_EQ(Rewrite("test,test,l100 -un,p11=A,1-10,20,30-40", "test.isi,t2,-c").line,
            "test,t2,l100 -un,p11=A,1-10,20,30-40");
}

TEST(StoredLineTest, HeaderLineWithoutTwoCommasIsRefusedUnchanged) {
  Result r = Rewrite("data.txt -1-10", "a.isi,b.isi,-c");
  EXPECT_EQ(r.status, kErrStoredLine);
  EXPECT_EQ(r.line, "data.txt -1-10");
  EXPECT_EQ(Rewrite("", "a.isi,b.isi,-c").status, kErrStoredLine);
  EXPECT_EQ(Rewrite("data,isi -1-10", "a.isi,b.isi,-c").status, kErrStoredLine);
}

TEST(StoredLineTest, HeaderLineWithoutTerminatorIsRefused) {
  EXPECT_EQ(Rewrite("d,i," + std::string(600, 'x'), "a,b,-c").status, kErrStoredLine);
}

TEST(StoredLineTest, OwnLineWithoutTwoCommasIsAnInternalFault) {
  EXPECT_EQ(Rewrite("data.txt,a.isi,-1-10", "a.isi -c").status, kErrOwnLine);
  EXPECT_EQ(Rewrite("data.txt,a.isi,-1-10", "a.isi,b.isi").status, kErrOwnLine);
}

TEST(StoredLineTest, ResultLongerThan527CharactersIsRefusedUnchanged) {
  std::string tail = "," + std::string(500, 'k');
  std::string header = "data.txt,a.isi" + tail;  // 515 characters
  std::string name12 = std::string(12, 'n');     // 9 + 12 + 501 = 522: fits
  EXPECT_EQ(Rewrite(header, "a," + name12 + ",-c").line, "data.txt," + name12 + tail);
  std::string name18 = std::string(18, 'n');  // 9 + 18 + 501 = 528: one too many
  Result r = Rewrite(header, "a," + name18 + ",-c");
  EXPECT_EQ(r.status, kErrNewLineTooLong);
  EXPECT_EQ(r.line, header);
  std::string name17 = std::string(17, 'n');  // exactly 527
  EXPECT_EQ(Rewrite(header, "a," + name17 + ",-c").line.size(), 527u);
}

}  // namespace
