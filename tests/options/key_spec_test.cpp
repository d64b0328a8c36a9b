// Key specifications and the column table they build.
#include <gtest/gtest.h>

#include <string>

#include "options/options_fixture.h"
#include "options/parse_steps.h"
#include "options/parser.h"

namespace {

using ot::OptionsTest;

TEST_F(OptionsTest, ForwardRange) {
  ASSERT_EQ(Parse("data,isi -1-10"), kOk);
  EXPECT_EQ(cd->keySpecLen, 10u);
  EXPECT_EQ(cd->keySpecTable[0].first, 0);
  EXPECT_EQ(cd->keySpecTable[0].length, 10);
  EXPECT_EQ(cd->keySpecTable[1].length, 0);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(cd->colTable[i].column, i);
    EXPECT_EQ(cd->colTable[i].keyPos, i);
  }
  EXPECT_EQ(cd->colTable[10].keyPos, kColEnd);
}

TEST_F(OptionsTest, ReversedRangeTakesColumnsBackwards) {
  ASSERT_EQ(Parse("data -10-1"), kOk);
  EXPECT_EQ(cd->keySpecTable[0].first, 9);
  EXPECT_EQ(cd->keySpecTable[0].length, 65528);
  // Sorted by column, column 1 carries the last key byte.
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(cd->colTable[i].column, i);
    EXPECT_EQ(cd->colTable[i].keyPos, 9 - i);
  }
}

TEST_F(OptionsTest, KeyBytesInCommandOrder) {
  ASSERT_EQ(Parse("data -20,1-2 5"), kOk);
  EXPECT_EQ(Columns(), "1:1:8 2:2:8 5:3:8 20:0:8");
  EXPECT_EQ(cd->keySpecTable[2].first, 4);
  EXPECT_EQ(cd->keySpecTable[2].length, 1);
}

TEST_F(OptionsTest, KeyByteLimit) {
  ASSERT_EQ(Parse("d -1-150"), kOk);
  EXPECT_EQ(cd->keySpecLen, 150u);
  ResetContext();
  EXPECT_EQ(Parse("d -1-151"), kErrTooManyKeyBytes);
  EXPECT_EQ(cd->colCount, 150);
  ResetContext();
  EXPECT_EQ(Parse("d -1-100,201-251"), kErrTooManyKeyBytes);
}

TEST_F(OptionsTest, SpecificationCountLimit) {
  std::string specs;
  for (int i = 1; i <= 32; ++i) specs += std::to_string(2 * i) + ",";
  ASSERT_EQ(Parse("d -" + specs), kOk);
  EXPECT_EQ(cd->keySpecTable[31].first, 63);
  ResetContext();
  EXPECT_EQ(Parse("d -" + specs + "99"), kErrTooManyKeySpecs);
  EXPECT_EQ(cd->keySpecTable[31].first, 63);  // the table holds 32, no more
}

TEST_F(OptionsTest, OverlappingKeys) {
  EXPECT_EQ(Parse("d -1-10,5-6"), kErrKeyOverlap);
  EXPECT_EQ(cd->keySpecLen, 10u);
  EXPECT_EQ(cd->keySpecTable[1].length, 0);
  ResetContext();
  EXPECT_EQ(Parse("d -3,3"), kErrKeyOverlap);
  ResetContext();
  EXPECT_EQ(Parse("d -1-3,3-1"), kErrKeyOverlap);
}

TEST_F(OptionsTest, MalformedSpecifications) {
  const struct {
    const char* text;
    Status status;
    uint32_t keyBytes;  // stored before the refusal
  } cases[] = {
      {"d -1-2-3", kErrKeySyntax, 0},
      {"d -65535", kErrKeyTooLarge, 0},
      {"d -1-65535", kErrKeyTooLarge, 0},
      // A specification that starts with '-' or 0 stays pending: it adds
      // nothing, later digits extend its last column, a further '-' is refused.
      {"d -0-5", kErrIncomplete, 0},
      {"d --5,7", kErrIncomplete, 0},
      {"d -0-5,7-", kErrKeySyntax, 0},
      {"d -1-10 -5-6", kErrKeySyntax, 10},
  };
  for (const auto& c : cases) {
    ResetContext();
    EXPECT_EQ(Parse(c.text), c.status) << c.text;
    EXPECT_EQ(cd->keySpecLen, c.keyBytes) << c.text;
  }
  ResetContext();
  ASSERT_EQ(Parse("d -65534,5-"), kOk);  // a missing last column is the first
  EXPECT_EQ(cd->keySpecTable[1].length, 1);
}

TEST_F(OptionsTest, KeyRangeReusesASelectionColumn) {
  ASSERT_EQ(Parse("d -p5=A,3-6"), kOk);
  EXPECT_EQ(cd->colCount, 4);
  EXPECT_EQ(Columns(), "3:0:8 4:1:8 5:2:40:A 6:3:8");
}

TEST_F(OptionsTest, AddKeyRangeResults) {
  EXPECT_EQ(AddKeyRange(1, 3), 0);
  EXPECT_EQ(AddKeyRange(3, 3), 1);
  EXPECT_EQ(AddKeyRange(10, 157), 2);  // the 151st entry
  EXPECT_EQ(cd->colCount, 150);
}

}  // namespace
