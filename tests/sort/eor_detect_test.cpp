// Record format detection: the last mark of the file, read backwards in
// chunks, and the measured length of fixed-length text records.
#include <gtest/gtest.h>

#include <string>

#include "sort/sort_open.h"
#include "sort_fixture.h"

namespace {

class DetectTest : public st::SortFixture {};

TEST_F(DetectTest, MarksAndTheMeasuredLength) {
  // The LF is the first byte of the last 65,535-byte chunk; its CR is the
  // byte before that chunk.
  const std::string split = "ab\r\n12345\r\n" + std::string(65534, 'Z');
  const std::string lf = "\n";
  const struct {
    const char* what;
    std::string data;
    uint8_t varLen;
    uint32_t spec;
    int32_t kind;
    uint8_t len, c1, c2, flags;
    uint32_t measured;
  } cases[] = {
      {"LF", "ABC\nDEFG\n", 0, 0, kEorLf, 1, '\n', 0, 0x80, 5},
      {"CR", "ABC\rDEFG\r", 0, 0, kEorCr, 1, '\r', 0, 0x00, 5},
      {"CR LF", "ABC\r\nDEFG\r\n", 0, 0, kEorCrLf, 2, '\r', '\n', 0x40, 6},
      {"LF CR", "ABC\n\rDEFG\n\r", 0, 0, kEorLfCr, 2, '\n', '\r', 0xC0, 6},
      {"an unterminated last record is not measured", "AB\nCDEF\nGH", 0, 0, kEorLf, 1, '\n', 0,
       0x80, 5},
      {"one record: measured to its start", "ABCDEFG\r\n", 0, 0, kEorCrLf, 2, '\r', '\n', 0x40, 9},
      {"a zero byte ends the measurement", std::string("AB\n\0\0XYZ\n", 9), 0, 0, kEorLf, 1, '\n',
       0, 0x80, 4},
      {"an empty last record: the mark alone", "AB\n\n", 0, 0, kEorLf, 1, '\n', 0, 0x80, 1},
      {"variable length: not measured", "ABC\r\nDEFG\r\n", 1, 0, kEorCrLf, 2, '\r', '\n', 0x40, 0},
      {"a given length: not measured", "ABC\rDEFG\r", 0, 80, kEorCr, 1, '\r', 0, 0x00, 0},
      {"a mark split by the chunk boundary", split, 1, 0, kEorCrLf, 2, '\r', '\n', 0x40, 0},
      {"measured across it", split, 0, 0, kEorCrLf, 2, '\r', '\n', 0x40, 7},
      {"measured through several chunks", "x\n" + std::string(150000, 'A') + lf, 0, 0, kEorLf, 1,
       '\n', 0, 0x80, 150001},
      {"the mark in an earlier chunk, measuring", "AB\nCD\n" + std::string(70000, 'q'), 0, 0,
       kEorLf, 1, '\n', 0, 0x80, 3},
      {"only the last chunk without measuring", "AB\nCD\n" + std::string(70000, 'q'), 1, 0,
       kEorNone, 1, '\n', 0, 0x80, 0},
      {"no mark: the defaults", "no marks here", 0, 0, kEorNone, 1, '\n', 0, 0x80, 0},
      {"an empty file", "", 0, 0, kEorNone, 1, '\n', 0, 0x80, 0},
      {"a mark at the first byte measures nothing", "\rABC", 0, 0, kEorNone, 0, 0, 0, 0, 0},
      {"or is the mark without measuring", "\rABC", 1, 0, kEorCr, 1, '\r', 0, 0x00, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Restart();
    cd->allowVarLen = c.varLen;
    cd->recLenSpec = c.spec;
    OpenData(c.data);
    EXPECT_EQ(DetectEndOfRecord(cd->inFd, cd->recBuf, 65536), c.kind);
    if (c.len != 0) {  // 0: the mark fields are not looked at
      EXPECT_EQ(cd->eorLen, c.len);
      EXPECT_EQ(cd->eorChar1, c.c1);
      EXPECT_EQ(cd->eorChar2, c.c2);
      EXPECT_EQ(cd->eorIsiFlags, c.flags);
    }
    EXPECT_EQ(cd->recLenFound, c.measured);
  }
}

TEST_F(DetectTest, SeekAndReadFailures) {
  OpenData("AB\n");
  SysSetFaultPlan({kFaultSeek, 1, EIO});
  EXPECT_EQ(DetectEndOfRecord(cd->inFd, cd->recBuf, 65536), -1);
  SysSetFaultPlan({kFaultRead, 1, EIO});
  EXPECT_EQ(DetectEndOfRecord(cd->inFd, cd->recBuf, 65536), -2);
  // A read failing while measuring through an earlier chunk.
  Restart();
  OpenData("x\n" + std::string(150000, 'A') + "\n");
  SysSetFaultPlan({kFaultRead, 2, EIO});
  EXPECT_EQ(DetectEndOfRecord(cd->inFd, cd->recBuf, 65536), -2);
}

}  // namespace
