// The state record of an open ISI file, the sector reads and writes of
// compaction, which translate between the file's byte order and native,
// and the walk of its tree (the shared cursor, core/tree_cursor, over
// sectors read from the file's descriptor).
//
// In memory an open ISI is always native: sectors are translated in place
// right after they are read, and every write translates a private copy so
// that the caller's buffer stays native.
#pragma once

#include <cstdint>

#include "core/isi_format.h"
#include "core/isi_xlat.h"
#include "core/tree_cursor.h"

// FhStRec flag bits.
enum : uint32_t {
  kStWalkFromFirst = 0x200,  // the walk must start from the first key
  kStWalkAtEnd = 0x400,      // the walk has reached the end
  kStSwapped = 0x1000,       // the file is in the other byte order
  kStRecNum = 0x8000,        // positions are sector numbers
};

// One open ISI file (compaction and its walk). The header, root and head
// DDR buffers are one 2048-byte area, filled by one read at 0. The record
// owns all its buffers; it is released as a whole by its owner.
struct FhStRec {
  int32_t fd;
  uint32_t flags;
  uint16_t keyLength;
  uint16_t entrySize;
  uint32_t keysPerSector;  // entries a key sector holds
  uint8_t* header;         // front
  uint8_t* root;           // front + 1024
  uint8_t* ddr;            // front + 1536
  uint8_t* spare;
  IsiTree tree;        // the tree as the walk reads it
  IsiCursor walk;      // on the entry the walk gave last
  int walkError;       // the failure that stopped the walk, returned again
  uint64_t* walkSeen;  // the owner's marks of the sectors the walk entered (IsiTree::seen)
  alignas(8) uint8_t front[kIsiFrontSize];
  alignas(8) uint8_t spareBuf[kIsiSector];
};

// Points the buffer pointers of a zeroed record at its own buffers.
void FhStInitRec(FhStRec* state);

// After the 2048-byte read at 0: checks the front and brings it to native
// order (IsiPrepareFront, which also sets or clears kStSwapped), and takes
// the geometry from the header (keyLength, entrySize, keysPerSector,
// kStRecNum). Returns 0; kErrNotIsi without the magic;
// kErrIsiVersion when the version word fails its complement test;
// kErrCorruptIsi for a header value no index can have (*fault says which).
int32_t FhStPrepareFront(FhStRec* state, IsiHeaderFault* fault);

// The next entry of the tree in the tree's order (key order unless its keys
// step backwards, which this walk takes as they come), from the first one
// when kStWalkFromFirst is set, read from a file of `fileSize` bytes (the
// root from state->root): kIsiCursorOk with state->walk on it,
// kIsiCursorEnd (kStWalkAtEnd set), or the cursor's failure (state->walk
// tells the damage), which every later call returns again. walkSeen must
// hold a clear bit for each sector of the file when the walk starts.
int FhStNextEntry(FhStRec* state, uint64_t fileSize);

// Translates a DDR sector of this file in place, in either direction; a
// file whose header names no chain has no DDR sector, and its bytes at 1536
// stay as they are.
void FhStTranslateDdr(const FhStRec* state, uint8_t* sector);

// Reads the sector at byte `offset` into `buf`: 0, -1 (offset not a
// multiple of 512; errno 0), -2 (seek failed) or -3 (short read).
int32_t FhStReadSector(FhStRec* state, uint64_t offset, uint8_t* buf);
// Reads the DDR sector at `position` into state->ddr: 0, a read code, -8
// (bad marker) or -9 (bad count).
int32_t FhStReadDdrSector(FhStRec* state, uint32_t position);
// The write routines return 0, or -1 when the seek fails or fewer bytes
// than asked were written (errno tells why).
int32_t FhStWriteHeaderSector(FhStRec* state, int fd);
int32_t FhStWriteKeySector(FhStRec* state, int fd, uint32_t byteOffset, const uint8_t* sector);
int32_t FhStWriteDDRSector(FhStRec* state, int fd, uint32_t byteOffset);
