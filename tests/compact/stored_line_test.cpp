// The parts of a compaction on their own where whole runs do not show them:
// the DDR area of a new file, the sort sub-lists filled from the walk of
// the old index, and the stored command line of an index compacted into a
// new file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "compact/compact_fixture.h"
#include "compact/ddr_chain.h"
#include "compact/front.h"
#include "compact/rebuild.h"
#include "compact/stored_line.h"
#include "driver/cmd_data.h"
#include "driver/sys_io.h"
#include "isi/sector_io.h"
#include "sort/sort_item.h"

namespace {

class FrontTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kt::ResetRunContext();
    msg_.Attach();
  }
  void TearDown() override {
    SysSetFaultPlan(FaultPlan{});
    if (pCmdData->outFd >= 0 && pCmdData->outFd != pCmdData->inFd) SysClose(pCmdData->outFd);
    if (pCmdData->inFd >= 0) SysClose(pCmdData->inFd);
  }
  // Opens the front of `image` as compaction does; the output is b.isi.
  void Open(const isiw::Image& image) {
    CmdData* cd = pCmdData;
    dir_.write("a.isi", image.bytes);
    cd->inFd = SysOpen(dir_.file("a.isi").c_str(), O_RDWR);
    cd->outFd = SysOpen(dir_.file("b.isi").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666);
    FhStInitRec(&state_);
    state_.fd = cd->inFd;
    state_.flags |= kStWalkFromFirst;
    ASSERT_EQ(CompactLoadFront(&state_), kOk);
    cd->recNumMode = (state_.flags & kStRecNum) ? 1 : 0;
    cd->lastSectorPos = cd->recNumMode ? 3 : 1536;
  }
  static isiw::Spec Chain(uint32_t deleted) {
    isiw::Spec spec;
    spec.entries = isiw::NumberedEntries(100, 4, true, 10);
    spec.leafFill = 10;
    spec.deleted = isiw::DeletedRun(deleted);
    return spec;
  }

  kt::TempDir dir_;
  kt::MsgCapture msg_;
  FhStRec state_ = {};
};

// The newest sector full and nothing at 1536: the copy begins with the
// sector the header names.
TEST_F(FrontTest, ChainCopiedIntoANewFileFrom1536) {
  isiw::Image image = isiw::Build(Chain(378));
  ASSERT_GT(image.ddrOffsets[0], 2048u);
  Open(image);
  ASSERT_EQ(CompactCheckDdrChain(&state_), kOk);
  ASSERT_EQ(CompactWriteDdrChain(&state_), kOk);
  EXPECT_EQ(SysLseek(pCmdData->outFd, 0, SEEK_CUR), 3072);  // right behind the chain
  EXPECT_EQ(pCmdData->deletedCount, 378u);
  EXPECT_EQ(pCmdData->lastSectorPos, 5u);
  std::string out = dir_.read("b.isi");
  for (uint32_t i = 0; i < 3; ++i) {  // newest first, the links to the sectors behind
    size_t at = 1536 + 512 * i, old = image.ddrOffsets[i];
    EXPECT_EQ(out.substr(at, 504), image.bytes.substr(old, 504)) << i;
    EXPECT_EQ(isiw::Get32(out, at + 504), i < 2 ? 4 + i : 0xFFFFFFFFu) << i;
    EXPECT_EQ(out.substr(at + 508, 4), image.bytes.substr(old + 508, 4)) << i;
  }
  EXPECT_EQ(msg_.text(), "");
}

TEST_F(FrontTest, NoChainKeepsTheAreaAt1536) {
  isiw::Image image = isiw::Build(Chain(0));
  std::fill(image.bytes.begin() + 1536, image.bytes.begin() + 2048, '\x5A');
  Open(image);
  ASSERT_EQ(CompactWriteDdrChain(&state_), kOk);
  EXPECT_EQ(SysLseek(pCmdData->outFd, 0, SEEK_CUR), 2048);
  EXPECT_EQ(dir_.read("b.isi").substr(1536, 512), std::string(512, '\x5A'));
}

TEST_F(FrontTest, ChainThatCannotBeCopied) {
  for (uint32_t classes : {kFaultWrite, kFaultRead}) {
    TearDown();
    SetUp();
    size_t before = msg_.text().size();
    Open(isiw::Build(Chain(259)));
    SysSetFaultPlan(
        {classes, classes == kFaultWrite ? 2u : 1u, classes == kFaultWrite ? ENOSPC : EIO});
    EXPECT_EQ(CompactWriteDdrChain(&state_), classes == kFaultWrite ? kErrIsiWrite : kErrTempRead);
    if (classes == kFaultWrite) {
      EXPECT_EQ(pCmdData->failFd, pCmdData->outFd);
      EXPECT_EQ(msg_.text().substr(before), "\nUnable to write segment of index file. Errno=28\n");
    }
  }
}

// 50 entries under leaves of 7, 20 items a sub-list: two full sub-lists,
// then the rest and the end of the walk; positions become byte offsets.
TEST_F(FrontTest, SubListsFilledFromTheWalk) {
  isiw::Spec spec;
  spec.keyLength = 6;
  spec.entries = isiw::NumberedEntries(50, 6, true, 12);
  spec.leafFill = 7;
  Open(isiw::Build(spec));
  CmdData* cd = pCmdData;
  cd->itemLen = 16;
  cd->itemsInMem = 21;
  std::vector<uint8_t> memory(21 * 16);
  cd->sortMem = memory.data();
  uint32_t next = 0;
  for (int list = 0; list < 3; ++list) {
    EXPECT_EQ(CompactFillSubList(&state_), list < 2 ? 0 : -6);
    uint32_t n = list < 2 ? 20 : 10;
    for (uint32_t i = 0; i < n; ++i, ++next) {
      const uint8_t* item = memory.data() + i * 16;
      const isiw::Entry& e = spec.entries[next];
      EXPECT_EQ(ItemPosition(item), uint64_t{e.recPos} * 12) << next;
      EXPECT_EQ(ItemLength(item), e.recSize) << next;
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(item) + 10, 6), e.key) << next;
    }
    EXPECT_TRUE(IsEndOfRun(memory.data() + n * 16));
  }
  EXPECT_NE(state_.flags & kStWalkAtEnd, 0u);
  EXPECT_EQ(cd->recCount, 50u);
  cd->sortMem = nullptr;
}

TEST(StoredLineTest, NewIsiNameReplacesTheOldOne) {
  std::string tail = "," + std::string(500, 'k');
  std::string header = "data.txt,a.isi" + tail;  // 515 characters
  const struct {
    std::string header, own;
    Status status;
    std::string line;
  } cases[] = {
      {"data.txt,a.isi,-1-10", "a.isi,b.isi,-c", kOk, "data.txt,b.isi,-1-10"},
      {"data,,-1-10", "x.isi,/srv/idx/new.isi,-c", kOk, "data,/srv/idx/new.isi,-1-10"},
      {"test,test,l100 -un,p11=A,1-10", "test.isi,t2,-c", kOk, "test,t2,l100 -un,p11=A,1-10"},
      // Refused unchanged: a header line without two commas or a terminator, ...
      {"data.txt -1-10", "a.isi,b.isi,-c", kErrStoredLine, "data.txt -1-10"},
      {"data,isi -1-10", "a.isi,b.isi,-c", kErrStoredLine, "data,isi -1-10"},
      {"", "a.isi,b.isi,-c", kErrStoredLine, ""},
      {"d,i," + std::string(600, 'x'), "a,b,-c", kErrStoredLine, ""},
      // ... an own line without them (an internal fault), ...
      {"data.txt,a.isi,-1-10", "a.isi -c", kErrOwnLine, "data.txt,a.isi,-1-10"},
      {"data.txt,a.isi,-1-10", "a.isi,b.isi", kErrOwnLine, "data.txt,a.isi,-1-10"},
      // ... a result longer than 527 characters: 9 + 17 + 501 fit, 18 do not.
      {header, "a," + std::string(17, 'n') + ",-c", kOk, "data.txt," + std::string(17, 'n') + tail},
      {header, "a," + std::string(18, 'n') + ",-c", kErrNewLineTooLong, header},
  };
  for (const auto& c : cases) {
    char field[kStoredLineSize] = {};
    memcpy(field, c.header.data(), std::min(c.header.size(), sizeof field));
    EXPECT_EQ(CompactRewriteStoredLine(field, sizeof field, c.own.c_str()), c.status) << c.own;
    if (c.header.size() < sizeof field) {
      EXPECT_EQ(std::string(field, strnlen(field, sizeof field)), c.line) << c.own;
    }
  }
}

}  // namespace
