// The DDR chain of a compacted ISI: carried into consecutive sectors from
// 1536 on (in place through a copy behind the end of the file), begun with
// the sector the header names when none stands at 1536, kept in the file's
// byte order, or purged.
#include "compact/ddr_chain.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "compact/compact_test_util.h"
#include "compact/front.h"
#include "compact/isi_image.h"
#include "compact/rebuild.h"
#include "driver/cmd_data.h"
#include "driver/sys_io.h"
#include "isi/sector_io.h"
#include "support/isi_reader.h"
#include "support/test_util.h"

namespace {

class DdrChainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kt::ResetRunContext();
    messages_ = std::make_unique<ct::MessageCapture>();
  }
  void TearDown() override {
    SysSetFaultPlan(FaultPlan{});
    if (pCmdData->outFd >= 0 && pCmdData->outFd != pCmdData->inFd) SysClose(pCmdData->outFd);
    if (pCmdData->inFd >= 0) SysClose(pCmdData->inFd);
    messages_.reset();
  }
  // Opens `image` as compaction does, writing in place or into b.isi.
  void Open(const ct::Image& image, bool inPlace) {
    image_ = image;
    CmdData* cd = pCmdData;
    dir_.write("a.isi", image.bytes);
    cd->inFd = SysOpen(dir_.file("a.isi").c_str(), O_RDWR);
    cd->outFd =
        inPlace ? cd->inFd : SysOpen(dir_.file("b.isi").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666);
    out_ = inPlace ? "a.isi" : "b.isi";
    memset(&state_, 0, sizeof state_);
    FhStInitRec(&state_);
    state_.fd = cd->inFd;
    state_.flags |= kStWalkFromFirst;
    ASSERT_EQ(CompactLoadFront(&state_), kOk);
    cd->recNumMode = (state_.flags & kStRecNum) ? 1 : 0;
    cd->lastSectorPos = cd->recNumMode ? 3 : 1536;
  }
  // Completes the output's front so that the reader can load it.
  isir::IsiReader Finish() {
    EXPECT_EQ(FhStWriteHeaderSector(&state_, pCmdData->outFd), 0);
    EXPECT_EQ(FhStWriteKeySector(&state_, pCmdData->outFd, 1024, state_.root), 0);
    isir::IsiReader reader;
    std::string err;
    EXPECT_TRUE(reader.LoadFile(dir_.file(out_), &err)) << err;
    return reader;
  }
  // The old chain's positions, newest sector first.
  static std::vector<std::vector<uint32_t>> Positions(const std::vector<isir::DdrSector>& chain) {
    std::vector<std::vector<uint32_t>> all;
    for (const isir::DdrSector& s : chain) all.push_back(s.positions);
    return all;
  }
  void ExpectChainAt(const isir::IsiReader& reader, const std::vector<uint32_t>& where,
                     const std::vector<std::vector<uint32_t>>& positions) {
    std::vector<isir::DdrSector> chain;
    std::string err;
    ASSERT_TRUE(reader.DdrChain(&chain, &err)) << err;
    ASSERT_EQ(chain.size(), where.size());
    for (size_t i = 0; i < chain.size(); ++i) {
      EXPECT_EQ(chain[i].pos, where[i]);
      EXPECT_EQ(chain[i].link, i + 1 < where.size() ? where[i + 1] : isir::kNoSector);
    }
    EXPECT_EQ(Positions(chain), positions);
  }

  kt::TempDir dir_;
  std::unique_ptr<ct::MessageCapture> messages_;
  ct::Image image_;
  std::string out_;
  FhStRec state_;
};

ct::ImageSpec ChainSpec(uint32_t sectors, uint32_t newest, bool recNum = true) {
  ct::ImageSpec spec;
  spec.recNum = recNum;
  spec.entries = ct::MakeEntries(100, 4, recNum, 10);
  spec.perLeaf = 10;
  spec.ddr = ct::MakeDdrChain(sectors, newest);
  spec.deletedCount = (sectors - 1) * 126 + newest;
  return spec;
}

TEST_F(DdrChainTest, ThreeSectorChainMovesTo1536AndOnInPlace) {
  ct::ImageSpec spec = ChainSpec(3, 7);
  Open(ct::BuildImage(spec), true);
  ASSERT_EQ(CompactCheckDdrChain(&state_), kOk);
  ASSERT_EQ(CompactWriteDdrChain(&state_), kOk);
  EXPECT_EQ(SysLseek(pCmdData->outFd, 0, SEEK_CUR), 3072);  // right behind the chain
  EXPECT_EQ(pCmdData->deletedCount, 259u);
  EXPECT_EQ(pCmdData->lastSectorPos, 5u);
  isir::IsiReader reader = Finish();
  EXPECT_EQ(reader.header().ddrHead, 3u);
  EXPECT_EQ(reader.header().deletedCount, 259u);
  ExpectChainAt(reader, {3, 4, 5}, spec.ddr);
  EXPECT_EQ(messages_->text(), "");
}

TEST_F(DdrChainTest, ChainIsCopiedStraightIntoANewFileWithByteAddressing) {
  ct::ImageSpec spec = ChainSpec(3, 126, false);
  Open(ct::BuildImage(spec), false);
  ASSERT_EQ(CompactWriteDdrChain(&state_), kOk);
  EXPECT_EQ(SysLseek(pCmdData->outFd, 0, SEEK_CUR), 3072);
  EXPECT_EQ(pCmdData->lastSectorPos, 2560u);
  ExpectChainAt(Finish(), {1536, 2048, 2560}, spec.ddr);
}

TEST_F(DdrChainTest, NewestFullSectorNamedByTheHeaderWhenNothingStandsAt1536) {
  ct::ImageSpec spec = ChainSpec(3, 126);
  spec.newestAt1536 = false;  // the newest sector is full: 1536 stays zero
  ct::Image image = ct::BuildImage(spec);
  ASSERT_EQ(ct::Get32(image.bytes, 16), image.ddrOffsets[0] / 512);
  ASSERT_GT(image.ddrOffsets[0], 2048u);
  Open(image, false);
  ASSERT_EQ(CompactCheckDdrChain(&state_), kOk);
  ASSERT_EQ(CompactWriteDdrChain(&state_), kOk);
  EXPECT_EQ(pCmdData->deletedCount, 378u);
  ExpectChainAt(Finish(), {3, 4, 5}, spec.ddr);
}

TEST_F(DdrChainTest, NewestFullSectorNamedByTheHeaderInPlace) {
  ct::ImageSpec spec = ChainSpec(2, 126, false);
  spec.newestAt1536 = false;
  Open(ct::BuildImage(spec), true);
  ASSERT_EQ(CompactWriteDdrChain(&state_), kOk);
  ExpectChainAt(Finish(), {1536, 2048}, spec.ddr);
}

TEST_F(DdrChainTest, ChainOfAFileInTheOtherByteOrderStaysInThatOrder) {
  ct::ImageSpec spec = ChainSpec(3, 40);
  spec.swapped = true;
  Open(ct::BuildImage(spec), true);
  ASSERT_NE(state_.flags & kStSwapped, 0u);
  ASSERT_EQ(CompactWriteDdrChain(&state_), kOk);
  isir::IsiReader reader = Finish();
  EXPECT_TRUE(reader.header().bigEndian != (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__));
  ExpectChainAt(reader, {3, 4, 5}, spec.ddr);
}

TEST_F(DdrChainTest, NoChainKeepsTheAreaAt1536) {
  ct::ImageSpec spec = ChainSpec(1, 1);
  spec.ddr.clear();
  ct::Image image = ct::BuildImage(spec);
  std::fill(image.bytes.begin() + 1536, image.bytes.begin() + 2048, '\x5A');
  Open(image, false);
  ASSERT_EQ(CompactWriteDdrChain(&state_), kOk);
  EXPECT_EQ(SysLseek(pCmdData->outFd, 0, SEEK_CUR), 2048);
  EXPECT_EQ(kt::ReadFileBytes(dir_.file("b.isi")).substr(1536, 512), std::string(512, '\x5A'));
  EXPECT_EQ(messages_->text(), "");
}

TEST_F(DdrChainTest, ChainOfAVariableLengthFileIsPurgedWithItsMessage) {
  ct::ImageSpec spec = ChainSpec(2, 3, false);
  spec.formatFlags = 0x80 | 0x22;
  Open(ct::BuildImage(spec), true);
  ASSERT_EQ(CompactCheckDdrChain(&state_), kOk);  // a purged chain is never read
  ASSERT_EQ(CompactWriteDdrChain(&state_), kOk);
  EXPECT_EQ(messages_->text(), "Deleted Data Record sectors purged from ISI!");
  EXPECT_EQ(pCmdData->deletedCount, 0u);
  EXPECT_EQ(SysLseek(pCmdData->outFd, 0, SEEK_CUR), 2048);
  EXPECT_EQ(Finish().header().ddrHead, isir::kNoSector);
}

TEST_F(DdrChainTest, PurgeOfAFileWithoutChainSaysNothing) {
  ct::ImageSpec spec = ChainSpec(1, 1, false);
  spec.ddr.clear();
  spec.formatFlags = 0x80 | 0x20;
  Open(ct::BuildImage(spec), false);
  ASSERT_EQ(CompactWriteDdrChain(&state_), kOk);
  EXPECT_EQ(messages_->text(), "");
}

TEST_F(DdrChainTest, FailedSectorWriteIsAnIsiWriteFailure) {
  Open(ct::BuildImage(ChainSpec(3, 7)), false);
  FaultPlan plan;
  plan.classes = kFaultWrite;
  plan.failAt = 2;
  plan.err = ENOSPC;
  SysSetFaultPlan(plan);
  EXPECT_EQ(CompactWriteDdrChain(&state_), kErrIsiWrite);
  EXPECT_EQ(pCmdData->failFd, pCmdData->outFd);
  EXPECT_EQ(messages_->text(), "\nUnable to write segment of index file. Errno=28\n");
}

TEST_F(DdrChainTest, UnreadableOldSectorIsAReadFailure) {
  Open(ct::BuildImage(ChainSpec(3, 7)), false);
  FaultPlan plan;
  plan.classes = kFaultRead;
  plan.failAt = 1;
  plan.err = EIO;
  SysSetFaultPlan(plan);
  EXPECT_EQ(CompactWriteDdrChain(&state_), kErrTempRead);
}

}  // namespace
