// The index build: the reserved front, the one-pass bottom-up B-tree, the
// root, the head DDR sector and the header.
//
// indexMain runs IsiBuildBegin, the external sort (which feeds every sorted
// item through WriteTagRecord into InsertKey) and IsiBuildFinish. The parts
// are callable on their own so that a tree can be built from items made by
// hand, and compaction reuses InsertKey, WriteLevelSector and
// AllocIsiBuffers to build its new tree.
#pragma once

#include <cstdint>

#include "core/status.h"

// Lengths of the two duplicate-key lines without the key: "Duplicate Key
// at:" and "Duplicate Key ignored at:", 16 hex digits, " Key:", " ".
constexpr uint32_t kDupLineLen = 39, kDupIgnoredLineLen = 47;

Status indexMain(int32_t keyLength, int32_t entrySize);

// Everything before the sort: the tree geometry, the 17-sector block, the
// reserved 2048 bytes at the start of the ISI (outFd) and the sector
// position counter. 0, kErrMemory (buffer block), kErrKeyTooLarge (a key
// length or entry size the format cannot hold) or kErrIsiWrite.
Status IsiBuildBegin(int32_t keyLength, int32_t entrySize);
// Everything after the sort: the pending sector of every level, the root at
// 1024, the head DDR sector at 1536, the header and the final reports.
// 0, kErrNullFile or kErrIsiWrite.
Status IsiBuildFinish();

// The output routine the driver hands the sort (outRecFn): checks the
// item's record length against the record length in effect and inserts the
// item into the tree. 0, kErrTreeLevels or -1 (any other failure).
int32_t WriteTagRecord(uint8_t* item);
// Inserts the key of curItem into level treeLevel with the given child:
// 0, -2 (write failure, message shown) or kErrTreeLevels.
int32_t InsertKey(uint32_t child);
// Writes the pending sector of level treeLevel through the output buffer
// and returns its position (byte offset, or sector number under record-
// number addressing), or -2 after showing the write-failure message.
int64_t WriteLevelSector();
// Entries a key sector of the build takes: those that fit in front of its
// trailer, cut to the fill percent of option m.
uint32_t KeysPerNode(uint32_t entrySize, uint32_t maxFillPct);
// The 17-sector block: level i's pending sector is the i-th 512 bytes, the
// seventeenth is the DDR sector. Also starts a new key sequence (the next
// key has no predecessor). 0, or 1 when memory is short.
int32_t AllocIsiBuffers();

// Builds the 1024-byte header from the run context into `header` (zeroed
// here). Settles recLenFound as the header stores it. 0, or kErrNullFile
// after its message when no record length is known and nothing was indexed.
Status IsiBuildHeader(uint8_t* header);
// The closing lines about what the scan found in the data.
void IsiShowDataReports();

// Shows the ISI write-failure message ("Unable to write segment ...").
void ShowIsiWriteFailure();
