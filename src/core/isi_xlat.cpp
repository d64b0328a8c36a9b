// Byte-order translation and front checks of the ISI format on plain buffers.
#include "core/isi_xlat.h"

#include <cstring>

#include "core/byte_order.h"
#include "core/isi_format.h"

IsiOrder IsiHeaderOrder(const uint8_t* header) {
  uint16_t version = LoadU16(header + kHdrVersionOfs);
  if (!IsiVersionValid(version)) return kIsiBadVersion;
  return version == kIsiVersionSwapped ? kIsiForeign : kIsiNative;
}

void IsiXlatHeader(uint8_t* header) {
  SwapU16x(header + kHdrRecordLengthOfs);
  SwapU16x(header + kHdrKeyLengthOfs);
  for (uint32_t ofs = kHdrFirstU32Ofs; ofs <= kHdrLastU32Ofs; ofs += 4) SwapU32x(header + ofs);
  for (int i = 0; i < kMaxPrimaryTests; ++i) {
    SwapU16x(header + kHdrPrimaryOfs + sizeof(PrimarySelEntry) * i);
  }
  // The key specifications end at the first zero length; a zero reads the
  // same in both orders, so the test works before and after the swap.
  for (int i = 0; i < kMaxKeySpecs; ++i) {
    uint8_t* spec = header + kHdrKeySpecOfs + sizeof(KeySpecEntry) * i;
    uint8_t* length = spec + offsetof(KeySpecEntry, length);
    if (LoadU16(length) == 0) break;
    SwapU16x(length);
    SwapU16x(spec + offsetof(KeySpecEntry, first));
  }
}

void IsiXlatKeySector(uint8_t* sector, uint32_t entrySize) {
  SwapU32x(sector + kKeyRightOfs);
  SwapU16x(sector + kKeyLevelOfs);
  if (entrySize < kIsiEntryKeyOfs) return;
  uint32_t count = sector[kKeyCountOfs];
  uint32_t fit = IsiEntriesPerSector(entrySize);
  if (count > fit) count = fit;  // a damaged count byte must not lead past the entries
  uint8_t* entry = sector;
  for (uint32_t i = 0; i < count; ++i, entry += entrySize) {
    SwapU32x(entry + kEntryPosOfs);
    SwapU32x(entry + kEntryChildOfs);
    SwapU16x(entry + kEntryDupOfs);
    SwapU16x(entry + kEntrySizeOfs);
  }
}

void IsiXlatDdrSector(uint8_t* sector) {
  SwapU32x(sector + kDdrLinkOfs);
  SwapU16x(sector + kDdrCountOfs);
  uint16_t count = LoadU16(sector + kDdrCountOfs);
  if (count > UINT8_MAX) count = __builtin_bswap16(count);
  if (count == 0 || count > kIsiDdrPerSector) return;
  for (uint32_t i = count; i-- > 0;) SwapU32x(sector + sizeof(uint32_t) * i);
}

IsiHeaderFault IsiCheckHeader(const uint8_t* header) {
  if (!IsiKeyLengthValid(LoadU16(header + kHdrKeyLengthOfs))) return kIsiBadKeyLength;
  bool recNum = (header[kHdrModeOfs] & kModeRecNum) != 0;
  bool varLen = (header[kHdrFormatOfs] & (kFmtVarLen | kFmtSpaceComp)) != 0;
  if (recNum == varLen) return kIsiBadAddressing;
  uint32_t root = LoadU32(header + kHdrRootPosOfs);
  if (root != (recNum ? kIsiRootPos / kIsiSector : kIsiRootPos)) return kIsiBadRootPos;
  return kIsiHeaderSound;
}

IsiFrontResult IsiPrepareFront(uint8_t* front, bool* swapped, IsiHeaderFault* fault) {
  if (memcmp(front, kIsiMagic, sizeof kIsiMagic) != 0) return kIsiFrontNotIsi;
  IsiOrder order = IsiHeaderOrder(front);
  if (order == kIsiBadVersion) return kIsiFrontBadVersion;
  *swapped = order == kIsiForeign;
  if (*swapped) IsiXlatHeader(front);
  *fault = IsiCheckHeader(front);
  if (*fault != kIsiHeaderSound) return kIsiFrontBadHeader;
  if (*swapped) {
    IsiXlatKeySector(front + kIsiRootPos, IsiEntrySize(LoadU16(front + kHdrKeyLengthOfs)));
    // While the header names no chain, the bytes at 1536 are no DDR sector.
    if (LoadU32(front + kHdrDdrHeadOfs) != kIsiNoSector) IsiXlatDdrSector(front + kIsiDdrHeadPos);
  }
  return kIsiFrontSound;
}

uint32_t IsiEorLength(uint8_t formatFlags) {
  if (formatFlags & kFmtBinary) return 0;
  return (formatFlags & kFmtEorCrLf) ? 2 : 1;
}

const char* IsiEorBytes(uint8_t formatFlags) {
  switch (formatFlags & kFmtEorMask) {
    case kFmtEorCr:
      return "\r";
    case kFmtEorCrLf:
      return "\r\n";
    case kFmtEorLfCr:
      return "\n\r";
    default:
      return "\n";
  }
}

const char* IsiEorName(uint8_t formatFlags) {
  switch (formatFlags & kFmtEorMask) {
    case kFmtEorCr:
      return "CR";
    case kFmtEorCrLf:
      return "CR LF";
    case kFmtEorLfCr:
      return "LF CR";
    default:
      return "LF";
  }
}
