// Byte-order translation and front checks of the ISI format on plain buffers.
#include "isi/isi_xlat.h"

#include "isi/byte_order.h"
#include "isi/isi_format.h"

namespace {

constexpr uint32_t kHdrVersionOfs = 4, kHdrFormatOfs = 6, kHdrModeOfs = 7;
constexpr uint32_t kHdrKeyLenOfs = 10, kHdrRootOfs = 20;
constexpr uint32_t kHdrFirstU32 = 12, kHdrLastU32 = 48;
constexpr uint32_t kHdrPrimaryOfs = 64, kHdrKeySpecOfs = 112;
constexpr uint32_t kKeyLevelOfs = 506, kKeyRightOfs = 508;
constexpr uint32_t kDdrCountOfs = 508;

}  // namespace

IsiOrder IsiHeaderOrder(const uint8_t* header) {
  uint16_t version = LoadU16(header + kHdrVersionOfs);
  if (!IsiVersionValid(version)) return kIsiBadVersion;
  return version == kIsiVersionSwapped ? kIsiForeign : kIsiNative;
}

void IsiXlatHeader(uint8_t* header) {
  SwapU16x(header + 8);
  SwapU16x(header + kHdrKeyLenOfs);
  for (uint32_t ofs = kHdrFirstU32; ofs <= kHdrLastU32; ofs += 4) SwapU32x(header + ofs);
  for (int i = 0; i < kMaxPrimaryTests; ++i) SwapU16x(header + kHdrPrimaryOfs + 4 * i);
  // The key specifications end at the first zero length; a zero reads the
  // same in both orders, so the test works before and after the swap.
  for (int i = 0; i < kMaxKeySpecs; ++i) {
    uint8_t* spec = header + kHdrKeySpecOfs + 4 * i;
    if (LoadU16(spec + 2) == 0) break;
    SwapU16x(spec + 2);
    SwapU16x(spec);
  }
}

void IsiXlatKeySector(uint8_t* sector, uint32_t entrySize) {
  SwapU32x(sector + kKeyRightOfs);
  SwapU16x(sector + kKeyLevelOfs);
  if (entrySize < kIsiEntryKeyOfs) return;
  uint32_t count = sector[kIsiKeyTrailerOfs];
  uint32_t fit = kIsiKeyTrailerOfs / entrySize;
  if (count > fit) count = fit;  // a damaged count byte must not lead past the entries
  uint8_t* entry = sector;
  for (uint32_t i = 0; i < count; ++i, entry += entrySize) {
    SwapU32x(entry);
    SwapU32x(entry + 4);
    SwapU16x(entry + 8);
    SwapU16x(entry + 10);
  }
}

void IsiXlatDdrSector(uint8_t* sector) {
  SwapU32x(sector + kIsiDdrTrailerOfs);
  SwapU16x(sector + kDdrCountOfs);
  uint16_t count = LoadU16(sector + kDdrCountOfs);
  if (count > 255) count = __builtin_bswap16(count);
  if (count == 0 || count > kIsiDdrPerSector) return;
  for (uint32_t i = count; i-- > 0;) SwapU32x(sector + 4 * i);
}

IsiHeaderFault IsiCheckHeader(const uint8_t* header) {
  uint16_t keyLength = LoadU16(header + kHdrKeyLenOfs);
  if (keyLength == 0 || keyLength > kMaxKeyBytes) return kIsiBadKeyLength;
  bool recNum = (header[kHdrModeOfs] & kModeRecNum) != 0;
  bool varLen = (header[kHdrFormatOfs] & (kFmtVarLen | kFmtSpaceComp)) != 0;
  if (recNum == varLen) return kIsiBadAddressing;
  uint32_t root = LoadU32(header + kHdrRootOfs);
  if (root != (recNum ? kIsiRootPos / kIsiSector : kIsiRootPos)) return kIsiBadRootPos;
  return kIsiHeaderSound;
}

uint32_t IsiEorLength(uint8_t formatFlags) {
  if (formatFlags & 0x40) return 2;
  return (formatFlags & 0x80) ? 1 : 0;
}
