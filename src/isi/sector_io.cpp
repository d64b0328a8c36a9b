// Sector I/O of an open ISI file: the state record's layout, the byte-order
// translators of the header, key sectors and DDR sectors, and the sector
// reads and writes that apply them.
#include "isi/sector_io.h"

#include <cerrno>
#include <cstring>

#include "driver/status.h"
#include "driver/sys_io.h"
#include "isi/byte_order.h"
#include "isi/isi_xlat.h"

namespace {

constexpr uint32_t kHdrSpinOfs = 32;
constexpr uint32_t kHdrDdrHeadOfs = 16;
constexpr uint32_t kHdrKeyLenOfs = 10;
constexpr uint32_t kHdrDataLenOfs = 12;
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
  IsiOrder order = IsiHeaderOrder(state->header);
  if (order == kIsiBadVersion) return kErrIsiVersion;
  if (order == kIsiForeign) {
    state->flags |= kStSwapped;
    IsiXlatHeader(state->header);
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
  IsiXlatHeader(header);
  return 0;
}

int32_t XlatIsiTree(FhStRec* state, uint8_t* sector) {
  IsiXlatKeySector(sector, state->entrySize);
  return 0;
}

// While the header names no DDR sector, the bytes at 1536 are no DDR sector
// either and stay as they are.
int32_t XlatIsiDDR(FhStRec* state, uint8_t* sector) {
  if (LoadU32(state->header + kHdrDdrHeadOfs) != kIsiNoSector) IsiXlatDdrSector(sector);
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
