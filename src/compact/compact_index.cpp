// Compaction of an existing ISI: the entry CompactIndex, which checks the
// file, locks its data file, has the rebuild write the new front, DDR chain
// and tree, completes the tree and rewrites the header.
#include "compact/compact.h"

#include <unistd.h>

#include <cstring>

#include "compact/data_lock.h"
#include "compact/front.h"
#include "compact/rebuild.h"
#include "core/byte_order.h"
#include "core/isi_format.h"
#include "core/lock_protocol.h"
#include "driver/cleanup.h"
#include "driver/cmd_data.h"
#include "driver/messages.h"
#include "driver/sys_io.h"
#include "isi/tree_build.h"
#include "sort/out_buffer.h"

namespace {

FhStRec* NewState() {
  FhStRec* state = static_cast<FhStRec*>(CmdMalloc(sizeof(FhStRec)));
  if (state == nullptr) return nullptr;
  memset(state, 0, sizeof *state);
  FhStInitRec(state);
  state->flags |= kStWalkFromFirst;
  state->fd = pCmdData->inFd;
  return state;
}

// The header's data file name (256 bytes, NUL-padded, possibly without a
// terminator) into dataName.
void TakeDataName(const FhStRec* state) {
  CmdData* cd = pCmdData;
  const char* field = reinterpret_cast<const char*>(state->header + kHdrDataNameOfs);
  size_t len = strnlen(field, kHdrDataNameSize);
  memcpy(cd->dataName, field, len);
  cd->dataName[len] = '\0';
}

Status WriteFailed() {
  ShowIsiWriteFailure();
  pCmdData->failFd = pCmdData->outFd;
  return kErrIsiWrite;
}

// Writes the pending sectors of the levels below the top, bottom up, each
// with the sector written last below it as its rightmost child; then the
// top level's sector at 1024, where it becomes the root. A level whose
// pending sector is empty is skipped and its child passes upwards.
Status CompleteTree() {
  CmdData* cd = pCmdData;
  uint32_t prev = 0;
  for (cd->treeLevel = 0; cd->treeLevel < cd->topLevel; ++cd->treeLevel) {
    uint8_t* trailer = cd->levelTrailer[cd->treeLevel];
    StoreU32(trailer + kTrailerRightOfs, prev);
    if (trailer[kTrailerCountOfs] != 0) {
      int64_t pos = WriteLevelSector();
      if (pos < 0) return WriteFailed();
      prev = static_cast<uint32_t>(pos);
    }
  }
  if (OutFlush(cd->outFd) != 0) return WriteFailed();
  if (SysLseek(cd->outFd, kIsiRootPos, SEEK_SET) != static_cast<off_t>(kIsiRootPos)) {
    cd->failFd = cd->outFd;
    return kErrIsiWrite;
  }
  StoreU32(cd->levelTrailer[cd->topLevel] + kTrailerRightOfs, prev);
  if (WriteLevelSector() < 0 || OutFlush(cd->outFd) != 0) return WriteFailed();
  return kOk;
}

// The old header with the spin counter changed, so that programs holding
// the header in memory know to read it again. In place, the finished file
// is made durable before the driver deletes the backup.
Status WriteNewHeader(FhStRec* state) {
  CmdData* cd = pCmdData;
  uint8_t* h = state->header;
  StoreU32(h + kHdrSpinOfs, IsiNextSpin(LoadU32(h + kHdrSpinOfs), true));
  StoreU32(h + kHdrReserved36Ofs, 0);
  StoreU32(h + kHdrReserved24Ofs, kIsiNoSector);
  if (FhStWriteHeaderSector(state, cd->outFd) != 0) return WriteFailed();
  if (cd->outFd == cd->inFd && SysFsync(cd->outFd) != 0) return WriteFailed();
  return kOk;
}

Status Compact(FhStRec* state) {
  Status s = CompactLoadFront(state);
  if (s != kOk) return s;
  TakeDataName(state);
  s = CompactLockDataFile(LoadU32(state->header + kHdrRecordCountOfs));
  if (s != kOk) return s;
  s = CompactCheckSpinIsi(state);
  if (s != kOk) {
    CmdOutInfoString("Unable to access ISI spin counter!\n");
    return s;
  }
  s = CompactRebuildIsi(state);
  if (s == kOk) s = CompleteTree();
  if (s == kOk) s = WriteNewHeader(state);
  return s;
}

}  // namespace

Status CompactIndex() {
  CmdData* cd = pCmdData;
  FhStRec* state = NewState();
  if (state == nullptr) return kErrRecSizeMax;
  cd->compactIsi = state;
  Status s = Compact(state);
  CmdFree(state);
  cd->compactIsi = nullptr;
  return s;
}

// Another program may have rewritten the index between the first read of
// its front and the taking of the locks; if so, the front is read again.
Status CompactCheckSpinIsi(FhStRec* state) {
  uint8_t stored[sizeof(uint32_t)];
  if (SysLseek(state->fd, kHdrSpinOfs, SEEK_SET) != static_cast<off_t>(kHdrSpinOfs) ||
      SysRead(state->fd, stored, sizeof stored) != static_cast<ssize_t>(sizeof stored)) {
    return kErrNotIsi;
  }
  uint32_t spin = IsiStoredSpin(stored, (state->flags & kStSwapped) != 0);
  if (spin == LoadU32(state->header + kHdrSpinOfs)) return kOk;
  return CompactLoadFront(state);
}
