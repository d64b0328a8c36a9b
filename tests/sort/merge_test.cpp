// The external sort: sort trains, the merge passes, the delivered stream,
// the progress and count lines, and the failures of the work files.
#include "sort/merge.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "driver/cleanup.h"
#include "sort/item_sort.h"
#include "sort/scanner.h"
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
    std::sort(v.begin(), v.end(), [](const Item& a, const Item& b) {
      return a.key != b.key ? a.key < b.key : a.pos < b.pos;
    });
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

  std::vector<Item> DeliveredItems() const {
    std::vector<Item> v;
    for (const auto& it : st::Delivered()) v.push_back(st::ItemAt(it.data()));
    return v;
  }

  static size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
  }

  bool WorkFileExists(const char* name) const {
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
  EXPECT_EQ(DeliveredItems(), d.Sorted());
  EXPECT_EQ(Messages(), "300 records, 0 deleted entries\n");
  EXPECT_EQ(cd->recCount, 300u);
  EXPECT_EQ(cd->trainCount, 1u);
  // The file the final pass read is gone; the other one is left to the clean-up.
  EXPECT_EQ(cd->tmpFd1, -1);
  EXPECT_FALSE(WorkFileExists(cd->tmpName1));
  EXPECT_TRUE(WorkFileExists(cd->tmpName2));
}

TEST_F(MergeTest, SortedDataLargerThanMemoryStaysOneTrain) {
  HexData d;
  for (int i = 0; i < 2000; ++i) d.Add(i / 3);
  Prepare(d.bytes, 8192);
  ASSERT_EQ(cd->itemsInMem, 371u);
  ASSERT_EQ(SortMain(), kOk);
  EXPECT_EQ(DeliveredItems(), d.Sorted());
  std::string m = Messages();
  EXPECT_EQ(Count(m, "Sort train 1\r"), 6u);
  EXPECT_EQ(Count(m, "Sort train 2\r"), 0u);
  EXPECT_EQ(Count(m, "Merge pass"), 0u);
  // The count starts a line: after the trains' line end, or after a
  // "1000 records\r" progress line when the merge crosses a second boundary.
  size_t at = m.find("2000 records, 0 deleted entries\n");
  ASSERT_NE(at, std::string::npos);
  ASSERT_GT(at, 0u);
  EXPECT_TRUE(m[at - 1] == '\n' || m.rfind("1000 records\r", at) == at - 13) << m;
}

TEST_F(MergeTest, ThirtyOneTrainsTakeTwoPasses) {
  HexData d = DescendingBlocks(31, 370, 100, 1000);
  Prepare(d.bytes, 8192);
  ASSERT_EQ(SortMain(), kOk);
  EXPECT_EQ(DeliveredItems(), d.Sorted());
  std::string m = Messages();
  EXPECT_EQ(Count(m, "Sort train 31\r"), 1u);
  EXPECT_EQ(Count(m, "Sort train 32\r"), 0u);
  // Fan-in 6: six groups in the first pass, then the final pass.
  std::string passes;
  for (int g = 1; g <= 6; ++g) passes += "Merge pass " + std::to_string(g) + "\r";
  EXPECT_NE(m.find(passes + "\n"), std::string::npos) << m;
  EXPECT_EQ(Count(m, "Merge pass 7\r"), 0u);
  EXPECT_EQ(cd->recCount, 30u * 370 + 100);
  // Pass 1 read file 1 (re-created for pass 2's output), the final pass read
  // file 2, which is gone.
  EXPECT_EQ(cd->tmpFd2, -1);
  EXPECT_FALSE(WorkFileExists(cd->tmpName2));
  EXPECT_TRUE(WorkFileExists(cd->tmpName1));
}

TEST_F(MergeTest, MoreThanNineHundredTrainsTakeThreePasses) {
  // 1 KiB of sort memory: 44 items per sub-list, blocks of 7 items.
  HexData d = DescendingBlocks(901, 44, 20, 64);
  Prepare(d.bytes, 1024);
  ASSERT_EQ(cd->itemsInMem, 45u);
  ASSERT_EQ(SortMain(), kOk);
  EXPECT_EQ(DeliveredItems(), d.Sorted());
  std::string m = Messages();
  EXPECT_EQ(Count(m, "Sort train 901\r"), 1u);
  // Fan-in 10: 91 groups, then 10, then the final pass.
  EXPECT_EQ(Count(m, "Merge pass 91\r"), 1u);
  EXPECT_EQ(Count(m, "Merge pass 92\r"), 0u);
  EXPECT_EQ(Count(m, "Merge pass 10\r"), 2u);
  EXPECT_EQ(Count(m, "Merge pass 11\r"), 1u);
  EXPECT_EQ(cd->tmpFd1, -1);
  EXPECT_FALSE(WorkFileExists(cd->tmpName1));
  EXPECT_TRUE(WorkFileExists(cd->tmpName2));
}

TEST_F(MergeTest, NoRecordsAtAll) {
  Prepare("", 8192);
  ASSERT_EQ(SortMain(), kOk);
  EXPECT_TRUE(st::Delivered().empty());
  EXPECT_EQ(Messages(), "0 records, 0 deleted entries\n");
  EXPECT_EQ(cd->recCount, 0u);
}

TEST_F(MergeTest, RecordCountComesInStepsOfAThousand) {
  HexData d;
  for (int i = 0; i < 1500; ++i) d.Add(i * 7919 % 1500);
  Prepare(d.bytes, 1 << 20);
  ASSERT_EQ(SortMain(), kOk);
  EXPECT_EQ(cd->recCount, 1500u);
  EXPECT_EQ(cd->progressCountdown, 500u);
  EXPECT_EQ(DeliveredItems(), d.Sorted());
}

TEST_F(MergeTest, DeletedEntriesAreReported) {
  std::string data = "0001\n" + std::string(10, '\0') + "0000\n";
  Prepare(data, 8192);
  ASSERT_EQ(SortMain(), kOk);
  EXPECT_EQ(Messages(), "2 records, 2 deleted entries\n");
  EXPECT_EQ(DeliveredItems(), (std::vector<Item>{{15, 5, "0000"}, {0, 5, "0001"}}));
}

TEST_F(MergeTest, KeysOfAllOnesAreDelivered) {
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
  std::vector<Item> want = {
      {2, 2, "AB"}, {4, 2, "\xFF\x01"}, {0, 2, "\xFF\xFF"}, {6, 2, "\xFF\xFF"}};
  EXPECT_EQ(DeliveredItems(), want);
}

TEST_F(MergeTest, CapacityWarningAboveNinetyFivePercent) {
  // keysPerNode 1: a tree of 16 levels holds 2^16 − 1 = 65,535 keys; 95% of
  // it, rounded down, is 62,258.
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
    std::string m = Messages();
    bool warned = m.find(
                      "Record count of (62259) is more than 95 percent of 65535 records "
                      "allowed for this ISI file!\n") != std::string::npos;
    EXPECT_EQ(warned, records == 62259u) << m;
  }
}

TEST_F(MergeTest, TooManyTrains) {
  HexData d = DescendingBlocks(8, 370, 100, 1000);
  Prepare(d.bytes, 8192);
  cd->maxTrains = 5;
  EXPECT_EQ(SortMain(), kErrTooMany);
  std::string m = Messages();
  EXPECT_NE(m.find("Sort train 4\r\nToo many sort trains\n"), std::string::npos) << m;
  EXPECT_TRUE(st::Delivered().empty());
}

TEST_F(MergeTest, FullDiskWhileWritingTrains) {
  HexData d = DescendingBlocks(3, 370, 100, 1000);
  Prepare(d.bytes, 8192);
  FaultPlan plan;
  plan.classes = kFaultWrite;
  plan.failAt = 2;
  plan.shortIo = true;
  plan.sticky = true;
  SysSetFaultPlan(plan);
  EXPECT_EQ(SortMain(), kErrTempWrite);
  EXPECT_EQ(cd->failFd, cd->tmpFd1);  // the write-failure line names work file 1
  EXPECT_TRUE(st::Delivered().empty());
  // The first train is complete; the second got half its bytes and nothing after.
  EXPECT_EQ(lseek(cd->tmpFd1, 0, SEEK_END), 370 * 14 + (370 * 14 + 14) / 2);
}

TEST_F(MergeTest, FullDiskWhileWritingAMergePass) {
  HexData d = DescendingBlocks(31, 370, 100, 1000);
  Prepare(d.bytes, 8192);
  FaultPlan plan;
  plan.classes = kFaultWrite;
  plan.failAt = 33;  // 31 trains and the closing end-of-run item take 32 writes
  plan.err = ENOSPC;
  plan.sticky = true;
  SysSetFaultPlan(plan);
  EXPECT_EQ(SortMain(), kErrTempWrite);
  EXPECT_EQ(cd->failFd, cd->tmpFd2);
  EXPECT_EQ(lseek(cd->tmpFd2, 0, SEEK_END), 0);
}

class MergeReadFailureTest : public MergeTest {
 protected:
  // The number of reads the scan of `data` takes.
  uint64_t ScanReads(const HexData& d) {
    Prepare(d.bytes, 8192);
    FaultPlan count;
    count.classes = kFaultRead;
    count.failAt = UINT64_MAX;
    SysSetFaultPlan(count);
    while (CreateSubList() == kOk) {
    }
    uint64_t n = SysFaultCallCount();
    Restart();
    return n;
  }
};

TEST_F(MergeReadFailureTest, UnreadableTrainAfterThreeRetries) {
  HexData d = DescendingBlocks(3, 370, 100, 1000);
  uint64_t reads = ScanReads(d);
  Prepare(d.bytes, 8192);
  cd->diagMode = 1;
  FaultPlan plan;
  plan.classes = kFaultRead;
  plan.failAt = reads + 1;
  plan.err = EIO;
  plan.sticky = true;
  SysSetFaultPlan(plan);
  EXPECT_EQ(SortMain(), kErrTempRead);
  std::string m = Messages();
  // Block: (8192 / 14 − 1) / 3 = 194 items of 14 bytes.
  EXPECT_NE(m.find("\nDoFancyMerge(2):\n Retry:2  At location:0x00000000  Bytes read was:-1 "
                   "Should be:2716\n"),
            std::string::npos)
      << m;
  EXPECT_EQ(Count(m, "DoFancyMerge(2)"), 3u);
  EXPECT_NE(m.find("\nDoFancyMerge(1): Invalid blkLgt size read! 2716:-1\n"), std::string::npos);
  EXPECT_TRUE(st::Delivered().empty());
}

TEST_F(MergeReadFailureTest, UnreadableRefill) {
  HexData d;
  for (int i = 0; i < 2000; ++i) d.Add(i);  // one train, longer than a block
  uint64_t reads = ScanReads(d);
  Prepare(d.bytes, 8192);
  cd->diagMode = 1;
  FaultPlan plan;
  plan.classes = kFaultRead;
  plan.failAt = reads + 2;  // the first block loads, its refill fails
  plan.err = EIO;
  plan.sticky = true;
  SysSetFaultPlan(plan);
  EXPECT_EQ(SortMain(), kErrTempRead);
  std::string m = Messages();
  EXPECT_EQ(Count(m, "DoFancyMerge(4)"), 3u);
  EXPECT_NE(m.find("\nDoFancyMerge(3): Invalid blkLgt size read! 8176:-1\n"), std::string::npos)
      << m;
  EXPECT_EQ(st::Delivered().size(), 584u);  // the first block was delivered
}

TEST_F(MergeReadFailureTest, ShortReadIsRetriedAndRecovers) {
  HexData d = DescendingBlocks(3, 370, 100, 1000);
  uint64_t reads = ScanReads(d);
  Prepare(d.bytes, 8192);
  FaultPlan plan;
  plan.classes = kFaultRead;
  plan.failAt = reads + 1;
  plan.shortIo = true;
  SysSetFaultPlan(plan);
  ASSERT_EQ(SortMain(), kOk);
  EXPECT_EQ(DeliveredItems(), d.Sorted());
}

TEST_F(MergeTest, OutputRoutineStatusEndsTheMerge) {
  HexData d;
  for (int i = 0; i < 50; ++i) d.Add(i);
  Prepare(d.bytes, 8192);
  cd->outRecFn = [](uint8_t*) -> int32_t { return kErrTreeLevels; };
  EXPECT_EQ(SortMain(), kErrTreeLevels);
}

TEST_F(MergeTest, UnreadableDataEndsTheSort) {
  Prepare("0001\n0002\n", 8192);
  FaultPlan plan;
  plan.classes = kFaultRead;
  plan.failAt = 1;
  plan.err = EIO;
  plan.sticky = true;
  SysSetFaultPlan(plan);
  EXPECT_EQ(SortMain(), kErrInputRead);
  EXPECT_EQ(lseek(cd->tmpFd1, 0, SEEK_END), 0);
}

TEST_F(MergeTest, MergeSelectFollowsTheWinnersTrain) {
  SetKeyRange(0, 1);
  uint8_t items[4][11] = {};
  const char keys[4] = {'c', 'a', 'b', 'd'};
  for (int i = 0; i < 4; ++i) {
    SetItemPosition(items[i], i);
    items[i][10] = static_cast<uint8_t>(keys[i]);
    cd->mergeSlots[i].current = items[i];
  }
  cd->mergeSlots[4].current = nullptr;
  cd->mergeWinner = cd->mergeRunnerUp = nullptr;
  EXPECT_EQ(MergeSelect(), 1);
  EXPECT_EQ(cd->mergeWinner, items[1]);
  // The winner's train moves on to a key still below the others.
  uint8_t next[11] = {};
  SetItemPosition(next, 9);
  next[10] = 'a';
  cd->mergeSlots[1].current = next;
  EXPECT_EQ(MergeSelect(), 1);
  EXPECT_EQ(cd->mergeWinner, next);
  // Now past them: the next smallest of the other trains wins.
  next[10] = 'z';
  EXPECT_EQ(MergeSelect(), 2);
  EXPECT_EQ(cd->mergeWinner, items[2]);
}

// Every group size up to the largest fan-in, trains of random lengths
// whose keys share long prefixes: MergeSelect, advancing the winner's slot
// each time, yields the items in the order an independent sort gives, then
// an end-of-run item once all trains are exhausted.
TEST_F(MergeTest, MergeSelectYieldsTheGroupInOrder) {
  const uint32_t keyLen = 13;
  SetKeyRange(0, keyLen);
  std::mt19937 rng(31);
  for (int k = 1; k <= kMaxFanIn; ++k) {
    std::vector<std::vector<std::vector<uint8_t>>> trains(k);
    std::vector<std::vector<uint8_t>> all;
    uint64_t pos = 0;
    for (int t = 0; t < k; ++t) {
      int n = static_cast<int>(rng() % 40);
      for (int i = 0; i < n; ++i) {
        std::vector<uint8_t> item(kItemKeyOfs + keyLen, 0x80);
        SetItemPosition(item.data(), pos += 1 + rng() % 3);
        item[kItemKeyOfs + 11] = static_cast<uint8_t>(rng() % 3 ? 0x7F + rng() % 3 : 0xFF);
        item[kItemKeyOfs + 12] = static_cast<uint8_t>(rng() % 2);
        trains[t].push_back(item);
        all.push_back(item);
      }
      std::sort(trains[t].begin(), trains[t].end(), [&](const auto& a, const auto& b) {
        return faster(a.data() + kItemKeyOfs, b.data() + kItemKeyOfs) < 0;
      });
      trains[t].push_back(std::vector<uint8_t>(kItemKeyOfs + keyLen, 0xFF));
    }
    std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
      int d = memcmp(a.data() + kItemKeyOfs, b.data() + kItemKeyOfs, 13);
      return d != 0 ? d < 0 : ItemPosition(a.data()) < ItemPosition(b.data());
    });
    std::vector<size_t> at(k, 0);
    for (int t = 0; t < k; ++t) cd->mergeSlots[t].current = trains[t][0].data();
    cd->mergeSlots[k].current = nullptr;
    cd->mergeWinner = nullptr;
    for (const auto& expected : all) {
      int32_t w = MergeSelect();
      ASSERT_EQ(cd->mergeWinner, cd->mergeSlots[w].current);
      ASSERT_EQ(std::vector<uint8_t>(cd->mergeWinner, cd->mergeWinner + expected.size()), expected)
          << "group of " << k;
      cd->mergeSlots[w].current = trains[w][++at[w]].data();
    }
    MergeSelect();
    EXPECT_TRUE(IsEndOfRun(cd->mergeWinner)) << "group of " << k;
  }
}

}  // namespace
