// The record scanner: record formats and marks, the buffer boundary, tabs,
// deleted records, the end-of-file mark, short records, record selection
// and the failures of a scan.
#include "sort/scanner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sort_fixture.h"

namespace {

using st::Col;
using st::Item;

class ScannerTest : public st::SortFixture {
 protected:
  // Runs CreateSubList until the data is exhausted or a failure, collecting
  // the items of every sub-list. Returns the last status.
  Status ScanAll(std::vector<Item>* items) {
    for (;;) {
      Status r = CreateSubList();
      if (r != kOk && r != kSubListLast) return r;
      const uint8_t* it = cd->sortMem;
      for (; !IsEndOfRun(it); it += cd->itemLen) items->push_back(st::ItemAt(it));
      if (r == kSubListLast) return r;
    }
  }

  void SetMark(uint8_t len, uint8_t c1, uint8_t c2) {
    cd->eorLen = len;
    cd->eorChar1 = c1;
    cd->eorChar2 = c2;
  }
};

struct MarkCase {
  const char* name;
  const char* mark;
  uint8_t len, c1, c2;
};

class ScannerMarkTest : public ScannerTest, public ::testing::WithParamInterface<MarkCase> {};

TEST_P(ScannerMarkTest, SplitsRecordsAtTheirMark) {
  const MarkCase& m = GetParam();
  std::string mk(m.mark);
  OpenData("AB" + mk + "CDE" + mk + "F" + mk);
  SetMark(m.len, m.c1, m.c2);
  cd->allowVarLen = 1;
  SetKeyRange(0, 2);
  SetSortMemory(8192);
  std::vector<Item> items;
  ASSERT_EQ(ScanAll(&items), kSubListLast);
  uint16_t ml = m.len;
  std::vector<Item> want = {{0, static_cast<uint16_t>(2 + ml), "AB"},
                            {2u + ml, static_cast<uint16_t>(3 + ml), "CD"},
                            {5u + 2 * ml, static_cast<uint16_t>(1 + ml), "F "}};
  EXPECT_EQ(items, want);
  EXPECT_EQ(cd->recCount, 3u);
}

INSTANTIATE_TEST_SUITE_P(Marks, ScannerMarkTest,
                         ::testing::Values(MarkCase{"LF", "\n", 1, '\n', 0},
                                           MarkCase{"CR", "\r", 1, '\r', 0},
                                           MarkCase{"CRLF", "\r\n", 2, '\r', '\n'},
                                           MarkCase{"LFCR", "\n\r", 2, '\n', '\r'}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ScannerTest, OneByteOfATwoByteMarkIsData) {
  OpenData("A\rB\r\nC\nD\r\n");
  SetMark(2, '\r', '\n');
  cd->allowVarLen = 1;
  SetKeyRange(0, 3);
  SetSortMemory(8192);
  std::vector<Item> items;
  ASSERT_EQ(ScanAll(&items), kSubListLast);
  std::vector<Item> want = {{0, 5, "A\rB"}, {5, 5, "C\nD"}};
  EXPECT_EQ(items, want);
}

TEST_F(ScannerTest, FirstRecordSetsTheRecordLength) {
  OpenData("ABCDE\nXY\n");
  cd->allowVarLen = 1;
  SetKeyRange(0, 1);
  SetSortMemory(8192);
  std::vector<Item> items;
  ASSERT_EQ(ScanAll(&items), kSubListLast);
  EXPECT_EQ(cd->recLenFound, 256u + 1);  // variable length: at least the default maximum

  Restart();
  OpenData("ABCDE\nXY\n");
  SetKeyRange(0, 1);
  SetSortMemory(8192);
  items.clear();
  ASSERT_EQ(ScanAll(&items), kSubListLast);
  EXPECT_EQ(cd->recLenFound, 6u);
}

TEST_F(ScannerTest, MarkSplitAcrossTheBufferBoundaryIsSeenThroughTheLookAhead) {
  // The first record puts a CR at byte 65,535, the last of the first buffer,
  // and its LF at 65,536, the first byte of the second.
  std::string data = std::string(35, 'a') + "\r\n";
  for (int i = 0; i < 700; ++i) {
    char head[8];
    snprintf(head, sizeof head, "%04d", i);
    data += std::string(head) + std::string(94, 'x') + "\r\n";
  }
  ASSERT_EQ(data[65535], '\r');
  ASSERT_EQ(data[65536], '\n');
  OpenData(data);
  SetMark(2, '\r', '\n');
  cd->allowVarLen = 1;
  SetKeyRange(0, 4);
  SetSortMemory(1 << 16);
  std::vector<Item> items;
  ASSERT_EQ(ScanAll(&items), kSubListLast);
  ASSERT_EQ(items.size(), 701u);
  for (int i = 0; i < 700; ++i) {
    char head[8];
    snprintf(head, sizeof head, "%04d", i);
    EXPECT_EQ(items[i + 1], (Item{37u + 100u * i, 100, head})) << i;
  }
  EXPECT_EQ(cd->varLenFound, 0);
}

TEST_F(ScannerTest, SubListsCarryTheScanOver) {
  std::string data;
  for (int i = 0; i < 100; ++i) data += std::string(1, static_cast<char>('A' + i % 26)) + "\n";
  OpenData(data);
  SetKeyRange(0, 1);
  SetSortMemory(30 * (11 + 8));  // 29 slots: 28 items and the end-of-run item
  ASSERT_EQ(cd->itemsInMem, 29u);
  std::vector<Status> results;
  std::vector<Item> items;
  for (;;) {
    Status r = CreateSubList();
    results.push_back(r);
    for (const uint8_t* it = cd->sortMem; !IsEndOfRun(it); it += cd->itemLen) {
      items.push_back(st::ItemAt(it));
    }
    if (r != kOk) break;
  }
  EXPECT_EQ(results, (std::vector<Status>{kOk, kOk, kOk, kSubListLast}));
  ASSERT_EQ(items.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(items[i].pos, 2u * i);
}

TEST_F(ScannerTest, BinaryRecordsWithoutMarks) {
  // Marks, tabs and end-of-file marks are ordinary bytes of binary records.
  OpenData("ABCD\nF\tH\x1AIJ.");
  cd->binaryData = 1;
  cd->eorLen = 0;
  cd->recLenFound = 4;
  SetKeyRange(0, 4);
  SetSortMemory(8192);
  std::vector<Item> items;
  ASSERT_EQ(ScanAll(&items), kSubListLast);
  std::vector<Item> want = {{0, 4, "ABCD"}, {4, 4, "\nF\tH"}, {8, 4, "\x1AIJ."}};
  EXPECT_EQ(items, want);
  EXPECT_EQ(cd->spaceCompFound, 0);
}

TEST_F(ScannerTest, BinaryRecordsWithTheirMark) {
  OpenData("ABC\nDEF\n");
  cd->binaryData = cd->binaryWithEor = 1;
  cd->isiEorLen = 1;
  cd->eorLen = 0;
  cd->recLenFound = 4;
  SetKeyRange(0, 3);
  SetSortMemory(8192);
  std::vector<Item> items;
  ASSERT_EQ(ScanAll(&items), kSubListLast);
  std::vector<Item> want = {{0, 4, "ABC"}, {4, 4, "DEF"}};
  EXPECT_EQ(items, want);
}

TEST_F(ScannerTest, BinaryRecordsWithATwoByteMark) {
  OpenData("ABC\r\nDEF\r\n");
  cd->binaryData = cd->binaryWithEor = 1;
  cd->isiEorLen = 2;
  cd->eorChar1 = '\r';
  cd->eorChar2 = '\n';
  cd->eorLen = 0;
  cd->recLenFound = 5;
  SetKeyRange(0, 3);
  SetSortMemory(8192);
  std::vector<Item> items;
  ASSERT_EQ(ScanAll(&items), kSubListLast);
  EXPECT_EQ(items.size(), 2u);
}

TEST_F(ScannerTest, BinaryRecordWithoutItsMarkFails) {
  OpenData("ABC\nDEFX");
  cd->binaryData = cd->binaryWithEor = 1;
  cd->eorLen = 0;
  cd->recLenFound = 4;
  SetKeyRange(0, 3);
  SetSortMemory(8192);
  std::vector<Item> items;
  EXPECT_EQ(ScanAll(&items), kErrBinaryEor);
  EXPECT_EQ(cd->recStartPos, 4u);  // the driver reports the record's position
}

TEST_F(ScannerTest, TabsExpandToTheNextTabStop) {
  OpenData("ABCD\tEF\n");
  cd->allowVarLen = cd->allowSpaceComp = 1;
  SetKeyRange(0, 10);
  SetSortMemory(8192);
  std::vector<Item> items;
  ASSERT_EQ(ScanAll(&items), kSubListLast);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0], (Item{0, 8, "ABCD    EF"}));  // the tab counts as one byte
  EXPECT_EQ(cd->spaceCompFound, 1);
}

TEST_F(ScannerTest, TabAtAStopExpandsToAFullRun) {
  OpenData("\tX\nAB\n");
  cd->allowVarLen = 1;
  SetKeyRange(8, 1);
  SetSortMemory(8192);
  std::vector<Item> items;
  ASSERT_EQ(ScanAll(&items), kSubListLast);
  std::vector<Item> want = {{0, 3, "X"}, {3, 3, " "}};
  EXPECT_EQ(items, want);
}

TEST_F(ScannerTest, WithOptionBATabIsAnOrdinaryByte) {
  OpenData("ABCD\tEF\n");
  cd->allowVarLen = 1;
  cd->spaceCompIsComp = 0;
  SetKeyRange(0, 10);
  SetSortMemory(8192);
  std::vector<Item> items;
  ASSERT_EQ(ScanAll(&items), kSubListLast);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0], (Item{0, 8, "ABCD\tEF   "}));
  EXPECT_EQ(cd->spaceCompFound, 0);
}

TEST_F(ScannerTest, LongRecordUnderOptionSIsNotedOnce) {
  cd->diagMode = 1;
  OpenData("AB\nABCDEF\nABCDEFG\n");
  cd->allowVarLen = cd->allowSpaceComp = 1;
  cd->recLenFound = 5;
  SetKeyRange(0, 1);
  SetSortMemory(8192);
  std::vector<Item> items;
  ASSERT_EQ(ScanAll(&items), kSubListLast);
  EXPECT_EQ(cd->longRecFound, 1);
  EXPECT_EQ(Messages(),
            "\nCreateSubList(1):\n1st Long Rec Length:6 at LFA:0x00000003 Max Allowed "
            "RecordLength:5!\n");
}

TEST_F(ScannerTest, DeletedRecordsOfFixedLengthTextGoToTheDeletedList) {
  OpenData(std::string("ABC\n") + std::string(8, '\0') + "DEF\n" + std::string(4, '\0') + "GHI\n");
  cd->recLenFound = 4;
  UseDdrSector(false);
  SetKeyRange(0, 3);
  SetSortMemory(8192);
  std::vector<Item> items;
  ASSERT_EQ(ScanAll(&items), kSubListLast);
  std::vector<Item> want = {{0, 4, "ABC"}, {12, 4, "DEF"}, {20, 4, "GHI"}};
  EXPECT_EQ(items, want);
  EXPECT_EQ(cd->deletedCount, 3u);
  EXPECT_EQ(DdrEntries(), (std::vector<uint32_t>{4, 8, 16}));
  EXPECT_EQ(cd->recCount, 3u);  // deleted records are not counted
  EXPECT_EQ(cd->varLenFound, 0);
  EXPECT_EQ(cd->posInvalidFound, 0);
}

TEST_F(ScannerTest, DeletedRecordsAreNumberedUnderRecordNumberAddressing) {
  OpenData(std::string("ABC\n") + std::string(8, '\0') + "DEF\n");
  cd->recLenFound = 4;
  UseDdrSector(true);
  SetKeyRange(0, 3);
  SetSortMemory(8192);
  std::vector<Item> items;
  ASSERT_EQ(ScanAll(&items), kSubListLast);
  EXPECT_EQ(DdrEntries(), (std::vector<uint32_t>{1, 2}));
}

TEST_F(ScannerTest, ZeroRunOfOneAndAHalfRecordsIsNotFixedLength) {
  cd->diagMode = 1;
  OpenData(std::string("ABC\n") + std::string(6, '\0') + "DEF\n" + std::string(2, '\0') + "GH\n");
  cd->recLenFound = 4;
  UseDdrSector(false);
  SetKeyRange(0, 3);
  SetSortMemory(8192);
  std::vector<Item> items;
  ASSERT_EQ(ScanAll(&items), kSubListLast);
  std::vector<Item> want = {{0, 4, "ABC"}, {10, 4, "DEF"}, {16, 3, "GH "}};
  EXPECT_EQ(items, want);
  EXPECT_EQ(DdrEntries(), (std::vector<uint32_t>{4, 8, 14}));
  EXPECT_EQ(cd->varLenFound, 1);
  EXPECT_EQ(cd->posInvalidFound, 1);
  // The diagnostic line comes once only.
  EXPECT_EQ(Messages(), "\nCreateSubList(1): Variable record detected after deleted record!\n");
}

TEST_F(ScannerTest, VariableLengthDataSkipsZeroBytes) {
  OpenData(std::string("AB\n") + std::string(5, '\0') + "CD\n");
  cd->allowVarLen = 1;
  UseDdrSector(false);
  SetKeyRange(0, 2);
  SetSortMemory(8192);
  std::vector<Item> items;
  ASSERT_EQ(ScanAll(&items), kSubListLast);
  std::vector<Item> want = {{0, 3, "AB"}, {8, 3, "CD"}};
  EXPECT_EQ(items, want);
  EXPECT_EQ(cd->deletedCount, 0u);
  EXPECT_TRUE(DdrEntries().empty());
}

TEST_F(ScannerTest, BinaryAllZeroRecordIsDeletedAndAZeroPrefixedOneIsKept) {
  OpenData(std::string("ABCD") + std::string(4, '\0') + std::string("\0\0XY", 4) + "EFGH");
  cd->binaryData = 1;
  cd->eorLen = 0;
  cd->recLenFound = 4;
  UseDdrSector(false);
  SetKeyRange(0, 4);
  SetSortMemory(8192);
  std::vector<Item> items;
  ASSERT_EQ(ScanAll(&items), kSubListLast);
  std::vector<Item> want = {{0, 4, "ABCD"}, {8, 4, std::string("\0\0XY", 4)}, {12, 4, "EFGH"}};
  EXPECT_EQ(items, want);
  EXPECT_EQ(DdrEntries(), (std::vector<uint32_t>{4}));
}

TEST_F(ScannerTest, BinaryZeroPrefixAcrossTheBufferBoundaryIsRescanned) {
  // Six-byte records; the one at 65,532 starts with four zeros that end the
  // first buffer, and two data bytes in the second.
  std::string data;
  for (int i = 0; i < 10922; ++i) data += "rec" + std::string(1, 'a' + i % 26) + "\n.";
  data += std::string(4, '\0') + "XY";
  data += "last\n.";
  ASSERT_EQ(data.size(), 65544u);
  OpenData(data);
  cd->binaryData = 1;
  cd->eorLen = 0;
  cd->recLenFound = 6;
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

TEST_F(ScannerTest, EndOfFileMarkEndsTextDataOnlyAtARecordStart) {
  OpenData(
      "A\x1A"
      "B\nCD\n\x1A"
      "EF\n");
  SetKeyRange(0, 3);
  cd->allowVarLen = 1;
  SetSortMemory(8192);
  std::vector<Item> items;
  ASSERT_EQ(ScanAll(&items), kSubListLast);
  std::vector<Item> want = {{0, 4,
                             "A\x1A"
                             "B"},
                            {4, 3, "CD "}};
  EXPECT_EQ(items, want);
}

TEST_F(ScannerTest, TrailingEndOfFileMarkIsDroppedFromTextButKeptInBinaryData) {
  OpenData("AB\n\x1A");
  SetKeyRange(0, 2);
  cd->allowVarLen = 1;
  SetSortMemory(8192);
  std::vector<Item> items;
  ASSERT_EQ(ScanAll(&items), kSubListLast);
  EXPECT_EQ(items.size(), 1u);
  EXPECT_EQ(cd->readPos, 3u);

  Restart();
  OpenData("ABCD\x1A\x1A\x1A\x1A");
  cd->binaryData = 1;
  cd->eorLen = 0;
  cd->recLenFound = 4;
  SetKeyRange(0, 1);
  SetSortMemory(8192);
  items.clear();
  ASSERT_EQ(ScanAll(&items), kSubListLast);
  EXPECT_EQ(items.size(), 2u);
}

TEST_F(ScannerTest, ShortRecordsArePaddedWithBlanks) {
  OpenData("AB\n\nABCDEFG\n");
  cd->allowVarLen = 1;
  SetColumns({{1, 0, kColKey}, {5, 1, kColKey}, {6, 2, kColKey}});
  SetSortMemory(8192);
  std::vector<Item> items;
  ASSERT_EQ(ScanAll(&items), kSubListLast);
  std::vector<Item> want = {{0, 3, "B  "}, {3, 1, "   "}, {4, 8, "BFG"}};
  EXPECT_EQ(items, want);
}

TEST_F(ScannerTest, KeyColumnsInAnyOrder) {
  OpenData("ABCDE\n");
  cd->allowVarLen = 1;
  // Columns 5, 4, ..., 1 into key positions 0..4.
  SetColumns({{0, 4, kColKey}, {1, 3, kColKey}, {2, 2, kColKey}, {3, 1, kColKey}, {4, 0, kColKey}});
  SetSortMemory(8192);
  std::vector<Item> items;
  ASSERT_EQ(ScanAll(&items), kSubListLast);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].key, "EDCBA");
}

TEST_F(ScannerTest, UpperCaseFlagFoldsKeyBytes) {
  OpenData("ab1z{\n");
  cd->allowVarLen = 1;
  SetKeyRange(0, 5, kColUpper);
  SetSortMemory(8192);
  std::vector<Item> items;
  ASSERT_EQ(ScanAll(&items), kSubListLast);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].key, "AB1Z{");
}

TEST_F(ScannerTest, EqualTestSelectsPrimaryRecords) {
  OpenData("A1X\nB2Y\nC3X\nD\n");
  cd->allowVarLen = 1;
  // Key column 1; column 3 must be 'X'.
  SetColumns({{0, 0, kColKey}, {2, 0, kColEqual, 'X'}});
  cd->pOptionCount = 1;
  SetSortMemory(8192);
  std::vector<Item> items;
  ASSERT_EQ(ScanAll(&items), kSubListLast);
  std::vector<Item> want = {{0, 4, "A"}, {8, 4, "C"}};
  EXPECT_EQ(items, want);
  EXPECT_EQ(cd->recCount, 4u);  // unselected records still count
}

TEST_F(ScannerTest, NotEqualTestSelectsTheOthers) {
  OpenData("A1X\nB2Y\nC3X\nD\n");
  cd->allowVarLen = 1;
  SetColumns({{0, 0, kColKey}, {2, 0, kColNotEqual, 'X'}});
  cd->pOptionCount = 1;
  SetSortMemory(8192);
  std::vector<Item> items;
  ASSERT_EQ(ScanAll(&items), kSubListLast);
  // The short record D sees a blank in column 3, which differs from X.
  std::vector<Item> want = {{4, 4, "B"}, {12, 2, "D"}};
  EXPECT_EQ(items, want);
}

TEST_F(ScannerTest, TestAndKeyOnOneColumnAndTwoTests) {
  OpenData("XA\nXB\nYA\nX\n");
  cd->allowVarLen = 1;
  // Column 1 is both tested (= X) and a key byte; column 2 must not be B.
  SetColumns({{0, 0, kColKey | kColEqual, 'X'}, {1, 1, kColKey | kColNotEqual, 'B'}});
  cd->pOptionCount = 2;
  SetSortMemory(8192);
  std::vector<Item> items;
  ASSERT_EQ(ScanAll(&items), kSubListLast);
  std::vector<Item> want = {{0, 3, "XA"}, {9, 2, "X "}};
  EXPECT_EQ(items, want);
}

TEST_F(ScannerTest, MapColumnSkipsColumnsThatTakeNoPart) {
  SetColumns({{3, 0, kColKey}, {40000, 1, kColKey}});
  cd->colCursor = cd->colTable;
  uint8_t c = 'a';
  EXPECT_EQ(MapColumn(0, &c), 0x8000 + 2);
  EXPECT_EQ(MapColumn(3, &c), 0);
  // A long gap is passed over in steps that never reach the special values.
  EXPECT_EQ(MapColumn(4, &c), 0x8000 + 0x7FFD);
  EXPECT_EQ(MapColumn(40000, &c), 1);
  EXPECT_EQ(MapColumn(40001, &c), 0xFFFF);
}

TEST_F(ScannerTest, MapColumnRejectsAndStaysOnTheFailedTest) {
  SetColumns({{1, 0, kColEqual, 'Q'}, {2, 0, kColKey}});
  cd->colCursor = cd->colTable;
  cd->selPassCount = 3;
  uint8_t c = 'R';
  EXPECT_EQ(MapColumn(1, &c), 0xFFFE);
  EXPECT_EQ(cd->selPassCount, 0);
  EXPECT_EQ(cd->colCursor, cd->colTable);
  c = 'Q';
  EXPECT_EQ(MapColumn(1, &c), 0x8000);
  EXPECT_EQ(cd->selPassCount, 1);
}

TEST_F(ScannerTest, MapColumnPastEndServesKeysAndTestsInTableOrder) {
  SetColumns({{5, 0, kColKey}, {7, 0, kColEqual, ' '}, {9, 1, kColKey}});
  cd->colCursor = cd->colTable;
  uint8_t c = ' ';
  EXPECT_EQ(MapColumnPastEnd(3, &c), 0);
  EXPECT_EQ(MapColumnPastEnd(4, &c), 1);
  EXPECT_EQ(cd->selPassCount, 1);
  EXPECT_EQ(MapColumnPastEnd(5, &c), 0xFFFF);

  SetColumns({{5, 0, kColKey}, {7, 0, kColEqual, 'X'}, {9, 1, kColKey}});
  cd->colCursor = cd->colTable;
  EXPECT_EQ(MapColumnPastEnd(3, &c), 0);
  EXPECT_EQ(MapColumnPastEnd(4, &c), 0xFFFF);  // failed: the record is rejected
  EXPECT_EQ(cd->selPassCount, 0);
}

TEST_F(ScannerTest, RecordLongerThanTheLimitFails) {
  OpenData("AB\n" + std::string(65533, 'x') + "\n");
  cd->allowVarLen = 1;
  SetKeyRange(0, 1);
  SetSortMemory(8192);
  std::vector<Item> items;
  EXPECT_EQ(ScanAll(&items), kSubListLast);  // 65,534 bytes with its mark: allowed

  Restart();
  OpenData("AB\n" + std::string(65534, 'x') + "\n");
  cd->allowVarLen = 1;
  SetKeyRange(0, 1);
  SetSortMemory(8192);
  items.clear();
  EXPECT_EQ(ScanAll(&items), kErrLongRecord);

  Restart();
  OpenData("AB\r\n" + std::string(65532, 'x') + "\r\n");
  SetMark(2, '\r', '\n');
  cd->allowVarLen = 1;
  SetKeyRange(0, 1);
  SetSortMemory(8192);
  items.clear();
  EXPECT_EQ(ScanAll(&items), kErrLongRecord);  // 65,534 > 65,535 − 2
}

TEST_F(ScannerTest, EmptyDataGivesAnEmptySubList) {
  OpenData("");
  SetKeyRange(0, 2);
  SetSortMemory(8192);
  EXPECT_EQ(CreateSubList(), kSubListLast);
  EXPECT_TRUE(IsEndOfRun(cd->sortMem));
  EXPECT_EQ(cd->recCount, 0u);
}

TEST_F(ScannerTest, UnreadableDataFails) {
  OpenData("AB\nCD\n");
  SetKeyRange(0, 2);
  SetSortMemory(8192);
  FaultPlan plan;
  plan.classes = kFaultRead;
  plan.failAt = 1;
  plan.err = EIO;
  plan.sticky = true;
  SysSetFaultPlan(plan);
  EXPECT_EQ(CreateSubList(), kErrInputRead);
}

TEST_F(ScannerTest, DeletedListWriteFailureEndsTheScan) {
  // 127 deleted records: the 127th finds the sector full and must write it.
  OpenData(std::string("ABC\n") + std::string(127 * 4, '\0') + "DEF\n");
  cd->recLenFound = 4;
  UseDdrSector(false);
  cd->outFd = open(dir.file("out.isi").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666);
  SetKeyRange(0, 3);
  SetSortMemory(8192);
  FaultPlan plan;
  plan.classes = kFaultWrite;
  plan.failAt = 1;
  plan.err = ENOSPC;
  SysSetFaultPlan(plan);
  std::vector<Item> items;
  EXPECT_EQ(ScanAll(&items), kErrDdrWrite);
  EXPECT_EQ(cd->deletedCount, 127u);
}

// ---- fillInputBuffer ------------------------------------------------------

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

TEST_F(ScannerTest, FillRetriesAShortReadAndReportsIt) {
  cd->diagMode = 1;
  OpenData(std::string(100000, 'a'));
  FaultPlan plan;
  plan.classes = kFaultRead;
  plan.failAt = 1;
  plan.shortIo = true;
  SysSetFaultPlan(plan);
  EXPECT_EQ(fillInputBuffer(cd->inFd), 65536);
  EXPECT_EQ(Messages(),
            "\nfillInputBuffer(2):\n Retry:2  At location:0x00000000  Bytes read was:32768 Should "
            "be:65536\n");
}

TEST_F(ScannerTest, FillGivesUpAfterFourShortReads) {
  cd->diagMode = 1;
  OpenData(std::string(100000, 'a'));
  FaultPlan plan;
  plan.classes = kFaultRead;
  plan.failAt = 1;
  plan.shortIo = true;
  plan.sticky = true;
  SysSetFaultPlan(plan);
  EXPECT_EQ(fillInputBuffer(cd->inFd), kErrInputRead);
  EXPECT_EQ(SysFaultCallCount(), 4u);
  std::string m = Messages();
  EXPECT_NE(m.find("Retry:2"), std::string::npos);
  EXPECT_NE(m.find("Retry:0"), std::string::npos);
  EXPECT_NE(m.find("\nfillInputBuffer(1): Invalid number of bytes read!\n"), std::string::npos);
}

}  // namespace
