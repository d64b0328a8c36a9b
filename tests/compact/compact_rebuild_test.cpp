// Whole compactions, in process, of crafted indexes: the new tree holds the
// old entries at the new fill, the DDR chain follows the front, the header
// is carried over with its spin counter toggled; a failure after the first
// write restores the ISI from its backup byte for byte.
#include <gtest/gtest.h>

#include <cerrno>

#include "compact/compact_run.h"
#include "compact/isi_compare.h"
#include "driver/cmd_data.h"
#include "driver/driver.h"
#include "driver/sys_io.h"

namespace {

using ct::CompactRunTest;

class CompactRebuildTest : public CompactRunTest {
 protected:
  ct::ImageSpec Indexed(uint32_t entries, uint32_t perLeaf, uint32_t ddrSectors = 0) const {
    ct::ImageSpec spec = Spec();
    spec.entries = ct::MakeEntries(entries, 4, true, 10);
    spec.perLeaf = perLeaf;
    if (ddrSectors != 0) {
      spec.ddr = ct::MakeDdrChain(ddrSectors, 9);
      spec.deletedCount = (ddrSectors - 1) * 126 + 9;
    }
    return spec;
  }
  // Compacts `before` and checks the result holds the same entries; returns
  // the reader of the result.
  isir::IsiReader CompactAndCompare(const std::string& before, bool inPlace,
                                    const std::string& mode = "c") {
    Prepare(before, inPlace, mode);
    EXPECT_EQ(Run(), kOk) << Messages();
    isir::IsiReader old;
    std::string err;
    EXPECT_TRUE(old.Load(before, &err)) << err;
    isir::IsiReader now = ct::LoadValid(OutPath());
    ct::ExpectSameEntries(ct::EntriesOf(old), ct::EntriesOf(now));
    EXPECT_FALSE(dir_.exists("a.isi.bak"));
    return now;
  }
};

TEST_F(CompactRebuildTest, TwoLevelIndexInPlaceIsRefilledAndKeepsItsChain) {
  ct::ImageSpec spec = Indexed(300, 9, 3);
  isir::IsiReader now = CompactAndCompare(ct::BuildImage(spec).bytes, true);
  // 31 entries of 16 bytes fill a sector; 300 keys make 9 full leaves and one
  // of 12 under a root of 9 entries.
  EXPECT_EQ(ct::CountsAtLevel(now, 0),
            (std::vector<uint32_t>{31, 31, 31, 31, 31, 31, 31, 31, 31, 12}));
  EXPECT_EQ(ct::CountsAtLevel(now, 1), std::vector<uint32_t>{9});
  std::vector<isir::DdrSector> chain;
  ASSERT_TRUE(now.DdrChain(&chain));
  ASSERT_EQ(chain.size(), 3u);
  EXPECT_EQ(chain[0].pos, 3u);
  EXPECT_EQ(chain[1].pos, 4u);
  EXPECT_EQ(chain[2].pos, 5u);
  EXPECT_EQ(now.header().deletedCount, 261u);
  EXPECT_EQ(now.header().spin, 1u);
  EXPECT_EQ(now.bytes().size(), (6u + 10u) * 512u);  // front, chain, leaves; root at 1024
  EXPECT_EQ(Messages().find("Sort train"), std::string::npos);
  EXPECT_NE(Messages().find("300 records, 261 deleted entries\n"), std::string::npos);
}

// Another writer's file whose newest DDR sector is full stands behind the
// others, with nothing at 1536: the copy begins with the sector the header
// names.
TEST_F(CompactRebuildTest, NewestFullDdrSectorBehindTheOthersInPlace) {
  ct::ImageSpec spec = Indexed(300, 9);
  spec.ddr = ct::MakeDdrChain(3, 126);
  spec.deletedCount = 378;
  spec.newestAt1536 = false;
  isir::IsiReader now = CompactAndCompare(ct::BuildImage(spec).bytes, true);
  std::vector<isir::DdrSector> chain;
  ASSERT_TRUE(now.DdrChain(&chain));
  ASSERT_EQ(chain.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(chain[i].pos, 3u + i);
    EXPECT_EQ(chain[i].positions, spec.ddr[i]);
  }
  EXPECT_EQ(now.header().deletedCount, 378u);
}

TEST_F(CompactRebuildTest, FillLimitOfTheRunIsApplied) {
  ct::ImageSpec spec = Indexed(100, 31);
  Prepare(ct::BuildImage(spec).bytes, false);
  pCmdData->maxFillPct = 50;
  ASSERT_EQ(Run(), kOk) << Messages();
  isir::IsiReader now = ct::LoadValid(OutPath());
  // 15 entries per sector at 50 percent: 6 full leaves, one of 4, a root of 6.
  EXPECT_EQ(ct::CountsAtLevel(now, 0), (std::vector<uint32_t>{15, 15, 15, 15, 15, 15, 4}));
  EXPECT_EQ(ct::CountsAtLevel(now, 1), std::vector<uint32_t>{6});
}

TEST_F(CompactRebuildTest, SectorsBelowTheTopExactlyFullStillEndWithTheRootAt1024) {
  // 31 keys fill one leaf; the 32nd goes up; 31 + 1 + 31 = 63 keys leave
  // both leaves full and the root with one entry and a right child.
  isir::IsiReader now = CompactAndCompare(ct::BuildImage(Indexed(63, 5)).bytes, false);
  EXPECT_EQ(ct::CountsAtLevel(now, 0), (std::vector<uint32_t>{31, 31}));
  EXPECT_EQ(ct::CountsAtLevel(now, 1), std::vector<uint32_t>{1});
}

TEST_F(CompactRebuildTest, EmptyIndexCompactsToAnEmptyRoot) {
  isir::IsiReader now = CompactAndCompare(ct::BuildImage(Indexed(0, 0)).bytes, true);
  isir::KeySector root;
  ASSERT_TRUE(now.ReadRoot(&root));
  EXPECT_EQ(root.count, 0u);
  EXPECT_EQ(root.rightChild, 0u);
  EXPECT_EQ(now.bytes().size(), 2048u);
}

// Sub-lists of an index arrive in key order: each continues the one train.
TEST_F(CompactRebuildTest, ManySubListsMakeOneTrainInTheSameOrder) {
  ct::ImageSpec spec = Indexed(1000, 31, 2);  // 32 leaves under a full root
  Prepare(ct::BuildImage(spec).bytes, true);
  std::string before = dir_.read("a.isi");
  pCmdData->maxMemory = 8192;
  // The sort memory was sized by Prepare; take the smaller one.
  ASSERT_EQ(hugemem(8192), 8192u);
  ASSERT_EQ(Run(), kOk) << Messages();
  std::string shown = Messages();
  EXPECT_EQ(shown.find("Sort train 2"), std::string::npos);
  EXPECT_EQ(shown.substr(0, 40), "Sort train 1\rSort train 1\rSort train 1\r\n");
  isir::IsiReader old;
  ASSERT_TRUE(old.Load(before));
  ct::ExpectSameEntries(ct::EntriesOf(old), ct::EntriesOf(ct::LoadValid(IsiPath())));
}

TEST_F(CompactRebuildTest, FileOfTheOtherByteOrderStaysInItsOrder) {
  ct::ImageSpec spec = Indexed(200, 13, 2);
  spec.swapped = true;
  isir::IsiReader now = CompactAndCompare(ct::BuildImage(spec).bytes, true);
  EXPECT_TRUE(now.header().bigEndian);
  EXPECT_EQ(now.header().keyLength, 4u);
  EXPECT_EQ(ct::CountsAtLevel(now, 1), std::vector<uint32_t>{6});
}

TEST_F(CompactRebuildTest, SpinCounterIsToggled) {
  ct::ImageSpec spec = Indexed(10, 0);
  spec.spin = 5;
  EXPECT_EQ(CompactAndCompare(ct::BuildImage(spec).bytes, false).header().spin, 0u);
}

TEST_F(CompactRebuildTest, FailureAfterTheFirstWriteRestoresAndSaysSo) {
  std::string isi = ct::BuildImage(Indexed(400, 12, 3)).bytes;
  Prepare(isi, true);
  FaultPlan plan;  // the file cannot be cut behind the chain
  plan.classes = kFaultMeta;
  plan.failAt = 2;  // the backup's sync passes, the truncation fails
  plan.err = EIO;
  SysSetFaultPlan(plan);
  EXPECT_EQ(Run(), kErrIsiWrite);
  EXPECT_EQ(Messages(),
            "\nUnable to write segment of index file. Errno=5\n"
            "ISI has been restored after fatal compact error for file: " +
                IsiPath() + "\nWARNING!  INDEX failed writing output data!\n");
  EXPECT_EQ(dir_.read("a.isi"), isi);
  EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

// The backup may only go once the finished ISI is on disk.
TEST_F(CompactRebuildTest, FinishedIsiThatCannotBeSyncedIsRestored) {
  std::string isi = ct::BuildImage(Indexed(400, 12, 3)).bytes;
  Prepare(isi, true);
  // File-metadata calls in order: the backup's sync, the cut behind the
  // chain, the merge closing and removing the work file it read, then the
  // finished ISI's sync.
  FaultPlan plan;
  plan.classes = kFaultMeta;
  plan.failAt = 5;
  plan.err = EIO;
  SysSetFaultPlan(plan);
  EXPECT_EQ(Run(), kErrIsiWrite);
  EXPECT_EQ(Messages().substr(Messages().find("\nUnable")),
            "\nUnable to write segment of index file. Errno=5\n"
            "ISI has been restored after fatal compact error for file: " +
                IsiPath() + "\nWARNING!  INDEX failed writing output data!\n");
  EXPECT_TRUE(dir_.read("a.isi") == isi);
  EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

// Every file-metadata call (sync, truncation, close, removal) failed in
// turn: the ISI is either given back as it was or is the finished, sound
// index (a failing close of the finished file still fails the run).
TEST_F(CompactRebuildTest, FailingMetadataCallAnywhereNeverLeavesAHalfIndex) {
  std::string isi = ct::BuildImage(Indexed(400, 12, 3)).bytes;
  for (uint64_t at = 1;; ++at) {
    SCOPED_TRACE(at);
    kt::ResetRunContext();
    messages_ = std::make_unique<ct::MessageCapture>();
    Prepare(isi, true);
    FaultPlan plan;
    plan.classes = kFaultMeta;
    plan.failAt = at;
    plan.err = EIO;
    SysSetFaultPlan(plan);
    Status status = Run();
    bool fired = SysFaultFired();
    SysSetFaultPlan(FaultPlan{});
    CmdFreeBuffers();
    if (dir_.read("a.isi") != isi) {
      EXPECT_TRUE(status == kOk || Messages().find("Close(outfile) failed") != std::string::npos)
          << Messages();
      isir::IsiReader old;
      ASSERT_TRUE(old.Load(isi));
      ct::ExpectSameEntries(ct::EntriesOf(old), ct::EntriesOf(ct::LoadValid(IsiPath())));
    }
    if (!fired) break;
    ASSERT_LT(at, 50u);
  }
}

TEST_F(CompactRebuildTest, BackupThatCannotBeSyncedLeavesTheIsiUntouched) {
  std::string isi = ct::BuildImage(Indexed(50, 10)).bytes;
  Prepare(isi, true);
  FaultPlan plan;
  plan.classes = kFaultMeta;
  plan.failAt = 1;
  plan.err = EIO;
  SysSetFaultPlan(plan);
  EXPECT_EQ(Run(), kErrInPlace);
  EXPECT_EQ(Messages(), "Error writing the ISI backup file: " + IsiPath() +
                            ".bak\nUnable to execute in place ISI compact operation!\n");
  EXPECT_EQ(dir_.read("a.isi"), isi);
  EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

TEST_F(CompactRebuildTest, FailingWriteIntoANewFileRemovesIt) {
  std::string isi = ct::BuildImage(Indexed(400, 12, 3)).bytes;
  Prepare(isi, false);
  FaultPlan plan;
  plan.classes = kFaultWrite;
  plan.failAt = 5;
  plan.err = ENOSPC;
  plan.sticky = true;
  SysSetFaultPlan(plan);
  EXPECT_NE(Run(), kOk);
  EXPECT_FALSE(dir_.exists("b.isi"));
  EXPECT_EQ(dir_.read("a.isi"), isi);
  EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

}  // namespace
