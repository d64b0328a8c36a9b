// Byte-order translation of headers, key sectors and DDR sectors, and the
// sector reads and writes of an open ISI file.
#include <cstring>
#include <random>

#include "isi/byte_order.h"
#include "isi/ddr_list.h"
#include "isi_fixture.h"

namespace isitest {
namespace {

class SectorIoTest : public IsiFixture {
 protected:
  void SetUp() override {
    IsiFixture::SetUp();
    FhStInitRec(&st_);
    st_.fd = cd()->outFd;
    st_.entrySize = 24;
    StoreU32(st_.header + 16, 3);  // a chain exists
  }
  static std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(gen());
    return v;
  }
  // A DDR sector with `count` entries i * 0x01000001 + 7, and the trailer.
  static std::vector<uint8_t> DdrSector(int16_t count, uint8_t mark2 = 0xFD) {
    std::vector<uint8_t> s = RandomBytes(512, 5);
    for (int i = 0; i < 126; ++i) StoreU32(s.data() + 4 * i, uint32_t(i) * 0x01000001u + 7);
    StoreU32(s.data() + 504, 0x00000004);
    StoreU16(s.data() + 508, static_cast<uint16_t>(count));
    s[510] = 0xF9;
    s[511] = mark2;
    return s;
  }
  void WriteFileAt(uint64_t offset, const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(pwrite(cd()->outFd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
              static_cast<ssize_t>(bytes.size()));
  }
  FhStRec st_{};
};

TEST_F(SectorIoTest, HeaderTranslationIsItsOwnInverse) {
  std::vector<uint8_t> h = RandomBytes(1024, 1);
  std::vector<uint8_t> original = h;
  XlatIsiHeader(&st_, h.data());
  EXPECT_NE(h, original);
  EXPECT_EQ(memcmp(h.data(), original.data(), 8), 0);  // magic, version, flag bytes stay
  EXPECT_EQ(memcmp(h.data() + 240, original.data() + 240, 784), 0);
  XlatIsiHeader(&st_, h.data());
  EXPECT_EQ(h, original);
}

TEST_F(SectorIoTest, TranslatedHeaderReadsTheSameInTheOtherOrder) {
  cd()->treeKeyLen = 10;
  cd()->recLenFound = 101;
  cd()->readPos = 0x12345 * 101;
  cd()->recCount = 0x12345;
  cd()->deletedCount = 0x0102;
  cd()->ddrChainPos = 3;
  for (int i = 0; i < kMaxKeySpecs; ++i) cd()->keySpecTable[i] = {uint16_t(i + 0x100), 1};
  for (int i = 0; i < kMaxPrimaryTests; ++i)
    cd()->primarySelTable[i] = {uint16_t(i + 0x200), 0x20, 'A'};
  uint8_t h[1024];
  ASSERT_EQ(IsiBuildHeader(h), kOk);
  isir::IsiReader native, other;
  ASSERT_TRUE(native.Load(std::string(reinterpret_cast<char*>(h), 1024)));
  XlatIsiHeader(&st_, h);
  std::swap(h[4], h[5]);
  ASSERT_TRUE(other.Load(std::string(reinterpret_cast<char*>(h), 1024)));
  const isir::Header &a = native.header(), &b = other.header();
  EXPECT_TRUE(b.bigEndian);
  EXPECT_EQ(b.recordLength, a.recordLength);
  EXPECT_EQ(b.keyLength, a.keyLength);
  EXPECT_EQ(b.dataLength, 0x12345u);
  EXPECT_EQ(b.recordCount, a.recordCount);
  EXPECT_EQ(b.deletedCount, a.deletedCount);
  EXPECT_EQ(b.ddrHead, a.ddrHead);
  EXPECT_EQ(b.rootPos, a.rootPos);
  EXPECT_EQ(b.field24, a.field24);
  for (int i = 0; i < kMaxPrimaryTests; ++i) EXPECT_EQ(b.primary[i].column, i + 0x200);
  for (int i = 0; i < kMaxKeySpecs; ++i) EXPECT_EQ(b.keySpecs[i].first, i + 0x100);  // all 32
}

TEST_F(SectorIoTest, KeySpecificationsStopAtTheFirstZeroLength) {
  uint8_t h[1024] = {};
  StoreU16(h + 112, 1);
  StoreU16(h + 114, 2);
  StoreU16(h + 120, 3);  // behind the terminator at 116
  StoreU16(h + 122, 4);
  XlatIsiHeader(&st_, h);
  EXPECT_EQ(LoadU16(h + 112), 0x0100);
  EXPECT_EQ(LoadU16(h + 114), 0x0200);
  EXPECT_EQ(LoadU16(h + 120), 3);
  EXPECT_EQ(LoadU16(h + 122), 4);
}

TEST_F(SectorIoTest, KeySectorTranslationSwapsTheCountedEntriesOnly) {
  std::vector<uint8_t> s = RandomBytes(512, 2);
  s[500] = 5;
  StoreU32(s.data() + 24, 0x01020304);
  std::vector<uint8_t> original = s;
  XlatIsiTree(&st_, s.data());
  EXPECT_EQ(LoadU32(s.data() + 24), 0x04030201u);
  EXPECT_EQ(LoadU16(s.data() + 506), __builtin_bswap16(LoadU16(original.data() + 506)));
  EXPECT_EQ(LoadU32(s.data() + 508), __builtin_bswap32(LoadU32(original.data() + 508)));
  for (int e = 0; e < 5; ++e) {
    EXPECT_EQ(memcmp(s.data() + 24 * e + 12, original.data() + 24 * e + 12, 12), 0) << e;
  }
  EXPECT_EQ(memcmp(s.data() + 120, original.data() + 120, 380), 0);
  XlatIsiTree(&st_, s.data());
  EXPECT_EQ(s, original);
}

TEST_F(SectorIoTest, EmptyKeySectorHasOnlyItsTrailerSwapped) {
  std::vector<uint8_t> s = RandomBytes(512, 3);
  s[500] = 0;
  std::vector<uint8_t> original = s;
  XlatIsiTree(&st_, s.data());
  EXPECT_EQ(memcmp(s.data(), original.data(), 506), 0);
  EXPECT_EQ(LoadU16(s.data() + 506), __builtin_bswap16(LoadU16(original.data() + 506)));
  EXPECT_EQ(LoadU32(s.data() + 508), __builtin_bswap32(LoadU32(original.data() + 508)));
}

TEST_F(SectorIoTest, DamagedCountNeverReachesTheTrailer) {
  std::vector<uint8_t> s = RandomBytes(512, 4);
  s[500] = 255;
  st_.entrySize = 16;
  std::vector<uint8_t> original = s;
  XlatIsiTree(&st_, s.data());
  EXPECT_EQ(memcmp(s.data() + 496, original.data() + 496, 10), 0);  // 31 entries end at 496
}

TEST_F(SectorIoTest, DdrSectorIsLeftAloneWhileTheHeaderNamesNoChain) {
  StoreU32(st_.header + 16, 0xFFFFFFFF);
  std::vector<uint8_t> s = DdrSector(5);
  std::vector<uint8_t> original = s;
  XlatIsiDDR(&st_, s.data());
  EXPECT_EQ(s, original);
}

TEST_F(SectorIoTest, DdrTranslationServesBothDirections) {
  for (int16_t count : {1, 50, 126}) {
    std::vector<uint8_t> s = DdrSector(count);
    std::vector<uint8_t> original = s;
    XlatIsiDDR(&st_, s.data());  // native to foreign: the count is read back through its reverse
    EXPECT_EQ(LoadU16(s.data() + 508), __builtin_bswap16(static_cast<uint16_t>(count)));
    EXPECT_EQ(LoadU32(s.data() + 504), 0x04000000u);
    EXPECT_EQ(LoadU32(s.data() + 4 * (count - 1)),
              __builtin_bswap32(uint32_t(count - 1) * 0x01000001u + 7));
    if (count < 126) {
      EXPECT_EQ(LoadU32(s.data() + 4 * count), uint32_t(count) * 0x01000001u + 7);
    }
    XlatIsiDDR(&st_, s.data());  // and back
    EXPECT_EQ(s, original) << count;
  }
}

TEST_F(SectorIoTest, MisalignedReadFailsBeforeAnySeek) {
  FaultPlan counting;
  counting.classes = kFaultSeek | kFaultRead;
  counting.failAt = 1000;
  SysSetFaultPlan(counting);
  st_.offset = 100;
  st_.readBuf = st_.sector;
  st_.readLen = 512;
  errno = EIO;
  EXPECT_EQ(FhStReadSector(&st_), -1);
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(SysFaultCallCount(), 0u);
}

TEST_F(SectorIoTest, SeekAndShortReadFailures) {
  WriteFileAt(0, std::vector<uint8_t>(1024, 0));
  st_.readBuf = st_.sector;
  st_.readLen = 512;
  st_.offset = 512;
  EXPECT_EQ(FhStReadSector(&st_), 512);
  st_.offset = 1024;
  EXPECT_EQ(FhStReadSector(&st_), -3);  // at the end of the file
  FaultPlan plan;
  plan.classes = kFaultSeek;
  plan.failAt = 1;
  SysSetFaultPlan(plan);
  st_.offset = 0;
  EXPECT_EQ(FhStReadSector(&st_), -2);
}

TEST_F(SectorIoTest, ReadsAndChecksDdrSectors) {
  WriteFileAt(0, std::vector<uint8_t>(2048, 0));
  WriteFileAt(2048, DdrSector(7));
  WriteFileAt(2560, DdrSector(7, 0xFC));
  WriteFileAt(3072, DdrSector(127));
  WriteFileAt(3584, DdrSector(0));
  WriteFileAt(4096, DdrSector(-1));
  EXPECT_EQ(FhStReadNewDDRSector(&st_, 2048), 0);
  EXPECT_EQ(LoadU16(st_.ddr + 508), 7);
  EXPECT_EQ(FhStReadNewDDRSector(&st_, 2560), -8);
  EXPECT_EQ(FhStReadNewDDRSector(&st_, 3072), -9);
  EXPECT_EQ(FhStReadNewDDRSector(&st_, 3584), -9);
  EXPECT_EQ(FhStReadNewDDRSector(&st_, 4096), -9);
  EXPECT_EQ(FhStReadNewDDRSector(&st_, 4608), -3);
  EXPECT_EQ(FhStReadNewDDRSector(&st_, 2049), -1);
  st_.flags = kStRecNum;
  EXPECT_EQ(FhStReadNewDDRSector(&st_, 4), 0);
}

TEST_F(SectorIoTest, ForeignDdrSectorIsTranslatedOnRead) {
  std::vector<uint8_t> s = DdrSector(9);
  XlatIsiDDR(&st_, s.data());
  WriteFileAt(0, std::vector<uint8_t>(2048, 0));
  WriteFileAt(2048, s);
  st_.flags = kStSwapped;
  ASSERT_EQ(FhStReadNewDDRSector(&st_, 2048), 0);
  EXPECT_EQ(LoadU16(st_.ddr + 508), 9);
  EXPECT_EQ(LoadU32(st_.ddr + 504), 4u);
  EXPECT_EQ(LoadU32(st_.ddr + 8), 2u * 0x01000001u + 7);
}

TEST_F(SectorIoTest, WritesTranslateACopyAndLeaveTheBuffersNative) {
  st_.flags = kStSwapped;
  std::vector<uint8_t> header = RandomBytes(1024, 6);
  StoreU32(header.data() + 16, 3);
  memcpy(st_.header, header.data(), 1024);
  std::vector<uint8_t> key = RandomBytes(512, 7);
  key[500] = 4;
  std::vector<uint8_t> ddr = DdrSector(3);
  memcpy(st_.ddr, ddr.data(), 512);

  ASSERT_EQ(FhStWriteHeaderSector(&st_, st_.fd), 0);
  ASSERT_EQ(FhStWriteKeySector(&st_, st_.fd, 2048, key.data()), 0);
  ASSERT_EQ(FhStWriteDDRSector(&st_, st_.fd, 2560), 0);
  EXPECT_EQ(memcmp(st_.header, header.data(), 1024), 0);
  EXPECT_EQ(memcmp(st_.ddr, ddr.data(), 512), 0);

  std::string file = IsiBytes();
  ASSERT_EQ(file.size(), 3072u);
  XlatIsiHeader(&st_, header.data());
  XlatIsiTree(&st_, key.data());
  XlatIsiDDR(&st_, ddr.data());
  EXPECT_EQ(memcmp(file.data(), header.data(), 1024), 0);
  EXPECT_EQ(memcmp(file.data() + 2048, key.data(), 512), 0);
  EXPECT_EQ(memcmp(file.data() + 2560, ddr.data(), 512), 0);
}

TEST_F(SectorIoTest, ShortWritesFail) {
  FaultPlan plan;
  plan.classes = kFaultWrite;
  plan.failAt = 1;
  plan.shortIo = true;
  plan.sticky = true;
  SysSetFaultPlan(plan);
  uint8_t sector[512] = {};
  EXPECT_EQ(FhStWriteHeaderSector(&st_, st_.fd), -1);
  EXPECT_EQ(FhStWriteKeySector(&st_, st_.fd, 1024, sector), -1);
  EXPECT_EQ(FhStWriteDDRSector(&st_, st_.fd, 1536), -1);
  EXPECT_EQ(errno, ENOSPC);
}

// ---- Preparing the front of an existing file --------------------------------

TEST_F(SectorIoTest, FrontOfAForeignFileIsTranslatedAndMeasured) {
  Begin(10);
  cd()->recLenFound = 10;
  for (int i = 0; i < 3; ++i) {
    cd()->recStartPos = uint64_t(i) * 10;
    ASSERT_EQ(InsertDDRN(), 0);
  }
  AddNumbered(30);
  ASSERT_EQ(IsiBuildFinish(), kOk);
  std::string native = IsiBytes();
  std::string foreign = ToOtherOrder(native);
  ASSERT_NE(foreign, native);

  auto st = std::make_unique<FhStRec>();
  FhStInitRec(st.get());
  memcpy(st->header, foreign.data(), 2048);
  ASSERT_EQ(FhStPrepareFront(st.get()), 0);
  EXPECT_TRUE(st->flags & kStSwapped);
  EXPECT_TRUE(st->flags & kStRecNum);
  EXPECT_EQ(st->keyLength, 10);
  EXPECT_EQ(st->entrySize, 24);
  EXPECT_EQ(st->keysPerSector, 20u);
  EXPECT_EQ(memcmp(st->header + 8, native.data() + 8, 1016), 0);
  EXPECT_EQ(LoadU16(st->header + 4), 0x03FC);  // the version word keeps the file's order
  EXPECT_EQ(memcmp(st->root, native.data() + 1024, 1024), 0);
}

TEST_F(SectorIoTest, FrontChecksVersionAndKeyLength) {
  auto st = std::make_unique<FhStRec>();
  FhStInitRec(st.get());
  StoreU16(st->header + 4, 0xFC04);
  EXPECT_EQ(FhStPrepareFront(st.get()), kErrIsiVersion);
  StoreU16(st->header + 4, 0xFC03);
  StoreU16(st->header + 10, 0);
  EXPECT_EQ(FhStPrepareFront(st.get()), kErrNotIsi);
  StoreU16(st->header + 10, 151);
  EXPECT_EQ(FhStPrepareFront(st.get()), kErrNotIsi);
  StoreU16(st->header + 10, 150);
  EXPECT_EQ(FhStPrepareFront(st.get()), 0);
  EXPECT_EQ(st->entrySize, 164);
  EXPECT_EQ(st->keysPerSector, 3u);
  EXPECT_FALSE(st->flags & kStSwapped);
}

}  // namespace
}  // namespace isitest
