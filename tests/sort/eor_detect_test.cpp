// Record format detection: the last mark of the file, read backwards in
// chunks, and the measured length of fixed-length text records.
#include <gtest/gtest.h>

#include <string>

#include "sort/sort_open.h"
#include "sort_fixture.h"

namespace {

class DetectTest : public st::SortFixture {
 protected:
  int32_t Detect(const std::string& data) {
    OpenData(data);
    return DetectEndOfRecord(cd->inFd, cd->recBuf, 65536);
  }
  void ExpectMark(uint8_t len, uint8_t c1, uint8_t c2, uint8_t flags) {
    EXPECT_EQ(cd->eorLen, len);
    EXPECT_EQ(cd->eorChar1, c1);
    EXPECT_EQ(cd->eorChar2, c2);
    EXPECT_EQ(cd->eorIsiFlags, flags);
  }
};

TEST_F(DetectTest, EachMarkAndTheLastRecordsLength) {
  EXPECT_EQ(Detect("ABC\nDEFG\n"), kEorLf);
  ExpectMark(1, 0x0A, 0, 0x80);
  EXPECT_EQ(cd->recLenFound, 5u);

  Restart();
  EXPECT_EQ(Detect("ABC\rDEFG\r"), kEorCr);
  ExpectMark(1, 0x0D, 0, 0x00);
  EXPECT_EQ(cd->recLenFound, 5u);

  Restart();
  EXPECT_EQ(Detect("ABC\r\nDEFG\r\n"), kEorCrLf);
  ExpectMark(2, 0x0D, 0x0A, 0x40);
  EXPECT_EQ(cd->recLenFound, 6u);

  Restart();
  EXPECT_EQ(Detect("ABC\n\rDEFG\n\r"), kEorLfCr);
  ExpectMark(2, 0x0A, 0x0D, 0xC0);
  EXPECT_EQ(cd->recLenFound, 6u);
}

TEST_F(DetectTest, UnterminatedLastRecordIsNotMeasured) {
  EXPECT_EQ(Detect("AB\nCDEF\nGH"), kEorLf);
  EXPECT_EQ(cd->recLenFound, 5u);
}

TEST_F(DetectTest, OneRecordFileIsMeasuredToItsStart) {
  EXPECT_EQ(Detect("ABCDEFG\r\n"), kEorCrLf);
  EXPECT_EQ(cd->recLenFound, 9u);
}

TEST_F(DetectTest, ZeroByteEndsTheMeasurement) {
  EXPECT_EQ(Detect(std::string("AB\n\0\0XYZ\n", 9)), kEorLf);
  EXPECT_EQ(cd->recLenFound, 4u);
}

TEST_F(DetectTest, VariableLengthOrGivenLengthIsNotMeasured) {
  cd->allowVarLen = 1;
  EXPECT_EQ(Detect("ABC\r\nDEFG\r\n"), kEorCrLf);
  EXPECT_EQ(cd->recLenFound, 0u);

  Restart();
  cd->recLenSpec = 80;
  EXPECT_EQ(Detect("ABC\rDEFG\r"), kEorCr);
  EXPECT_EQ(cd->recLenFound, 0u);
}

TEST_F(DetectTest, MarkSplitByTheChunkBoundaryIsOneMark) {
  // The LF is the first byte of the last 65,535-byte chunk; its CR is the
  // byte before that chunk.
  std::string data = "ab\r\n12345\r\n" + std::string(65534, 'Z');
  ASSERT_EQ(data.size() - 65535, 10u);
  ASSERT_EQ(data[10], '\n');
  cd->allowVarLen = 1;
  EXPECT_EQ(Detect(data), kEorCrLf);

  Restart();
  EXPECT_EQ(Detect(data), kEorCrLf);
  EXPECT_EQ(cd->recLenFound, 7u);  // 12345 and its mark
}

TEST_F(DetectTest, MeasurementRunsThroughSeveralChunks) {
  std::string data = "x\n" + std::string(150000, 'A') + "\n";
  EXPECT_EQ(Detect(data), kEorLf);
  EXPECT_EQ(cd->recLenFound, 150001u);
}

TEST_F(DetectTest, MarkFoundOnlyInAnEarlierChunkWhenMeasuring) {
  std::string data = "AB\nCD\n" + std::string(70000, 'q');
  EXPECT_EQ(Detect(data), kEorLf);
  EXPECT_EQ(cd->recLenFound, 3u);

  Restart();
  cd->allowVarLen = 1;  // not measuring: only the last chunk is looked at
  EXPECT_EQ(Detect(data), kEorNone);
  ExpectMark(1, 0x0A, 0, 0x80);
}

TEST_F(DetectTest, NoMarkOrEmptyFileKeepsTheDefaults) {
  EXPECT_EQ(Detect("no marks here"), kEorNone);
  ExpectMark(1, 0x0A, 0, 0x80);
  EXPECT_EQ(cd->recLenFound, 0u);

  Restart();
  EXPECT_EQ(Detect(""), kEorNone);
  ExpectMark(1, 0x0A, 0, 0x80);
}

TEST_F(DetectTest, MarkAtTheFilesFirstByteMeasuresNothing) {
  EXPECT_EQ(Detect("\rABC"), kEorNone);
  EXPECT_EQ(cd->recLenFound, 0u);

  Restart();
  cd->allowVarLen = 1;
  EXPECT_EQ(Detect("\rABC"), kEorCr);
}

TEST_F(DetectTest, EmptyLastRecordMeasuresTheMarkAlone) {
  EXPECT_EQ(Detect("AB\n\n"), kEorLf);
  EXPECT_EQ(cd->recLenFound, 1u);
}

TEST_F(DetectTest, SeekAndReadFailures) {
  OpenData("AB\n");
  FaultPlan plan;
  plan.classes = kFaultSeek;
  plan.failAt = 1;
  plan.err = EIO;
  SysSetFaultPlan(plan);
  EXPECT_EQ(DetectEndOfRecord(cd->inFd, cd->recBuf, 65536), -1);

  plan.classes = kFaultRead;
  SysSetFaultPlan(plan);
  EXPECT_EQ(DetectEndOfRecord(cd->inFd, cd->recBuf, 65536), -2);

  // A read failing while measuring through an earlier chunk.
  Restart();
  OpenData("x\n" + std::string(150000, 'A') + "\n");
  plan.failAt = 2;
  SysSetFaultPlan(plan);
  EXPECT_EQ(DetectEndOfRecord(cd->inFd, cd->recBuf, 65536), -2);
}

}  // namespace
