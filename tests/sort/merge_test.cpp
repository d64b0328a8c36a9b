// The external sort: sort trains, the merge passes, the delivered stream,
// and the progress, count and diagnostic lines a run through the binary
// does not show (its output is no terminal). The end-to-end tests hold the
// indexes of one, two and three merge passes and every failing work-file
// write and read.
#include "sort/merge.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "sort/item_sort.h"
#include "sort_fixture.h"

namespace {

using st::Item;

// Text records of four hex digits and a LF: 5 bytes each.
struct HexData {
  std::string bytes;
  std::vector<Item> items;
  void Add(uint32_t value) {
    char k[8];
    snprintf(k, sizeof k, "%04X", value & 0xFFFF);
    items.push_back(Item{bytes.size(), 5, k});
    bytes += std::string(k) + "\n";
  }
  // What an independent sort of the same items gives.
  std::vector<Item> Sorted() const {
    std::vector<Item> v = items;
    std::stable_sort(v.begin(), v.end(),
                     [](const Item& a, const Item& b) { return a.key < b.key; });
    return v;
  }
};

// `trains` blocks of `perBlock` records; every block's keys lie below the
// previous block's, so each full sub-list of `perBlock` items starts a train.
HexData DescendingBlocks(uint32_t trains, uint32_t perBlock, uint32_t lastBlock, uint32_t spread) {
  HexData d;
  std::mt19937 rng(trains);
  for (uint32_t j = 0; j < trains; ++j) {
    uint32_t n = j + 1 == trains ? lastBlock : perBlock;
    for (uint32_t i = 0; i < n; ++i) d.Add((trains + 2 - j) * spread + rng() % perBlock);
  }
  return d;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

class MergeTest : public st::SortFixture {
 protected:
  void Prepare(const std::string& data, uint64_t sortMem) {
    OpenData(data);
    cd->recLenFound = 5;
    SetKeyRange(0, 4);
    SetSortMemory(sortMem);
    MakeWorkFiles();
    cd->keysPerNode = 40;  // a tree that no record count can fill
  }
  static bool Exists(const char* name) {
    struct stat s;
    return stat(name, &s) == 0;
  }
};

TEST_F(MergeTest, DataThatFitsOneSubListMakesOneTrain) {
  HexData d;
  std::mt19937 rng(1);
  for (int i = 0; i < 300; ++i) d.Add(rng() % 200);  // with equal keys
  Prepare(d.bytes, 8192);
  ASSERT_EQ(SortMain(), kOk);
  EXPECT_EQ(st::Delivered(), d.Sorted());
  EXPECT_EQ(Messages(), "300 records, 0 deleted entries\n");
  EXPECT_EQ(cd->trainCount, 1u);
  // The file the final pass read is gone; the other one is left to the clean-up.
  EXPECT_EQ(cd->tmpFd1, -1);
  EXPECT_FALSE(Exists(cd->tmpName1));
  EXPECT_TRUE(Exists(cd->tmpName2));
}

TEST_F(MergeTest, SortedDataLargerThanMemoryStaysOneTrain) {
  HexData d;
  for (int i = 0; i < 2000; ++i) d.Add(i / 3);
  Prepare(d.bytes, 8192);
  ASSERT_EQ(cd->itemsInMem, 371u);
  ASSERT_EQ(SortMain(), kOk);
  EXPECT_EQ(st::Delivered(), d.Sorted());
  std::string m = Messages();
  EXPECT_EQ(Count(m, "Sort train 1\r"), 6u);
  EXPECT_EQ(Count(m, "Sort train 2\r") + Count(m, "Merge pass"), 0u);
  // The count starts a line: after the trains' line end, or after a
  // "1000 records\r" progress line when the merge crosses a second boundary.
  size_t at = m.find("2000 records, 0 deleted entries\n");
  ASSERT_NE(at, std::string::npos);
  ASSERT_GT(at, 0u);
  EXPECT_TRUE(m[at - 1] == '\n' || m.rfind("1000 records\r", at) == at - 13) << m;
}

// Fan-in 6 at 8 KiB: 31 trains take six groups in a first pass, then the
// final pass. At 1 KiB (44 items a sub-list) the fan-in is 10: 901 trains
// take 91 groups, then 10, then the final pass.
TEST_F(MergeTest, TrainsMergeInAsManyPassesAsTheFanInNeeds) {
  const struct {
    uint32_t trains, perBlock, lastBlock, spread;
    uint64_t memory;
    std::vector<std::pair<std::string, size_t>> lines;
    bool firstFileRead;  // the final pass read work file 1
  } cases[] = {
      {31,
       370,
       100,
       1000,
       8192,
       {{"Sort train 31\r", 1},
        {"Sort train 32\r", 0},
        {"Merge pass 1\rMerge pass 2\rMerge pass 3\rMerge pass 4\rMerge pass 5\rMerge pass 6\r\n",
         1},
        {"Merge pass 7\r", 0}},
       false},
      {901,
       44,
       20,
       64,
       1024,
       {{"Sort train 901\r", 1},
        {"Merge pass 91\r", 1},
        {"Merge pass 92\r", 0},
        {"Merge pass 10\r", 2},
        {"Merge pass 11\r", 1}},
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.trains);
    Restart();
    HexData d = DescendingBlocks(c.trains, c.perBlock, c.lastBlock, c.spread);
    Prepare(d.bytes, c.memory);
    ASSERT_EQ(SortMain(), kOk);
    EXPECT_EQ(st::Delivered(), d.Sorted());
    std::string m = Messages();
    for (const auto& [line, times] : c.lines) EXPECT_EQ(Count(m, line), times) << line;
    EXPECT_EQ(cd->recCount, (c.trains - 1) * c.perBlock + c.lastBlock);
    // The file the final pass read is gone; the other was re-created for a
    // pass's output and is left to the clean-up.
    EXPECT_EQ(c.firstFileRead ? cd->tmpFd1 : cd->tmpFd2, -1);
    EXPECT_NE(Exists(cd->tmpName1), c.firstFileRead);
    EXPECT_EQ(Exists(cd->tmpName2), c.firstFileRead);
  }
}

TEST_F(MergeTest, KeysOfAllOnesAreDeliveredBeforeTheEndOfRun) {
  OpenData(
      "\xFF\xFF"
      "AB\xFF\x01\xFF\xFF");
  cd->binaryData = 1;
  cd->eorLen = 0;
  cd->recLenFound = 2;
  SetKeyRange(0, 2);
  SetSortMemory(8192);
  MakeWorkFiles();
  ASSERT_EQ(SortMain(), kOk);
  EXPECT_EQ(st::Delivered(),
            (std::vector<Item>{
                {2, 2, "AB"}, {4, 2, "\xFF\x01"}, {0, 2, "\xFF\xFF"}, {6, 2, "\xFF\xFF"}}));
}

// keysPerNode 1: a tree of 16 levels holds 2^16 - 1 = 65,535 keys; 95% of
// it, rounded down, is 62,258.
TEST_F(MergeTest, CapacityWarningAboveNinetyFivePercent) {
  for (uint32_t records : {62258u, 62259u}) {
    Restart();
    Prepare(std::string(records, 'x'), 1 << 20);
    SetKeyRange(0, 1);
    SetSortMemory(1 << 20);
    cd->recLenFound = 1;
    cd->binaryData = 1;
    cd->eorLen = 0;
    cd->keysPerNode = 1;
    ASSERT_EQ(SortMain(), kOk);
    bool warned = Messages().find(
                      "Record count of (62259) is more than 95 percent of 65535 records "
                      "allowed for this ISI file!\n") != std::string::npos;
    EXPECT_EQ(warned, records == 62259u);
  }
}

TEST_F(MergeTest, TooManyTrains) {
  Prepare(DescendingBlocks(8, 370, 100, 1000).bytes, 8192);
  cd->maxTrains = 5;
  EXPECT_EQ(SortMain(), kErrTooMany);
  EXPECT_NE(Messages().find("Sort train 4\r\nToo many sort trains\n"), std::string::npos);
  EXPECT_TRUE(st::Delivered().empty());
}

// A work-file block read that fails after three retries, in the first
// load and in a refill, with the diagnostic lines of each attempt.
TEST_F(MergeTest, UnreadableWorkFileBlocks) {
  HexData ascending;
  for (int i = 0; i < 2000; ++i) ascending.Add(i);  // one train, longer than a block
  const struct {
    HexData data;
    uint64_t failingRead;  // after the scan's own reads
    std::string retry, last;
    size_t delivered;
  } cases[] = {
      // Blocks of (8192 / 14 - 1) / 3 = 194 items of 14 bytes.
      {DescendingBlocks(3, 370, 100, 1000), 1,
       "\nDoFancyMerge(2):\n Retry:2  At location:0x00000000  Bytes read was:-1 Should be:2716\n",
       "\nDoFancyMerge(1): Invalid blkLgt size read! 2716:-1\n", 0},
      {ascending, 2, "\nDoFancyMerge(4):", "\nDoFancyMerge(3): Invalid blkLgt size read! 8176:-1\n",
       584},  // the first block was delivered
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.delivered);
    Restart();
    Prepare(c.data.bytes, 8192);
    SysSetFaultPlan({kFaultRead, UINT64_MAX});  // counts the scan's reads
    while (CreateSubList() == kOk) {
    }
    uint64_t scanReads = SysFaultCallCount();
    Restart();
    Prepare(c.data.bytes, 8192);
    cd->diagMode = 1;
    SysSetFaultPlan({kFaultRead, scanReads + c.failingRead, EIO, false, true});
    EXPECT_EQ(SortMain(), kErrTempRead);
    std::string m = Messages();
    EXPECT_NE(m.find(c.retry), std::string::npos) << m;
    EXPECT_EQ(Count(m, c.retry.substr(0, 17)), 3u);
    EXPECT_NE(m.find(c.last), std::string::npos) << m;
    EXPECT_EQ(st::Delivered().size(), c.delivered);
  }
}

}  // namespace
