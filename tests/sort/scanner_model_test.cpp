// The scanner against a model of what it must produce, on data made to
// exercise its bulk paths: runs of skipped columns and runs of key columns
// taken as blocks, broken by marks, by tabs (expanded or not) and by the
// end of the 64 KiB input buffer at every kind of place. The model splits
// the data at its marks, expands tabs to stops every 8 columns and reads
// each key byte from its column (a blank past the record's end).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "sort_fixture.h"

namespace {

using st::Col;
using st::Item;

std::vector<Col> Range(uint16_t firstCol, uint16_t count, uint16_t firstPos, uint16_t flags = 0) {
  std::vector<Col> v;
  for (uint16_t i = 0; i < count; ++i) {
    v.push_back({static_cast<uint16_t>(firstCol + i), static_cast<uint16_t>(firstPos + i),
                 static_cast<uint16_t>(kColKey | flags)});
  }
  return v;
}

std::vector<Col> Join(std::vector<Col> a, const std::vector<Col>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Layout {
  const char* name;
  std::vector<Col> cols;
};

std::vector<Layout> Layouts() {
  std::vector<Col> reversed;
  for (uint16_t c = 0; c < 10; ++c) reversed.push_back({c, static_cast<uint16_t>(9 - c), kColKey});
  return {
      {"Leading", Range(0, 10, 0)},
      {"TwoRunsWithAGap", Join(Range(3, 5, 0), Range(20, 10, 5))},
      {"KeyPositionsOutOfColumnOrder", Join(Range(0, 5, 5), Range(10, 5, 0))},
      {"FoldedAndPlainRunsSideBySide", Join(Range(0, 4, 0, kColUpper), Range(4, 4, 4))},
      {"Reversed", reversed},
      {"WideRun", Range(0, 40, 0)},
      {"FarColumns", Join(Range(100, 21, 0), Range(250, 11, 21))},
  };
}

std::string ModelKey(const std::string& raw, bool expandTabs, const std::vector<Col>& cols) {
  std::string cells;
  for (char ch : raw) {
    if (ch == '\t' && expandTabs) {
      cells.append(8 - cells.size() % 8, ' ');
    } else {
      cells += ch;
    }
  }
  std::string key(cols.size(), '?');
  for (const Col& c : cols) {
    char ch = c.column < cells.size() ? cells[c.column] : ' ';
    if ((c.flags & kColUpper) && ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
    key[c.keyPos] = ch;
  }
  return key;
}

// A record body without its mark: bytes that make the scanner look closer
// (tabs, the mark's first byte alone, high bytes, the end-of-file mark
// inside the record), never the whole mark, a zero or a leading 0x1A.
std::string RandomBody(std::mt19937& rng, const std::string& mark) {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz ABCXYZ0189\t\t\r\n\x80\xff\x1a";
  size_t len = rng() % 4 == 0 ? rng() % 12 : rng() % 300;
  std::string body;
  while (body.size() < len) {
    char c = kAlphabet[rng() % (sizeof kAlphabet - 1)];
    bool wholeMark =
        mark.size() == 1 ? c == mark[0] : !body.empty() && body.back() == mark[0] && c == mark[1];
    if (wholeMark || (body.empty() && c == '\x1a')) continue;
    body += c;
  }
  return body;
}

class ScannerModelTest : public st::SortFixture,
                         public ::testing::WithParamInterface<std::tuple<int, int>> {};

const struct {
  const char* name;
  std::string mark;
  bool expandTabs;
} kModes[] = {{"LF", "\n", true}, {"LFTabsAsBytes", "\n", false}, {"CRLF", "\r\n", true}};

TEST_P(ScannerModelTest, ItemsAreWhatTheModelSays) {
  const auto& mode = kModes[std::get<1>(GetParam())];
  const std::vector<Col> cols = Layouts()[std::get<0>(GetParam())].cols;
  std::mt19937 rng(97);
  std::string data;
  std::vector<Item> want;
  bool anyTab = false;
  for (int i = 0; i < 2500; ++i) {
    std::string body = RandomBody(rng, mode.mark);
    anyTab = anyTab || body.find('\t') != std::string::npos;
    want.push_back(Item{data.size(), static_cast<uint16_t>(body.size() + mode.mark.size()),
                        ModelKey(body, mode.expandTabs, cols)});
    data += body + mode.mark;
  }
  ASSERT_GT(data.size(), 4u * 65536);
  OpenData(data);
  cd->eorLen = static_cast<uint8_t>(mode.mark.size());
  cd->eorChar1 = static_cast<uint8_t>(mode.mark[0]);
  cd->eorChar2 = mode.mark.size() == 2 ? static_cast<uint8_t>(mode.mark[1]) : 0;
  cd->spaceCompIsComp = mode.expandTabs;
  cd->allowVarLen = cd->allowSpaceComp = 1;
  cd->recLenFound = 65000;
  SetColumns(cols);
  SetSortMemory(1 << 15);
  std::vector<Item> items;
  ASSERT_EQ(ScanAll(&items), kSubListLast);
  ASSERT_EQ(items.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) ASSERT_EQ(items[i], want[i]) << "record " << i;
  EXPECT_EQ(cd->spaceCompFound, anyTab && mode.expandTabs);
  EXPECT_EQ(cd->recCount, want.size());
}

INSTANTIATE_TEST_SUITE_P(LayoutsAndMarks, ScannerModelTest,
                         ::testing::Combine(::testing::Range(0, 7), ::testing::Range(0, 3)),
                         [](const ::testing::TestParamInfo<std::tuple<int, int>>& info) {
                           return std::string(Layouts()[std::get<0>(info.param)].name) + "_" +
                                  kModes[std::get<1>(info.param)].name;
                         });

// Binary records of a fixed length, with the mark checked on their last
// byte (option g) or without: every byte is data, tabs and line feeds
// included, and the bulk copy must stop short of the last two bytes for
// the check.
class BinaryModelTest : public st::SortFixture {};

TEST_F(BinaryModelTest, RecordsAgreeWithTheModel) {
  constexpr uint32_t kRecLen = 97;
  std::mt19937 rng(41);
  for (bool withMark : {false, true}) {
    Restart();
    std::string data;
    std::vector<Item> want;
    std::vector<Col> cols = Join(Range(0, 30, 0), Range(90, 7, 30));
    for (int i = 0; i < 3000; ++i) {
      std::string rec(kRecLen, 'x');
      for (auto& c : rec) c = static_cast<char>(1 + rng() % 255);
      if (withMark) rec.back() = '\n';
      want.push_back(Item{data.size(), kRecLen, ModelKey(rec, false, cols)});
      data += rec;
    }
    OpenData(data);
    cd->binaryData = 1;
    cd->binaryWithEor = withMark;
    cd->eorLen = 0;
    cd->eorChar1 = '\n';
    cd->recLenFound = kRecLen;
    SetColumns(cols);
    SetSortMemory(1 << 16);
    std::vector<Item> items;
    ASSERT_EQ(ScanAll(&items), kSubListLast);
    ASSERT_EQ(items.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) ASSERT_EQ(items[i], want[i]) << "record " << i;
  }
}

}  // namespace
