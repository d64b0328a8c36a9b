// The index build from start to end: the tree geometry and the reserved
// front of the new ISI, the sort that feeds the tree, then the partly filled
// sectors of every level, the root at 1024, the head DDR sector at 1536, the
// header and the closing reports.
//
// Sectors behind the front are written strictly in sequence (full DDR
// sectors during the scan, unbuffered; key sectors during the merge, through
// the output buffer), so their positions are counted in lastSectorPos and
// never asked of the file.
#include "isi/tree_build.h"

#include <cstring>

#include "core/byte_order.h"
#include "core/isi_format.h"
#include "core/isi_xlat.h"
#include "driver/cmd_data.h"
#include "driver/messages.h"
#include "driver/sys_io.h"
#include "isi/sector_io.h"
#include "sort/merge.h"
#include "sort/out_buffer.h"

namespace {

// A failed write, flush or seek of the ISI: the driver names outFd's file.
Status IsiWriteFailed(bool showMessage) {
  if (showMessage) ShowIsiWriteFailure();
  pCmdData->failFd = pCmdData->outFd;
  return kErrIsiWrite;
}

// Writes the pending sector of every level below the top, bottom-up, each
// pointing at the last sector written below it; an empty level passes that
// pointer on. Leaves the pointer for the root in *prev.
Status CloseLowerLevels(uint32_t* prev) {
  CmdData* cd = pCmdData;
  *prev = 0;
  for (cd->treeLevel = 0; cd->treeLevel < cd->topLevel; ++cd->treeLevel) {
    uint8_t* trailer = cd->levelTrailer[cd->treeLevel];
    StoreU32(trailer + kTrailerRightOfs, *prev);
    if (trailer[kTrailerCountOfs] == 0) continue;
    int64_t position = WriteLevelSector();
    if (position < 0) return IsiWriteFailed(false);  // WriteLevelSector showed the message
    *prev = static_cast<uint32_t>(position);
  }
  return kOk;
}

// The top level's sector becomes the root at 1024.
Status WriteRoot(uint32_t prev) {
  CmdData* cd = pCmdData;
  if (OutFlush(cd->outFd) != 0) return IsiWriteFailed(true);
  if (SysLseek(cd->outFd, kIsiRootPos, SEEK_SET) < 0) return IsiWriteFailed(false);
  cd->treeLevel = cd->topLevel;
  StoreU32(cd->levelTrailer[cd->topLevel] + kTrailerRightOfs, prev);
  if (WriteLevelSector() < 0) return IsiWriteFailed(false);
  return kOk;
}

// The partly filled DDR sector becomes the head of the chain at 1536,
// written right behind the root.
Status WriteHeadDdrSector() {
  CmdData* cd = pCmdData;
  if (LoadU16(cd->ddrTrailer + kDdrTrailerCountOfs) != 0) {
    cd->ddrTrailer[kDdrTrailerMark1Ofs] = kIsiDdrMark1;
    cd->ddrTrailer[kDdrTrailerMark2Ofs] = kIsiDdrMark2;
    StoreU32(cd->ddrTrailer + kDdrTrailerLinkOfs, cd->ddrChainPos);
    cd->ddrChainPos = cd->recNumMode ? kIsiDdrHeadPos / kIsiSector : kIsiDdrHeadPos;
    if (OutWrite(cd->outFd, cd->ddrSector, kIsiSector) != 0) return IsiWriteFailed(true);
  }
  if (OutFlush(cd->outFd) != 0) return IsiWriteFailed(true);
  return kOk;
}

Status WriteHeader() {
  CmdData* cd = pCmdData;
  Status s = IsiBuildHeader(cd->isiBlock);
  if (s != kOk) return s;
  if (SysLseek(cd->outFd, 0, SEEK_SET) < 0) return IsiWriteFailed(false);
  if (SysWrite(cd->outFd, cd->isiBlock, kIsiHeaderSize) != static_cast<ssize_t>(kIsiHeaderSize)) {
    return IsiWriteFailed(true);
  }
  return kOk;
}

}  // namespace

Status IsiBuildBegin(int32_t keyLength, int32_t entrySize) {
  CmdData* cd = pCmdData;
  if (keyLength < 1 || !IsiKeyLengthValid(static_cast<uint32_t>(keyLength)) ||
      static_cast<uint32_t>(entrySize) != IsiEntrySize(static_cast<uint32_t>(keyLength))) {
    CmdShowf("Key length %d with entry size %d does not fit an ISI key sector.\n", keyLength,
             entrySize);
    return kErrKeyTooLarge;
  }
  cd->topLevel = 0;
  cd->treeLevel = 0;
  cd->ddrChainPos = kIsiNoSector;
  cd->lastEntry = cd->lastEntryBuf;
  cd->treeKeyLen = keyLength;
  cd->entrySize = entrySize;
  cd->keysPerNode = KeysPerNode(static_cast<uint32_t>(entrySize), cd->maxFillPct);
  if (AllocIsiBuffers() != 0) {
    CmdShowf("ISI buffer allocation failed.\n");
    return kErrMemory;
  }
  // The header, the root and the head DDR sector are written last, in place;
  // until then the front is zero (the buffer block is not: its level sectors
  // carry their level numbers, and a front without head DDR sector must keep
  // those bytes zero).
  static const uint8_t kZeroFront[kIsiFrontSize] = {};
  if (SysWrite(cd->outFd, kZeroFront, kIsiFrontSize) != static_cast<ssize_t>(kIsiFrontSize)) {
    return IsiWriteFailed(true);
  }
  cd->dupMsgEnd = cd->msgBuf + keyLength + (cd->dupIgnore ? kDupIgnoredLineLen : kDupLineLen);
  cd->lastSectorPos = cd->recNumMode ? kIsiDdrHeadPos / kIsiSector : kIsiDdrHeadPos;
  return kOk;
}

Status IsiBuildFinish() {
  CmdData* cd = pCmdData;
  if (cd->topLevel < 0 || cd->topLevel >= kMaxTreeLevels) return kErrTreeLevels;
  uint32_t prev = 0;
  Status s = CloseLowerLevels(&prev);
  if (s == kOk) s = WriteRoot(prev);
  if (s == kOk) s = WriteHeadDdrSector();
  if (s == kOk) s = WriteHeader();
  if (s != kOk) return s;
  IsiShowDataReports();
  return kOk;
}

Status indexMain(int32_t keyLength, int32_t entrySize) {
  Status s = IsiBuildBegin(keyLength, entrySize);
  if (s != kOk) return s;
  s = SortMain();
  if (s != kOk) return s;
  return IsiBuildFinish();
}

int64_t WriteLevelSector() {
  CmdData* cd = pCmdData;
  uint8_t* sector = cd->levelSector[cd->treeLevel];
  const uint8_t* out = sector;
  uint8_t copy[kIsiSector];
  if (cd->isiSwapOut) {
    // The tree in memory stays native; only what reaches the file is turned.
    memcpy(copy, sector, sizeof copy);
    uint32_t entrySize = cd->compactIsi != nullptr ? cd->compactIsi->entrySize
                                                   : static_cast<uint32_t>(cd->entrySize);
    IsiXlatKeySector(copy, entrySize);
    out = copy;
  }
  if (OutWrite(cd->outFd, out, kIsiSector) != 0) {
    ShowIsiWriteFailure();
    cd->failFd = cd->outFd;
    return -2;
  }
  cd->levelTrailer[cd->treeLevel][kTrailerCountOfs] = 0;
  cd->lastSectorPos += cd->recNumMode ? 1 : kIsiSector;
  return static_cast<int64_t>(cd->lastSectorPos);
}

void IsiShowDataReports() {
  const CmdData* cd = pCmdData;
  if (cd->dupKeptCount != 0) {
    CmdShowf("Data file has %u duplicate key entries.\n", cd->dupKeptCount);
  }
  if (cd->varLenFound) {
    if (cd->spaceCompFound) {
      CmdOutInfoString("Data file has variable length records and space compression.\n");
    } else if (cd->posInvalidFound && !cd->allowVarLen) {
      CmdOutInfoString(
          "Data file record encountered with position invalid for fixed length records.\n");
    } else {
      CmdOutInfoString("Data file has variable length records.\n");
    }
    if (cd->longRecFound) CmdOutInfoString("Record longer than maximum record length was found.\n");
  } else if (cd->spaceCompFound) {
    CmdOutInfoString("Data file has space compression.\n");
  }
}

uint32_t KeysPerNode(uint32_t entrySize, uint32_t maxFillPct) {
  return IsiEntriesPerSector(entrySize) * maxFillPct / 100;
}
