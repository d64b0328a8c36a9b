// The state record of an open ISI file, the three translators between the
// two byte orders, and the sector read and write routines that apply them.
//
// In memory an open ISI is always native: sectors are translated in place
// right after they are read, and every write translates a private copy so
// that the caller's buffer stays native.
#pragma once

#include <cstdint>

#include "isi/isi_format.h"

// FhStRec flag bits.
enum : uint32_t {
  kStWalkFromFirst = 0x200,  // the walk must start from the first key
  kStWalkAtEnd = 0x400,      // the walk has reached the end
  kStSwapped = 0x1000,       // the file is in the other byte order
  kStRecNum = 0x8000,        // positions are sector numbers
};

// One open ISI file (compaction and the sequential walk). The header, root
// and head DDR buffers are one 2048-byte area, filled by one read at 0.
// The record owns all its buffers; it is released as a whole by its owner.
struct FhStRec {
  int32_t fd;
  uint32_t spin;  // header spin counter after the last walk step
  uint32_t flags;
  uint64_t offset;      // byte offset of the next sector read
  uint32_t curSector;   // position of the key sector in `sector`
  uint32_t rootPos;     // the position the walk knows the root under (0)
  uint32_t sectorSize;  // 512
  uint8_t* readBuf;     // target of the next sector read
  uint16_t readLen;     // bytes of the next sector read
  uint16_t curIndex;    // 1-based index of the current entry
  uint16_t keyLength;
  uint16_t entrySize;
  uint32_t keysPerSector;  // 500 / entrySize
  uint32_t dataLength;     // header data length
  uint8_t* curEntry;       // the current entry inside `sector`
  uint8_t* sector;         // walk buffer
  uint8_t* header;         // front
  uint8_t* root;           // front + 1024
  uint8_t* ddr;            // front + 1536
  uint8_t* spare;
  IsiKeyEntry entry;  // copy of the entry the walk returned last, native
  // Walk bookkeeping (isi/seq_walk): the file's size in sectors, taken when
  // the walk starts, the sectors loaded since, and the code of a failed step,
  // which every later call returns again.
  uint64_t walkFileSectors;
  uint64_t walkLoads;
  int32_t walkError;
  alignas(8) uint8_t walkBuf[2][kIsiSector];
  alignas(8) uint8_t front[kIsiFrontSize];
  alignas(8) uint8_t spareBuf[kIsiSector];
};

// Points the buffer pointers of a zeroed record at its own buffers and sets
// sectorSize.
void FhStInitRec(FhStRec* state);

// After the 2048-byte read at 0: recognises the file's byte order from the
// version word (setting or clearing kStSwapped), translates the header, root
// and head DDR buffers to native when needed, and takes the geometry from
// the header (keyLength, entrySize, keysPerSector, dataLength, spin,
// kStRecNum). Returns 0; kErrIsiVersion when the version word fails its
// complement test; kErrNotIsi when the key length is not 1 to 150.
int32_t FhStPrepareFront(FhStRec* state);

// The translators convert in place; the same call converts in either
// direction. Each returns 0.
int32_t XlatIsiHeader(FhStRec* state, uint8_t* header);
int32_t XlatIsiTree(FhStRec* state, uint8_t* sector);
int32_t XlatIsiDDR(FhStRec* state, uint8_t* sector);

// Reads readLen bytes at offset into readBuf: the byte count, -1 (offset not
// a multiple of sectorSize; errno 0), -2 (seek failed) or -3 (short read).
int32_t FhStReadSector(FhStRec* state);
// Reads one sector at byte `offset` into `buf` through FhStReadSector.
int32_t FhStReadSectorAt(FhStRec* state, uint64_t offset, uint8_t* buf);
// Reads the DDR sector at `position` into state->ddr: 0, a read code, -8
// (bad marker) or -9 (bad count).
int32_t FhStReadNewDDRSector(FhStRec* state, uint32_t position);
// The write routines return 0, or -1 when the seek fails or fewer bytes
// than asked were written (errno tells why).
int32_t FhStWriteHeaderSector(FhStRec* state, int fd);
int32_t FhStWriteKeySector(FhStRec* state, int fd, uint32_t byteOffset, const uint8_t* sector);
int32_t FhStWriteDDRSector(FhStRec* state, int fd, uint32_t byteOffset);
