// locks: shared mode, by the lock protocol of core/lock_protocol. The handle
// holds the shared whole-file lock of the data file for its life; every
// call that reads the index holds the shared ISI lock, which a program
// rewriting the index takes exclusively, and checks the header's spin
// counter, which every rewrite changes.
#include <fcntl.h>

#include "core/byte_order.h"
#include "core/lock_protocol.h"
#include "kelisi/kelisi_internal.h"

namespace kisi {

namespace {

int SetHandleLock(void* context, short type, uint64_t start, uint64_t len, bool wait) {
  kelisi* ix = static_cast<kelisi*>(context);
  return IoLock(ix->io, ix->dataFd, type, start, len, wait);
}

IsiLockCalls HandleLocks(kelisi* ix) {
  return {SetHandleLock, ix};
}

int ReadSpin(kelisi* ix, uint32_t* spin) {
  uint8_t raw[sizeof *spin];
  size_t got = 0;
  if (!IoPread(ix->io, ix->isiFd, raw, sizeof raw, kHdrSpinOfs, &got)) return KELISI_E_READ;
  if (got != sizeof raw) return KELISI_E_NOT_ISI;
  *spin = IsiStoredSpin(raw, ix->swapped);
  return KELISI_OK;
}

}  // namespace

IsiLockCalls IndexLockCalls(kelisi* ix) {
  return HandleLocks(ix);
}

int LockDataFile(kelisi* ix) {
  IsiLockCalls locks = HandleLocks(ix);
  return IsiLockDataFile(locks, false, true) == kIsiLockHeld ? KELISI_OK : KELISI_E_LOCK;
}

CallScope::CallScope(kelisi* ix) : ix_(ix) {
  // A change open on the handle holds the exclusive ISI lock already; a
  // shared request on the same descriptor would turn it into a shared one.
  if ((ix->flags & KELISI_SHARED) == 0 || ix->txn != nullptr) return;
  IsiLockCalls locks = HandleLocks(ix);
  if (IsiLockIndex(locks, false) != kIsiLockHeld) {
    status_ = KELISI_E_LOCK;
    return;
  }
  locked_ = true;
  uint32_t spin = 0;
  status_ = ReadSpin(ix, &spin);
  bool changed = ix->stale || spin != ix->hdr.spin;
  // A file too short for its spin counter was cut short: rewritten, or
  // being built anew. The front read again says which.
  if (status_ == KELISI_E_NOT_ISI) status_ = KELISI_OK, changed = true;
  // A compaction toggles the spin counter: a reader that missed two of them
  // sees its old value, but not the file's old size and modification time.
  uint64_t size = 0;
  int64_t when = 0;
  if (status_ == KELISI_OK && !changed && IoFileStamp(ix->io, ix->isiFd, &size, &when)) {
    changed = size != ix->fileSize || when != ix->fileChanged;
  }
  if (status_ == KELISI_OK && changed) status_ = LoadFront(ix);
}

CallScope::~CallScope() {
  if (!locked_) return;
  IsiLockCalls locks = HandleLocks(ix_);
  IsiUnlockIndex(locks);
}

}  // namespace kisi
