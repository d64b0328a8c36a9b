// Sort sub-lists filled from the walk of an old index.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "compact/front.h"
#include "compact/isi_image.h"
#include "compact/rebuild.h"
#include "driver/cmd_data.h"
#include "driver/sys_io.h"
#include "sort/sort_item.h"
#include "support/test_util.h"

namespace {

class FillSubListTest : public ::testing::Test {
 protected:
  void SetUp() override { kt::ResetRunContext(); }
  void TearDown() override {
    if (state_.fd > 0) SysClose(state_.fd);
  }
  void Open(const ct::ImageSpec& spec, uint32_t itemsInMem) {
    dir_.write("a.isi", ct::BuildImage(spec).bytes);
    memset(&state_, 0, sizeof state_);
    FhStInitRec(&state_);
    state_.fd = SysOpen(dir_.file("a.isi").c_str(), O_RDWR);
    state_.flags |= kStWalkFromFirst;
    ASSERT_EQ(CompactLoadFront(&state_), kOk);
    CmdData* cd = pCmdData;
    cd->itemLen = spec.keyLength + 10;
    cd->itemsInMem = itemsInMem;
    memory_.assign(itemsInMem * cd->itemLen, 0);
    cd->sortMem = memory_.data();
  }
  const uint8_t* Item(uint32_t i) const { return memory_.data() + i * pCmdData->itemLen; }
  void ExpectItem(uint32_t i, const ct::ImageEntry& e, uint64_t position) {
    EXPECT_EQ(ItemPosition(Item(i)), position) << i;
    EXPECT_EQ(ItemLength(Item(i)), e.recSize) << i;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(Item(i)) + 10, e.key.size()), e.key) << i;
  }

  kt::TempDir dir_;
  FhStRec state_ = {};
  std::vector<uint8_t> memory_;
};

TEST_F(FillSubListTest, EntriesArriveInKeyOrderAsByteOffsetsAcrossSubLists) {
  ct::ImageSpec spec;
  spec.entries = ct::MakeEntries(50, 6, true, 12);
  spec.keyLength = 6;
  spec.perLeaf = 7;
  Open(spec, 21);  // 20 items and the end marker
  uint32_t next = 0;
  for (int list = 0; list < 2; ++list) {
    ASSERT_EQ(CompactFillSubList(&state_), 0);
    for (uint32_t i = 0; i < 20; ++i, ++next) {
      ExpectItem(i, spec.entries[next], uint64_t{spec.entries[next].recPos} * 12);
    }
    EXPECT_TRUE(IsEndOfRun(Item(20)));
  }
  EXPECT_EQ(CompactFillSubList(&state_), -6);
  EXPECT_NE(state_.flags & kStWalkAtEnd, 0u);
  for (uint32_t i = 0; i < 10; ++i, ++next) {
    ExpectItem(i, spec.entries[next], uint64_t{spec.entries[next].recPos} * 12);
  }
  EXPECT_TRUE(IsEndOfRun(Item(10)));
  EXPECT_EQ(pCmdData->recCount, 50u);
}

TEST_F(FillSubListTest, ByteAddressedPositionsAreTakenAsTheyStand) {
  ct::ImageSpec spec;
  spec.recNum = false;
  spec.entries = ct::MakeEntries(5, 4, false, 30);
  Open(spec, 100);
  EXPECT_EQ(CompactFillSubList(&state_), -6);
  for (uint32_t i = 0; i < 5; ++i) ExpectItem(i, spec.entries[i], spec.entries[i].recPos);
  EXPECT_TRUE(IsEndOfRun(Item(5)));
}

TEST_F(FillSubListTest, EmptyIndexGivesOnlyTheEndMarker) {
  ct::ImageSpec spec;
  Open(spec, 10);
  EXPECT_EQ(CompactFillSubList(&state_), -6);
  EXPECT_TRUE(IsEndOfRun(Item(0)));
  EXPECT_EQ(pCmdData->recCount, 0u);
}

}  // namespace
