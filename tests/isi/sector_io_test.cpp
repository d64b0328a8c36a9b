// Byte-order translation of headers and key sectors, the sector reads of an
// open ISI file, and the preparation of an existing file's front. Written
// and DDR sectors in the other order are held by the compactions of such
// indexes through the binary.
#include <cstring>
#include <random>

#include "isi/byte_order.h"
#include "isi/ddr_list.h"
#include "isi_fixture.h"

namespace isitest {
namespace {

using Bytes = std::vector<uint8_t>;

class SectorIoTest : public IsiFixture {
 protected:
  void SetUp() override {
    IsiFixture::SetUp();
    FhStInitRec(&st_);
    st_.fd = cd()->outFd;
    st_.entrySize = 24;
    StoreU32(st_.header + 16, 3);  // a chain exists
  }
  static Bytes RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    Bytes v(n);
    for (auto& b : v) b = static_cast<uint8_t>(gen());
    return v;
  }
  // A DDR sector with `count` entries i * 0x01000001 + 7, and the trailer.
  static Bytes DdrSector(int16_t count, uint8_t mark2 = 0xFD) {
    Bytes s = RandomBytes(512, 5);
    for (int i = 0; i < 126; ++i) StoreU32(s.data() + 4 * i, uint32_t(i) * 0x01000001u + 7);
    StoreU32(s.data() + 504, 4);
    StoreU16(s.data() + 508, static_cast<uint16_t>(count));
    s[510] = 0xF9;
    s[511] = mark2;
    return s;
  }
  void WriteFileAt(uint64_t offset, const Bytes& bytes) {
    ASSERT_EQ(pwrite(cd()->outFd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
              static_cast<ssize_t>(bytes.size()));
  }
  FhStRec st_{};
};

TEST_F(SectorIoTest, HeaderTranslation) {
  Bytes h = RandomBytes(1024, 1), original = h;
  XlatIsiHeader(&st_, h.data());
  EXPECT_NE(h, original);
  EXPECT_EQ(memcmp(h.data(), original.data(), 8), 0);  // magic, version, flag bytes stay
  EXPECT_EQ(memcmp(h.data() + 240, original.data() + 240, 784), 0);
  XlatIsiHeader(&st_, h.data());
  EXPECT_EQ(h, original);  // its own inverse
  // A built header read back in the other order gives the same fields.
  cd()->treeKeyLen = 10;
  cd()->recLenFound = 101;
  cd()->readPos = 0x12345 * 101;
  cd()->recCount = 0x12345;
  cd()->deletedCount = 0x0102;
  cd()->ddrChainPos = 3;
  for (int i = 0; i < kMaxKeySpecs; ++i) cd()->keySpecTable[i] = {uint16_t(i + 0x100), 1};
  for (int i = 0; i < kMaxPrimaryTests; ++i) {
    cd()->primarySelTable[i] = {uint16_t(i + 0x200), 0x20, 'A'};
  }
  ASSERT_EQ(IsiBuildHeader(h.data()), kOk);
  isir::IsiReader native, other;
  ASSERT_TRUE(native.Load(std::string(h.begin(), h.end())));
  XlatIsiHeader(&st_, h.data());
  std::swap(h[4], h[5]);
  ASSERT_TRUE(other.Load(std::string(h.begin(), h.end())));
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
  // Key specifications stop at the first of zero length.
  Bytes specs(1024, 0);
  StoreU16(specs.data() + 112, 1);
  StoreU16(specs.data() + 114, 2);
  StoreU16(specs.data() + 120, 3);  // behind the terminator at 116
  XlatIsiHeader(&st_, specs.data());
  EXPECT_EQ(LoadU16(specs.data() + 112), 0x0100);
  EXPECT_EQ(LoadU16(specs.data() + 114), 0x0200);
  EXPECT_EQ(LoadU16(specs.data() + 120), 3);
}

TEST_F(SectorIoTest, KeySectorTranslationSwapsTheCountedEntriesOnly) {
  // A damaged count stops at what fits: 31 entries of 16 bytes end at 496.
  for (uint8_t count : {5, 0, 255}) {
    SCOPED_TRACE(count);
    st_.entrySize = count == 255 ? 16 : 24;
    uint32_t fit = count == 255 ? 31 : count;
    Bytes s = RandomBytes(512, count), original = s;
    s[500] = original[500] = count;
    XlatIsiTree(&st_, s.data());
    for (uint32_t e = 0; e < fit; ++e) {
      uint32_t at = e * st_.entrySize;
      EXPECT_EQ(LoadU32(s.data() + at), __builtin_bswap32(LoadU32(original.data() + at)));
      EXPECT_EQ(memcmp(s.data() + at + 12, original.data() + at + 12, st_.entrySize - 12), 0);
    }
    uint32_t end = fit * st_.entrySize;
    EXPECT_EQ(memcmp(s.data() + end, original.data() + end, 506 - end), 0);
    EXPECT_EQ(LoadU16(s.data() + 506), __builtin_bswap16(LoadU16(original.data() + 506)));
    EXPECT_EQ(LoadU32(s.data() + 508), __builtin_bswap32(LoadU32(original.data() + 508)));
    XlatIsiTree(&st_, s.data());
    EXPECT_EQ(s, original);
  }
}

TEST_F(SectorIoTest, ReadsOfSectors) {
  WriteFileAt(0, Bytes(2048, 0));
  const struct {
    int16_t count;
    uint8_t mark2;
  } sectors[] = {{7, 0xFD}, {7, 0xFC}, {127, 0xFD}, {0, 0xFD}, {-1, 0xFD}};
  for (size_t i = 0; i < 5; ++i)
    WriteFileAt(2048 + 512 * i, DdrSector(sectors[i].count, sectors[i].mark2));
  const struct {
    uint32_t pos;
    uint32_t flags;
    int32_t result;
  } ddr[] = {{2048, 0, 0},  {2560, 0, -8}, {3072, 0, -9}, {3584, 0, -9},
             {4096, 0, -9}, {4608, 0, -3}, {2049, 0, -1}, {4, kStRecNum, 0}};
  for (const auto& c : ddr) {
    st_.flags = c.flags;
    EXPECT_EQ(FhStReadNewDDRSector(&st_, c.pos), c.result) << c.pos;
  }
  EXPECT_EQ(LoadU16(st_.ddr + 508), 7);
  // A foreign sector is translated on read.
  Bytes s = DdrSector(9);
  XlatIsiDDR(&st_, s.data());
  WriteFileAt(2048, s);
  st_.flags = kStSwapped;
  ASSERT_EQ(FhStReadNewDDRSector(&st_, 2048), 0);
  EXPECT_EQ(LoadU16(st_.ddr + 508), 9);
  EXPECT_EQ(LoadU32(st_.ddr + 504), 4u);
  EXPECT_EQ(LoadU32(st_.ddr + 8), 2u * 0x01000001u + 7);
  // Plain sector reads: at the end of the file, off a sector, a failing seek.
  st_.readBuf = st_.sector;
  st_.readLen = 512;
  st_.offset = 512;
  EXPECT_EQ(FhStReadSector(&st_), 512);
  st_.offset = 4608;
  EXPECT_EQ(FhStReadSector(&st_), -3);
  SysSetFaultPlan({kFaultSeek | kFaultRead, 1000});  // counts
  st_.offset = 100;
  errno = EIO;
  EXPECT_EQ(FhStReadSector(&st_), -1);
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(SysFaultCallCount(), 0u);  // refused before any seek
  SysSetFaultPlan({kFaultSeek, 1});
  st_.offset = 0;
  EXPECT_EQ(FhStReadSector(&st_), -2);
}

TEST_F(SectorIoTest, FrontOfAnExistingFile) {
  Begin(10);
  cd()->recLenFound = 10;
  for (int i = 0; i < 3; ++i) {
    cd()->recStartPos = uint64_t(i) * 10;
    ASSERT_EQ(InsertDDRN(), 0);
  }
  AddNumbered(30);
  ASSERT_EQ(IsiBuildFinish(), kOk);
  std::string native = IsiBytes(), foreign = isir::SwapByteOrder(native);
  ASSERT_NE(foreign, native);
  auto st = std::make_unique<FhStRec>();
  FhStInitRec(st.get());
  memcpy(st->header, foreign.data(), 2048);
  ASSERT_EQ(FhStPrepareFront(st.get()), 0);  // translated and measured
  EXPECT_TRUE(st->flags & kStSwapped);
  EXPECT_TRUE(st->flags & kStRecNum);
  EXPECT_EQ(st->keyLength, 10);
  EXPECT_EQ(st->entrySize, 24);
  EXPECT_EQ(st->keysPerSector, 20u);
  EXPECT_EQ(memcmp(st->header + 8, native.data() + 8, 1016), 0);
  EXPECT_EQ(LoadU16(st->header + 4), 0x03FC);  // the version word keeps the file's order
  EXPECT_EQ(memcmp(st->root, native.data() + 1024, 1024), 0);
  // The version and the key length are checked.
  FhStInitRec(st.get());
  const struct {
    uint16_t version, keyLength;
    int32_t result;
  } cases[] = {{0xFC04, 10, kErrIsiVersion},
               {0xFC03, 0, kErrNotIsi},
               {0xFC03, 151, kErrNotIsi},
               {0xFC03, 150, 0}};
  for (const auto& c : cases) {
    StoreU16(st->header + 4, c.version);
    StoreU16(st->header + 10, c.keyLength);
    EXPECT_EQ(FhStPrepareFront(st.get()), c.result) << c.keyLength;
  }
  EXPECT_EQ(st->entrySize, 164);
  EXPECT_EQ(st->keysPerSector, 3u);
  EXPECT_FALSE(st->flags & kStSwapped);
}

}  // namespace
}  // namespace isitest
