// The record scanner on the cases the model test does not draw: the record
// length in effect, deleted records, the end-of-file mark, the longest
// record, tests on key columns, the buffer boundary at its worst places
// and the input buffer's reads and retries.
#include "sort/scanner.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "sort_fixture.h"

namespace {

using st::Col;
using st::Item;

class ScannerTest : public st::SortFixture {
 protected:
  void SetMark(uint8_t len, uint8_t c1, uint8_t c2) {
    cd->eorLen = len;
    cd->eorChar1 = c1;
    cd->eorChar2 = c2;
  }
  void Binary(uint32_t recLen) {
    cd->binaryData = 1;
    cd->eorLen = 0;
    cd->recLenFound = recLen;
  }
};

TEST_F(ScannerTest, Cases) {
  const std::string z(200, '\0'), x65533(65533, 'x');
  const struct {
    const char* what;
    std::string data;
    std::function<void()> set;
    std::vector<Col> cols;
    Status status;
    std::vector<Item> items;
    std::function<void()> check = [] {};
    std::vector<uint32_t> ddr = {};
    std::string shown = "";
  } cases[] = {
      {"variable length: at least the default maximum is in effect",
       "ABCDE\nXY\n",
       [&] { cd->allowVarLen = 1; },
       {{0, 0, kColKey}},
       kSubListLast,
       {{0, 6, "A"}, {6, 3, "X"}},
       [&] { EXPECT_EQ(cd->recLenFound, 257u); }},
      {"fixed length: the first record's",
       "ABCDE\nXY\n",
       [] {},
       {{0, 0, kColKey}},
       kSubListLast,
       {{0, 6, "A"}, {6, 3, "X"}},
       [&] { EXPECT_EQ(cd->recLenFound, 6u); }},
      {"binary records with a two-byte mark",
       "ABC\r\nDEF\r\n",
       [&] { Binary(5), cd->binaryWithEor = 1, cd->isiEorLen = 2, SetMark(0, '\r', '\n'); },
       {{0, 0, kColKey}, {1, 1, kColKey}, {2, 2, kColKey}},
       kSubListLast,
       {{0, 5, "ABC"}, {5, 5, "DEF"}}},
      {"a long record under s is noted once",
       "AB\nABCDEF\nABCDEFG\n",
       [&] { cd->diagMode = cd->allowVarLen = cd->allowSpaceComp = 1, cd->recLenFound = 5; },
       {{0, 0, kColKey}},
       kSubListLast,
       {{0, 3, "A"}, {3, 7, "A"}, {10, 8, "A"}},
       [&] { EXPECT_EQ(cd->longRecFound, 1); },
       {},
       "\nCreateSubList(1):\n1st Long Rec Length:6 at LFA:0x00000003 Max Allowed "
       "RecordLength:5!\n"},
      {"deleted fixed-length records",
       "ABC\n" + z.substr(0, 8) + "DEF\n" + z.substr(0, 4) + "GHI\n",
       [&] { cd->recLenFound = 4, UseDdrSector(false); },
       {{0, 0, kColKey}, {1, 1, kColKey}, {2, 2, kColKey}},
       kSubListLast,
       {{0, 4, "ABC"}, {12, 4, "DEF"}, {20, 4, "GHI"}},
       [&] {
         EXPECT_EQ(cd->deletedCount, 3u);
         EXPECT_EQ(cd->recCount, 3u);  // deleted records are not counted
         EXPECT_EQ(cd->varLenFound + cd->posInvalidFound, 0);
       },
       {4, 8, 16}},
      {"deleted ones numbered under record numbers",
       "ABC\n" + z.substr(0, 8) + "DEF\n",
       [&] { cd->recLenFound = 4, UseDdrSector(true); },
       {{0, 0, kColKey}},
       kSubListLast,
       {{0, 4, "A"}, {12, 4, "D"}},
       [] {},
       {1, 2}},
      {"zeros of one and a half records",
       "ABC\n" + z.substr(0, 6) + "DEF\n" + z.substr(0, 2) + "GH\n",
       [&] { cd->diagMode = 1, cd->recLenFound = 4, UseDdrSector(false); },
       {{0, 0, kColKey}, {1, 1, kColKey}, {2, 2, kColKey}},
       kSubListLast,
       {{0, 4, "ABC"}, {10, 4, "DEF"}, {16, 3, "GH "}},
       [&] { EXPECT_EQ(cd->varLenFound + cd->posInvalidFound, 2); },
       {4, 8, 14},
       "\nCreateSubList(1): Variable record detected after deleted record!\n"},  // once only
      {"variable length passes over zero bytes",
       "AB\n" + z.substr(0, 5) + "CD\n",
       [&] { cd->allowVarLen = 1, UseDdrSector(false); },
       {{0, 0, kColKey}},
       kSubListLast,
       {{0, 3, "A"}, {8, 3, "C"}},
       [&] { EXPECT_EQ(cd->deletedCount, 0u); }},
      {"an end-of-file mark ends text only at a record start",
       "A\x1A"
       "B\nCD\n\x1A"
       "EF\n",
       [&] { cd->allowVarLen = 1; },
       {{0, 0, kColKey}, {1, 1, kColKey}},
       kSubListLast,
       {{0, 4, "A\x1A"}, {4, 3, "CD"}}},
      {"a trailing one is dropped from text",
       "AB\n\x1A",
       [&] { cd->allowVarLen = 1; },
       {{0, 0, kColKey}},
       kSubListLast,
       {{0, 3, "A"}},
       [&] { EXPECT_EQ(cd->readPos, 3u); }},
      {"and kept in binary data",
       "ABCD\x1A\x1A\x1A\x1A",
       [&] { Binary(4); },
       {{0, 0, kColKey}},
       kSubListLast,
       {{0, 4, "A"}, {4, 4, "\x1A"}}},
      // Column 1 is tested (= X) and a key byte; column 2 must not be B.
      {"a tested key column and two tests",
       "XA\nXB\nYA\nX\n",
       [&] { cd->allowVarLen = 1, cd->pOptionCount = 2; },
       {{0, 0, kColKey | kColEqual, 'X'}, {1, 1, kColKey | kColNotEqual, 'B'}},
       kSubListLast,
       {{0, 3, "XA"}, {9, 2, "X "}}},
      {"65,534 bytes with the mark are allowed",
       "AB\n" + x65533 + "\n",
       [&] { cd->allowVarLen = 1; },
       {{0, 0, kColKey}},
       kSubListLast,
       {{0, 3, "A"}, {3, 65534, "x"}}},
      {"one more is too long",
       "AB\n" + x65533 + "x\n",
       [&] { cd->allowVarLen = 1; },
       {{0, 0, kColKey}},
       kErrLongRecord,
       {}},
      {"65,534 > 65,535 - 2 with a two-byte mark",
       "AB\r\n" + x65533.substr(1) + "\r\n",
       [&] { cd->allowVarLen = 1, SetMark(2, '\r', '\n'); },
       {{0, 0, kColKey}},
       kErrLongRecord,
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Restart();
    size_t before = Messages().size();
    OpenData(c.data);
    c.set();
    SetColumns(c.cols);
    SetSortMemory(8192);
    std::vector<Item> items;
    EXPECT_EQ(ScanAll(&items), c.status);
    EXPECT_EQ(items, c.items);
    c.check();
    if (!ddr.empty()) {
      EXPECT_EQ(DdrEntries(), c.ddr);
    }
    EXPECT_EQ(Messages().substr(before), c.shown);
  }
}

TEST_F(ScannerTest, SubListsCarryTheScanOver) {
  std::string data;
  for (int i = 0; i < 100; ++i) data += std::string(1, static_cast<char>('A' + i % 26)) + "\n";
  OpenData(data);
  SetKeyRange(0, 1);
  SetSortMemory(30 * (11 + 8));  // 29 slots: 28 items and the end-of-run item
  std::vector<Item> items;
  std::vector<Status> results;
  ScanAll(&items, &results);
  EXPECT_EQ(results, (std::vector<Status>{kOk, kOk, kOk, kSubListLast}));
  ASSERT_EQ(items.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(items[i].pos, 2u * i);
}

// The first record puts a CR at byte 65,535, the last of the first buffer,
// and its LF at 65,536: the look-ahead byte sees the mark whole.
TEST_F(ScannerTest, MarkSplitAcrossTheBufferBoundary) {
  std::string data = std::string(35, 'a') + "\r\n";
  char head[8];
  for (int i = 0; i < 700; ++i) {
    snprintf(head, sizeof head, "%04d", i);
    data += std::string(head) + std::string(94, 'x') + "\r\n";
  }
  ASSERT_EQ(data.substr(65535, 2), "\r\n");
  OpenData(data);
  SetMark(2, '\r', '\n');
  cd->allowVarLen = 1;
  SetKeyRange(0, 4);
  SetSortMemory(1 << 16);
  std::vector<Item> items;
  ASSERT_EQ(ScanAll(&items), kSubListLast);
  ASSERT_EQ(items.size(), 701u);
  for (int i = 0; i < 700; ++i) {
    snprintf(head, sizeof head, "%04d", i);
    EXPECT_EQ(items[i + 1], (Item{37u + 100u * i, 100, head})) << i;
  }
  EXPECT_EQ(cd->varLenFound, 0);
}

// Six-byte binary records; the one at 65,532 starts with four zeros that
// end the first buffer and goes on with two data bytes in the second.
TEST_F(ScannerTest, ZeroPrefixAcrossTheBufferBoundaryIsRescanned) {
  std::string data;
  for (int i = 0; i < 10922; ++i) data += "rec" + std::string(1, 'a' + i % 26) + "\n.";
  data += std::string(4, '\0') + "XY" + "last\n.";
  OpenData(data);
  Binary(6);
  UseDdrSector(false);
  SetKeyRange(0, 6);
  SetSortMemory(1 << 20);
  std::vector<Item> items;
  ASSERT_EQ(ScanAll(&items), kSubListLast);
  ASSERT_EQ(items.size(), 10924u);
  EXPECT_EQ(items[10922], (Item{65532, 6, std::string("\0\0\0\0XY", 6)}));
  EXPECT_EQ(items[10923], (Item{65538, 6, "last\n."}));
  EXPECT_TRUE(DdrEntries().empty());
}

TEST_F(ScannerTest, FillReadsFullBuffersWithTheLookAheadByte) {
  std::string data(70000, 'a');
  data[65536] = 'L';
  OpenData(data);
  EXPECT_EQ(fillInputBuffer(cd->inFd), 65536);
  EXPECT_EQ(cd->recBuf[65536], 'L');
  EXPECT_EQ(cd->readPos, 65536u);
  EXPECT_EQ(fillInputBuffer(cd->inFd), 70000 - 65536);
  EXPECT_EQ(cd->readPos, 70000u);
  EXPECT_EQ(cd->recBufCount, 70000 - 65536);
  EXPECT_EQ(cd->lastFillCount, 70000u - 65536);
  EXPECT_EQ(fillInputBuffer(cd->inFd), 0);
}

TEST_F(ScannerTest, FillRetriesShortReadsAndGivesUpAfterFour) {
  cd->diagMode = 1;
  OpenData(std::string(100000, 'a'));
  SysSetFaultPlan({kFaultRead, 1, 0, true});
  EXPECT_EQ(fillInputBuffer(cd->inFd), 65536);
  EXPECT_EQ(Messages(),
            "\nfillInputBuffer(2):\n Retry:2  At location:0x00000000  Bytes read was:32768 Should "
            "be:65536\n");
  Restart();
  cd->diagMode = 1;
  OpenData(std::string(100000, 'a'));
  SysSetFaultPlan({kFaultRead, 1, 0, true, true});
  EXPECT_EQ(fillInputBuffer(cd->inFd), kErrInputRead);
  EXPECT_EQ(SysFaultCallCount(), 4u);
  std::string m = Messages();
  EXPECT_NE(m.find("Retry:2"), std::string::npos);
  EXPECT_NE(m.find("Retry:0"), std::string::npos);
  EXPECT_NE(m.find("\nfillInputBuffer(1): Invalid number of bytes read!\n"), std::string::npos);
}

}  // namespace
