// Ordering the column table, its -d display, and swap().
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include "options/options_fixture.h"
#include "options/parse_steps.h"
#include "options/parser.h"

namespace {

using ot::OptionsTest;

TEST_F(OptionsTest, SortOrdersEveryArrangement) {
  std::vector<uint16_t> cols = {7, 3, 9, 1, 5};
  std::sort(cols.begin(), cols.end());
  do {
    cd->colCount = static_cast<int32_t>(cols.size());
    for (size_t i = 0; i < cols.size(); ++i) {
      cd->colTable[i] = ColumnEntry{cols[i], static_cast<uint16_t>(i), kColKey, 0};
    }
    SortColumnTable();
    for (size_t i = 0; i < cols.size(); ++i) {
      ASSERT_EQ(cd->colTable[i].column, (std::vector<uint16_t>{1, 3, 5, 7, 9}[i]));
      // Whole entries move: the key position travels with its column.
      ASSERT_EQ(cols[cd->colTable[i].keyPos], cd->colTable[i].column);
    }
  } while (std::next_permutation(cols.begin(), cols.end()));
}

TEST_F(OptionsTest, DisplayWithDiagnostics) {
  cd->diagMode = 1;
  ASSERT_EQ(Parse("data -u20,p=\"30='x'\",p5=A,3-4"), kOk);
  std::string out = Output();
  size_t at = out.find("  Col   Pos Char  Other\n");
  ASSERT_NE(at, std::string::npos) << out;
  EXPECT_EQ(out.substr(at),
            "  Col   Pos Char  Other\n"
            "    3     2       Key;  Upper Case;\n"
            "    4     3       Key;  Upper Case;\n"
            "    5     0  'A'  = match;\n"
            "   20     1       Key;  Upper Case;\n"
            "   30     0  '\"'  = match;  extended;\n");
}

TEST_F(OptionsTest, NoDisplayWithoutDiagnostics) {
  ASSERT_EQ(Parse("data -1-2"), kOk);
  EXPECT_EQ(Output(), "");
}

TEST_F(OptionsTest, SwapExchangesBlocksLargerThanTheScratchItem) {
  std::vector<uint8_t> a(400), b(400);
  std::iota(a.begin(), a.end(), 0);
  std::iota(b.begin(), b.end(), 100);
  std::vector<uint8_t> a0 = a, b0 = b;
  swap(a.data(), b.data(), 400);
  EXPECT_EQ(a, b0);
  EXPECT_EQ(b, a0);
}

}  // namespace
