// The stored command line of an index compacted into a new file: the new
// ISI name in place of the old one, and every line refused unchanged.
#include "compact/stored_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "driver/cmd_data.h"

namespace {

TEST(StoredLineTest, NewIsiNameReplacesTheOldOne) {
  std::string tail = "," + std::string(500, 'k');
  std::string header = "data.txt,a.isi" + tail;  // 515 characters
  const struct {
    std::string header, own;
    Status status;
    std::string line;
  } cases[] = {
      {"data.txt,a.isi,-1-10", "a.isi,b.isi,-c", kOk, "data.txt,b.isi,-1-10"},
      {"data,,-1-10", "x.isi,/srv/idx/new.isi,-c", kOk, "data,/srv/idx/new.isi,-1-10"},
      {"test,test,l100 -un,p11=A,1-10", "test.isi,t2,-c", kOk, "test,t2,l100 -un,p11=A,1-10"},
      // Refused unchanged: a header line without two commas or a terminator, ...
      {"data.txt -1-10", "a.isi,b.isi,-c", kErrStoredLine, "data.txt -1-10"},
      {"data,isi -1-10", "a.isi,b.isi,-c", kErrStoredLine, "data,isi -1-10"},
      {"", "a.isi,b.isi,-c", kErrStoredLine, ""},
      {"d,i," + std::string(600, 'x'), "a,b,-c", kErrStoredLine, ""},
      // ... an own line without them (an internal fault), ...
      {"data.txt,a.isi,-1-10", "a.isi -c", kErrOwnLine, "data.txt,a.isi,-1-10"},
      {"data.txt,a.isi,-1-10", "a.isi,b.isi", kErrOwnLine, "data.txt,a.isi,-1-10"},
      // ... a result longer than 527 characters: 9 + 17 + 501 fit, 18 do not.
      {header, "a," + std::string(17, 'n') + ",-c", kOk, "data.txt," + std::string(17, 'n') + tail},
      {header, "a," + std::string(18, 'n') + ",-c", kErrNewLineTooLong, header},
  };
  for (const auto& c : cases) {
    char field[kStoredLineSize] = {};
    memcpy(field, c.header.data(), std::min(c.header.size(), sizeof field));
    EXPECT_EQ(CompactRewriteStoredLine(field, sizeof field, c.own.c_str()), c.status) << c.own;
    if (c.header.size() < sizeof field) {
      EXPECT_EQ(std::string(field, strnlen(field, sizeof field)), c.line) << c.own;
    }
  }
}

}  // namespace
