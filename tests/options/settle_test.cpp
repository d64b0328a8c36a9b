// After the data file is open: the record length settled with the
// end-of-record bytes found, the binary size check, and the job line.
#include <gtest/gtest.h>

#include <string>

#include "driver/sys_io.h"
#include "options/options_fixture.h"
#include "options/parse_steps.h"

namespace {

class SettleTest : public ot::OptionsTest {
 protected:
  void OpenData(size_t size) {
    dir.write("data", std::string(size, 'b'));
    cd->inFd = SysOpen(dir.file("data").c_str(), O_RDONLY);
    ASSERT_GE(cd->inFd, 0);
  }
};

TEST_F(SettleTest, TextRecordLengthGainsTheMark) {
  cd->recLenSpec = 100;
  cd->eorLen = 2;  // CR LF found in the data
  EXPECT_EQ(SettleRecordLength(), kOk);
  EXPECT_EQ(cd->recLenSpec, 102u);
  EXPECT_EQ(cd->recLenFound, 102u);
  ResetContext();
  cd->recLenFound = 51;  // measured from the data
  EXPECT_EQ(SettleRecordLength(), kOk);
  EXPECT_EQ(cd->recLenFound, 51u);
  EXPECT_EQ(cd->recLenSpec, 0u);
}

TEST_F(SettleTest, BinaryWithMarks) {
  ASSERT_EQ(Parse("d -g=80,1"), kOk);
  OpenData(81 * 3);
  EXPECT_EQ(SettleRecordLength(), kOk);
  EXPECT_EQ(cd->recLenSpec, 81u);
  EXPECT_EQ(cd->recLenFound, 81u);
  EXPECT_EQ(cd->eorLen, 0);
}

TEST_F(SettleTest, BinarySizeMustBeWholeRecords) {
  ASSERT_EQ(Parse("d -f=80,1"), kOk);
  OpenData(160);
  EXPECT_EQ(SettleRecordLength(), kOk);
  ResetContext();
  ASSERT_EQ(Parse("d -f=80,1"), kOk);
  OpenData(170);
  EXPECT_EQ(SettleRecordLength(), kErrRecSizeFileLen);
}

TEST_F(SettleTest, UnknownSize) {
  ASSERT_EQ(Parse("d -f=80,1"), kOk);
  OpenData(160);
  strcpy(cd->inName, "d.TXT");
  FaultPlan plan;
  plan.classes = kFaultSeek;
  plan.failAt = 1;
  SysSetFaultPlan(plan);
  EXPECT_EQ(SettleRecordLength(), kErrFileSize);
  EXPECT_STREQ(cd->msgBuf, "Unable to determine file size for input file: d.TXT");
}

TEST_F(SettleTest, JobLine) {
  strcpy(cd->inName, "in.TXT");
  strcpy(cd->outName, "in.ISI");
  ShowJobLine();
  cd->compactFlags = 1;
  ShowJobLine();
  EXPECT_EQ(Output(), "Indexing in.TXT into in.ISI\nCompacting in.TXT into in.ISI\n");
}

TEST_F(SettleTest, JobLineKeepsLongNamesWhole) {
  std::string a(255, 'a'), b(255, 'b');
  strcpy(cd->inName, a.c_str());
  strcpy(cd->outName, b.c_str());
  ShowJobLine();
  EXPECT_EQ(Output(), "Indexing " + a + " into " + b + "\n");
}

}  // namespace
