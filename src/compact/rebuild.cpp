// The compaction rebuild.
//
// Every old entry is in the sort trains, and everything that can be checked
// of the old file has been checked, before the first byte of the output is
// written: a damaged index is refused while it is still intact. From the
// header write on, an in-place ISI is inconsistent until CompactIndex
// rewrites its header; a failure from there on is repaired by the driver
// from the backup.
#include "compact/rebuild.h"

#include <unistd.h>

#include <cstring>

#include "compact/backup.h"
#include "compact/compact_messages.h"
#include "compact/ddr_chain.h"
#include "compact/front.h"
#include "compact/stored_line.h"
#include "core/byte_order.h"
#include "core/isi_format.h"
#include "core/isi_xlat.h"
#include "core/sort_item.h"
#include "driver/cleanup.h"
#include "driver/cmd_data.h"
#include "driver/messages.h"
#include "driver/sys_io.h"
#include "isi/tree_build.h"
#include "sort/item_sort.h"
#include "sort/merge.h"
#include "sort/out_buffer.h"

namespace {

// The run context as the tree build and the sort expect it for this file.
void SetUpRebuild(FhStRec* state) {
  CmdData* cd = pCmdData;
  const uint8_t* h = state->header;
  uint32_t keyLength = state->keyLength;
  cd->entrySize = state->entrySize;
  cd->recLenFound = LoadU16(h + kHdrRecordLengthOfs) + IsiEorLength(h[kHdrFormatOfs]);
  // The new tree is addressed as the header it is written under says: the
  // header is carried over, byte 7 included. (For this program's own files
  // that is what the options give: record numbers unless v or s built it.)
  cd->recNumMode = (h[kHdrModeOfs] & kModeRecNum) ? 1 : 0;
  cd->keysPerNode = KeysPerNode(state->entrySize, cd->maxFillPct);
  cd->treeKeyLen = static_cast<int32_t>(keyLength);
  cd->keySpecLen = cd->keyLen = keyLength;
  cd->itemLen = keyLength + kItemKeyOfs;
  cd->itemsInMem = static_cast<uint32_t>(cd->sortMemSize / (cd->itemLen + 8)) - 1;
  cd->itemPtrArea =
      reinterpret_cast<uint8_t**>(cd->sortMem + ((cd->itemsInMem * cd->itemLen + 7) & ~7u));
  cd->lastSectorPos = cd->recNumMode ? kIsiDdrHeadPos / kIsiSector : kIsiDdrHeadPos;
  cd->topLevel = 0;
  cd->ddrChainPos = kIsiNoSector;
  cd->lastEntry = cd->lastEntryBuf;
  cd->dupMsgEnd = cd->msgBuf + keyLength + kDupLineLen;
  cd->trainCount = 0;
  cd->recCount = 0;
}

// A walk that stopped early: a damaged tree is refused with what is wrong
// with it; a sector inside the file that could not be read in full is a
// read failure of the input.
Status WalkFailure(const FhStRec* state, int32_t r) {
  if (r == kErrCorruptIsi) return r;
  if (r == kIsiCursorRead) return kErrInputRead;
  uint32_t at = state->walk.damagePos;
  switch (state->walk.damage) {
    case kIsiDamageCount:
      return CompactRefuseDamaged("ISI tree damaged: a key sector holds more entries than fit.\n");
    case kIsiDamagePlace:
    case kIsiDamagePastEnd:
      return CompactRefuseDamaged(
          "ISI tree damaged: a child position names no key sector of the file.\n");
    case kIsiDamageLevel:
      return CompactRefuseDamaged(
          "ISI tree damaged: key sector %u is not below the sector above it.\n", at);
    case kIsiDamageDepth:
      return CompactRefuseDamaged("ISI tree damaged: more than %u levels below the root.\n",
                                  kIsiPathDepth);
    case kIsiDamageTwice:
    case kIsiDamageNamedTwice:
    case kIsiDamageOrder:  // not met: the walk reads keys in any order, leaves at any level
    case kIsiDamageLeaf:
    case kIsiSound:
      break;
  }
  // A sector reached twice makes the walk give its entries again.
  return CompactRefuseDamaged("ISI tree damaged: it yields more entries than the file holds.\n");
}

Status ShowProgress(const char* format, uint32_t value) {
  snprintf(pCmdData->msgBuf, kMsgBufSize, format, value);
  if (CmdOutInfoStringCan(pCmdData->msgBuf) != 0) {
    CmdOutInfoString(operCancel);
    return kErrCanceled;
  }
  return kOk;
}

// Fills, sorts and saves sub-lists until the walk ends.
Status FillTrains(FhStRec* state) {
  CmdData* cd = pCmdData;
  for (;;) {
    int32_t r = CompactFillSubList(state);
    bool ended = (state->flags & kStWalkAtEnd) != 0;
    if (r != 0 && !ended) return WalkFailure(state, r);
    SortSubList();
    bool firstTrain = cd->trainCount == 0;
    if (SaveSortedSub() != 0) return kErrTempWrite;
    ++cd->trainCount;
    if (ended && firstTrain) return kOk;  // one sub-list: no progress line
    if (cd->trainCount >= cd->maxTrains) {
      CmdOutInfoString("\nToo many sort trains\n");
      return kErrTooMany;
    }
    Status s = ShowProgress("Sort train %u\r", cd->trainCount);
    if (s != kOk) return s;
    if (ended) {
      CmdOutInfoString("\n");
      return kOk;
    }
  }
}

// The walk enters each sector of the old file once: it keeps a mark for
// each while it fills the trains.
Status WalkIntoTrains(FhStRec* state) {
  uint64_t bytes = (pCmdData->compactIsiSize / kIsiSector + 63) / 64 * sizeof(uint64_t);
  state->walkSeen = bytes <= UINT32_MAX
                        ? static_cast<uint64_t*>(CmdMalloc(static_cast<uint32_t>(bytes)))
                        : nullptr;
  if (state->walkSeen == nullptr) {
    CmdOutInfoString("ISI buffer allocation failed.\n");
    return kErrMemory;
  }
  memset(state->walkSeen, 0, bytes);
  Status s = FillTrains(state);
  CmdFree(state->walkSeen);
  state->walkSeen = nullptr;
  return s;
}

Status CloseTrainFile() {
  CmdData* cd = pCmdData;
  cd->recCount = 0;  // the merge counts the records again
  uint8_t marker[kMaxItemLen];
  memset(marker, 0xFF, cd->itemLen);
  if (OutWrite(cd->failFd, marker, cd->itemLen) != 0 || OutFlush(cd->failFd) != 0) {
    return kErrTempWrite;
  }
  return kOk;
}

Status WriteFailed() {
  ShowIsiWriteFailure();
  pCmdData->failFd = pCmdData->outFd;
  return kErrIsiWrite;
}

// The old header (its stored line already updated) and the old root as a
// placeholder, which CompactIndex overwrites with the new root.
Status WriteFrontPlaceholder(FhStRec* state) {
  CmdData* cd = pCmdData;
  if (FhStWriteHeaderSector(state, cd->outFd) != 0) return WriteFailed();
  if (FhStWriteKeySector(state, cd->outFd, kIsiRootPos, state->root) != 0) return WriteFailed();
  return kOk;
}

// Nothing of the old tree may remain behind the DDR chain.
Status CutBehindDdrChain() {
  int fd = pCmdData->outFd;
  off_t pos = SysLseek(fd, 0, SEEK_CUR);
  if (pos < 0 || SysFtruncate(fd, pos) != 0) return WriteFailed();
  return kOk;
}

Status MergeIntoNewTree() {
  CmdData* cd = pCmdData;
  Status s = DoFancyMerge();
  if (s == kOk) return kOk;
  // The output routine's failures are failures of the new ISI; the merge's
  // own (work files) keep the file the merge named.
  if (s == -1 || s == kErrTreeLevels) cd->failFd = cd->outFd;
  return cd->outFd == cd->inFd ? kErrIsiWrite : s;
}

void ShowCounts() {
  CmdData* cd = pCmdData;
  cd->recCount += 1000 - cd->progressCountdown;
  const char* format = CmdBuildFormat("%%%su records, %%lu deleted entries\n");
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  CmdShowf(format, static_cast<unsigned long long>(cd->recCount),
           static_cast<unsigned long>(cd->deletedCount));
#pragma GCC diagnostic pop
}

}  // namespace

int32_t CompactFillSubList(FhStRec* state) {
  CmdData* cd = pCmdData;
  bool recNum = (state->flags & kStRecNum) != 0;
  uint8_t* item = cd->sortMem;
  for (uint32_t n = 0; n + 1 < cd->itemsInMem; ++n, item += cd->itemLen) {
    int32_t r = FhStNextEntry(state, cd->compactIsiSize);
    if (r != kIsiCursorOk) {
      if (state->flags & kStWalkAtEnd) memset(item, 0xFF, cd->itemLen);
      return r;
    }
    const uint8_t* e = IsiCurrent(&state->walk);
    uint16_t size = IsiEntryRecSize(e);
    if (recNum && size == 0) {
      return CompactRefuseDamaged("ISI tree damaged: an entry without record size.\n");
    }
    SetItemPosition(item, IsiRecordOffset(recNum, IsiEntryPos(e), size));
    SetItemLength(item, size);
    memcpy(item + kItemKeyOfs, IsiEntryKey(e), state->keyLength);
    ++cd->recCount;
  }
  memset(item, 0xFF, cd->itemLen);
  return 0;
}

Status CompactRebuildIsi(FhStRec* state) {
  CmdData* cd = pCmdData;
  bool inPlace = cd->outFd == cd->inFd;
  SetUpRebuild(state);
  if (AllocIsiBuffers() != 0) {
    CmdOutInfoString("ISI buffer allocation failed.\n");
    return kErrMemory;
  }
  Status s = CompactCheckDdrChain(state);
  if (s == kOk) s = WalkIntoTrains(state);
  if (s == kOk) s = CloseTrainFile();
  if (s == kOk && !inPlace && (cd->compactFlags & 2) == 0) {
    s = CompactRewriteStoredLine(reinterpret_cast<char*>(state->header + kHdrCmdLineOfs),
                                 kStoredLineSize, cd->storedCmdLine);
  }
  if (s == kOk && inPlace) s = CompactSaveIsi();
  if (s == kOk) s = WriteFrontPlaceholder(state);
  if (s == kOk) s = CompactWriteDdrChain(state);
  if (s == kOk) s = CutBehindDdrChain();
  if (s == kOk) s = MergeIntoNewTree();
  if (s == kOk) ShowCounts();
  return s;
}
