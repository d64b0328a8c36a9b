// Sector I/O of an open ISI file: the state record's layout, the byte-order
// translators of the header, key sectors and DDR sectors, and the sector
// reads and writes that apply them.
#include "isi/sector_io.h"

#include <cerrno>
#include <cstring>

#include "driver/status.h"
#include "driver/sys_io.h"
#include "isi/byte_order.h"

namespace {

constexpr uint32_t kHdrSpinOfs = 32;
constexpr uint32_t kHdrDdrHeadOfs = 16;
constexpr uint32_t kHdrKeyLenOfs = 10;
constexpr uint32_t kHdrDataLenOfs = 12;
constexpr uint32_t kHdrPrimaryOfs = 64;
constexpr uint32_t kHdrKeySpecOfs = 112;
constexpr uint32_t kKeyCountOfs = kIsiKeyTrailerOfs;  // 500
constexpr uint32_t kKeyLevelOfs = 506;
constexpr uint32_t kKeyRightOfs = 508;
constexpr uint32_t kDdrLinkOfs = kIsiDdrTrailerOfs;  // 504
constexpr uint32_t kDdrCountOfs = 508;
constexpr uint32_t kDdrMark1Ofs = 510, kDdrMark2Ofs = 511;

// Seeks and writes `len` bytes; 0 or -1.
int32_t WriteAt(int fd, uint64_t byteOffset, const uint8_t* data, uint32_t len) {
  if (SysLseek(fd, static_cast<off_t>(byteOffset), SEEK_SET) < 0) return -1;
  return SysWrite(fd, data, len) == static_cast<ssize_t>(len) ? 0 : -1;
}

}  // namespace

void FhStInitRec(FhStRec* state) {
  state->sectorSize = kIsiSector;
  state->sector = state->walkBuf[0];
  state->header = state->front;
  state->root = state->front + kIsiRootPos;
  state->ddr = state->front + kIsiDdrHeadPos;
  state->spare = state->spareBuf;
  state->readBuf = state->sector;
  state->readLen = kIsiSector;
}

int32_t FhStPrepareFront(FhStRec* state) {
  uint16_t version = LoadU16(state->header + 4);
  if (!IsiVersionValid(version)) return kErrIsiVersion;
  if (version == kIsiVersionSwapped) {
    state->flags |= kStSwapped;
    XlatIsiHeader(state, state->header);
  } else {
    state->flags &= ~kStSwapped;
  }
  uint16_t keyLength = LoadU16(state->header + kHdrKeyLenOfs);
  if (keyLength == 0 || keyLength > kMaxKeyBytes) return kErrNotIsi;
  state->keyLength = keyLength;
  state->entrySize = static_cast<uint16_t>(IsiEntrySize(keyLength));
  state->keysPerSector = kIsiKeyTrailerOfs / state->entrySize;
  state->dataLength = LoadU32(state->header + kHdrDataLenOfs);
  state->spin = LoadU32(state->header + kHdrSpinOfs);
  if (state->header[7] & kModeRecNum) {
    state->flags |= kStRecNum;
  } else {
    state->flags &= ~kStRecNum;
  }
  if (state->flags & kStSwapped) {
    XlatIsiTree(state, state->root);
    XlatIsiDDR(state, state->ddr);
  }
  return kOk;
}

int32_t XlatIsiHeader(FhStRec*, uint8_t* header) {
  SwapU16x(header + 8);
  SwapU16x(header + kHdrKeyLenOfs);
  for (uint32_t ofs = kHdrDataLenOfs; ofs <= 48; ofs += 4) SwapU32x(header + ofs);
  for (int i = 0; i < kMaxPrimaryTests; ++i) SwapU16x(header + kHdrPrimaryOfs + 4 * i);
  // The key specifications end at the first zero length; a zero reads the
  // same in both orders, so the test works before and after the swap.
  for (int i = 0; i < kMaxKeySpecs; ++i) {
    uint8_t* spec = header + kHdrKeySpecOfs + 4 * i;
    if (LoadU16(spec + 2) == 0) break;
    SwapU16x(spec + 2);
    SwapU16x(spec);
  }
  return 0;
}

void XlatIsiTreeEntries(uint8_t* sector, uint32_t entrySize) {
  SwapU32x(sector + kKeyRightOfs);
  SwapU16x(sector + kKeyLevelOfs);
  if (entrySize < kIsiEntryKeyOfs) return;
  uint32_t count = sector[kKeyCountOfs];
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

int32_t XlatIsiTree(FhStRec* state, uint8_t* sector) {
  XlatIsiTreeEntries(sector, state->entrySize);
  return 0;
}

int32_t XlatIsiDDR(FhStRec* state, uint8_t* sector) {
  if (LoadU32(state->header + kHdrDdrHeadOfs) == kIsiNoSector) return 0;
  SwapU32x(sector + kDdrLinkOfs);
  SwapU16x(sector + kDdrCountOfs);
  // A valid count is 1 to 126; reversed it is at least 256. So a value above
  // 255 is the foreign form (we are writing), and its reverse is the count.
  uint16_t count = LoadU16(sector + kDdrCountOfs);
  if (count > 255) count = __builtin_bswap16(count);
  if (count == 0 || count > kIsiDdrPerSector) return 0;
  for (uint32_t i = count; i-- > 0;) SwapU32x(sector + 4 * i);
  return 0;
}

int32_t FhStReadSector(FhStRec* state) {
  if (state->sectorSize == 0 || state->offset % state->sectorSize != 0) {
    errno = 0;
    return -1;
  }
  if (SysLseek(state->fd, static_cast<off_t>(state->offset), SEEK_SET) < 0) return -2;
  ssize_t n = SysRead(state->fd, state->readBuf, state->readLen);
  if (n != static_cast<ssize_t>(state->readLen)) return -3;
  return static_cast<int32_t>(n);
}

int32_t FhStReadSectorAt(FhStRec* state, uint64_t offset, uint8_t* buf) {
  state->offset = offset;
  state->readBuf = buf;
  state->readLen = kIsiSector;
  return FhStReadSector(state);
}

int32_t FhStReadNewDDRSector(FhStRec* state, uint32_t position) {
  uint64_t offset = position;
  if (state->flags & kStRecNum) offset *= state->sectorSize;
  int32_t r = FhStReadSectorAt(state, offset, state->ddr);
  if (r < 0) return r;
  if (state->flags & kStSwapped) XlatIsiDDR(state, state->ddr);
  if (state->ddr[kDdrMark1Ofs] != kIsiDdrMark1 || state->ddr[kDdrMark2Ofs] != kIsiDdrMark2) {
    return -8;
  }
  int16_t count = static_cast<int16_t>(LoadU16(state->ddr + kDdrCountOfs));
  if (count <= 0 || count > static_cast<int16_t>(kIsiDdrPerSector)) return -9;
  return 0;
}

int32_t FhStWriteHeaderSector(FhStRec* state, int fd) {
  if (!(state->flags & kStSwapped)) return WriteAt(fd, 0, state->header, kIsiHeaderSize);
  uint8_t copy[kIsiHeaderSize];
  memcpy(copy, state->header, sizeof copy);
  XlatIsiHeader(state, copy);
  return WriteAt(fd, 0, copy, sizeof copy);
}

int32_t FhStWriteKeySector(FhStRec* state, int fd, uint32_t byteOffset, const uint8_t* sector) {
  if (!(state->flags & kStSwapped)) return WriteAt(fd, byteOffset, sector, kIsiSector);
  uint8_t copy[kIsiSector];
  memcpy(copy, sector, sizeof copy);
  XlatIsiTree(state, copy);
  return WriteAt(fd, byteOffset, copy, sizeof copy);
}

int32_t FhStWriteDDRSector(FhStRec* state, int fd, uint32_t byteOffset) {
  if (!(state->flags & kStSwapped)) return WriteAt(fd, byteOffset, state->ddr, kIsiSector);
  uint8_t copy[kIsiSector];
  memcpy(copy, state->ddr, sizeof copy);
  XlatIsiDDR(state, copy);
  return WriteAt(fd, byteOffset, copy, sizeof copy);
}
