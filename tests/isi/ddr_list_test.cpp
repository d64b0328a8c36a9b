// The deleted-record list: entries, full sectors written during the scan,
// the head sector at 1536 and the chain the header names.
#include "isi/ddr_list.h"

#include "isi/byte_order.h"

#include "isi_fixture.h"

namespace isitest {
namespace {

class DdrListTest : public IsiFixture {
 protected:
  // Deleted records of 10 bytes at every other record position.
  void Delete(int n) {
    cd()->recLenFound = 10;
    for (int i = 0; i < n; ++i) {
      cd()->recStartPos = uint64_t(i) * 20;
      ++cd()->deletedCount;
      ASSERT_EQ(InsertDDRN(), kOk);
    }
  }
  // Builds with `deleted` deleted records and 25 keys.
  void Build(int deleted) {
    Begin(10);
    Delete(deleted);
    AddNumbered(25);
    ASSERT_EQ(IsiBuildFinish(), kOk);
  }
  std::vector<isir::DdrSector> Chain() {
    isir::IsiReader isi = ReadIsi();
    std::vector<isir::DdrSector> chain;
    std::string err;
    EXPECT_TRUE(isi.DdrChain(&chain, &err)) << err;
    EXPECT_TRUE(isi.Validate(&err)) << err;
    return chain;
  }
  // The deleted positions the chain holds, oldest first.
  static std::vector<uint32_t> Positions(const std::vector<isir::DdrSector>& chain) {
    std::vector<uint32_t> all;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      all.insert(all.end(), it->positions.begin(), it->positions.end());
    }
    return all;
  }
  static std::vector<uint32_t> Expected(int n, uint32_t step) {
    std::vector<uint32_t> v;
    for (int i = 0; i < n; ++i) v.push_back(static_cast<uint32_t>(i) * step);
    return v;
  }
};

TEST_F(DdrListTest, OneDeletedRecordMakesTheHeadSector) {
  Build(1);
  std::vector<isir::DdrSector> chain = Chain();
  ASSERT_EQ(chain.size(), 1u);
  EXPECT_EQ(chain[0].pos, 3u);
  EXPECT_EQ(chain[0].link, 0xFFFFFFFFu);
  EXPECT_EQ(chain[0].count, 1);
  EXPECT_EQ(chain[0].mark1, 0xF9);
  EXPECT_EQ(chain[0].mark2, 0xFD);
  EXPECT_EQ(ReadIsi().header().deletedCount, 1u);
  isir::KeySector leaf;
  ASSERT_TRUE(ReadIsi().ReadKeySector(4, &leaf));  // key sectors start right behind the front
  EXPECT_EQ(leaf.count, 20);
}

TEST_F(DdrListTest, ExactlyOneSectorFullStaysAtTheHead) {
  Build(126);
  std::vector<isir::DdrSector> chain = Chain();
  ASSERT_EQ(chain.size(), 1u);
  EXPECT_EQ(chain[0].pos, 3u);
  EXPECT_EQ(chain[0].count, 126);
  EXPECT_EQ(chain[0].link, 0xFFFFFFFFu);
  EXPECT_EQ(Positions(chain), Expected(126, 2));
  isir::KeySector leaf;
  ASSERT_TRUE(ReadIsi().ReadKeySector(4, &leaf));
  EXPECT_EQ(leaf.level, 0);
}

TEST_F(DdrListTest, The127thWritesTheFullSectorBehindTheFront) {
  Build(127);
  std::vector<isir::DdrSector> chain = Chain();
  ASSERT_EQ(chain.size(), 2u);
  EXPECT_EQ(chain[0].pos, 3u);
  EXPECT_EQ(chain[0].count, 1);
  EXPECT_EQ(chain[0].link, 4u);
  EXPECT_EQ(chain[1].pos, 4u);
  EXPECT_EQ(chain[1].count, 126);
  EXPECT_EQ(chain[1].link, 0xFFFFFFFFu);
  EXPECT_EQ(Positions(chain), Expected(127, 2));
  isir::KeySector leaf;
  ASSERT_TRUE(ReadIsi().ReadKeySector(5, &leaf));
  EXPECT_EQ(leaf.count, 20);
}

TEST_F(DdrListTest, ChainLinksNewestToOldest) {
  Build(253);
  std::vector<isir::DdrSector> chain = Chain();
  ASSERT_EQ(chain.size(), 3u);
  EXPECT_EQ(chain[0].pos, 3u);
  EXPECT_EQ(chain[0].link, 5u);
  EXPECT_EQ(chain[0].count, 1);
  EXPECT_EQ(chain[1].pos, 5u);
  EXPECT_EQ(chain[1].link, 4u);
  EXPECT_EQ(chain[2].pos, 4u);
  EXPECT_EQ(chain[2].link, 0xFFFFFFFFu);
  EXPECT_EQ(Positions(chain), Expected(253, 2));
  EXPECT_EQ(ReadIsi().header().deletedCount, 253u);
}

TEST_F(DdrListTest, ByteAddressingStoresOffsets) {
  cd()->recNumMode = 0;
  Build(127);
  std::vector<isir::DdrSector> chain = Chain();
  ASSERT_EQ(chain.size(), 2u);
  EXPECT_EQ(ReadIsi().header().ddrHead, 1536u);
  EXPECT_EQ(chain[0].link, 2048u);
  EXPECT_EQ(chain[1].pos, 2048u);
  EXPECT_EQ(Positions(chain), Expected(127, 20));
}

TEST_F(DdrListTest, RecordNumberIsTheOffsetOverTheRecordSize) {
  Begin(10);
  cd()->recLenFound = 100;
  cd()->recStartPos = 300;
  ASSERT_EQ(InsertDDRN(), kOk);
  EXPECT_EQ(LoadU32(cd()->ddrSector), 3u);
}

TEST_F(DdrListTest, WriteAtEndKeepsNoPositions) {
  cd()->writeAtEnd = 1;
  Build(127);
  EXPECT_EQ(ReadIsi().header().ddrHead, 0xFFFFFFFFu);
  EXPECT_EQ(ReadIsi().header().deletedCount, 127u);
  EXPECT_EQ(Chain().size(), 0u);
}

TEST_F(DdrListTest, AFailedSectorWriteIsReported) {
  Begin(10);
  Delete(126);
  FaultPlan plan;
  plan.classes = kFaultWrite;
  plan.failAt = 1;
  plan.err = ENOSPC;
  SysSetFaultPlan(plan);
  cd()->recStartPos = 5000;
  EXPECT_EQ(InsertDDRN(), kErrDdrWrite);
  EXPECT_EQ(Messages(), kWriteFailure28);
  EXPECT_EQ(cd()->failFd, cd()->outFd);
}

}  // namespace
}  // namespace isitest
