// locks: shared mode, by the lock protocol of isi/lock_protocol. The handle
// holds the shared whole-file lock of the data file for its life; every
// call that reads the index holds the shared ISI lock, which a program
// rewriting the index takes exclusively, and checks the header's spin
// counter, which every rewrite changes.
#include <fcntl.h>

#include "isi/byte_order.h"
#include "isi/lock_protocol.h"
#include "kelisi/kelisi_internal.h"

namespace kisi {

namespace {

class HandleLocks final : public IsiLockCalls {
 public:
  explicit HandleLocks(kelisi* ix) : ix_(ix) {}
  int SetLock(short type, uint64_t start, uint64_t len, bool wait) override {
    return IoLock(ix_->io, ix_->dataFd, type, start, len, wait);
  }

 private:
  kelisi* ix_;
};

int ReadSpin(kelisi* ix, uint32_t* spin) {
  uint8_t raw[sizeof *spin];
  size_t got = 0;
  if (!IoPread(ix->io, ix->isiFd, raw, sizeof raw, kHdrSpinOfs, &got)) return KELISI_E_READ;
  if (got != sizeof raw) return KELISI_E_NOT_ISI;
  *spin = IsiStoredSpin(raw, ix->swapped);
  return KELISI_OK;
}

}  // namespace

int LockDataFile(kelisi* ix) {
  HandleLocks locks(ix);
  return IsiLockDataFile(locks, false, true) == kIsiLockHeld ? KELISI_OK : KELISI_E_LOCK;
}

CallScope::CallScope(kelisi* ix) : ix_(ix) {
  if ((ix->flags & KELISI_SHARED) == 0) return;
  HandleLocks locks(ix);
  if (IsiLockIndex(locks, false) != kIsiLockHeld) {
    status_ = KELISI_E_LOCK;
    return;
  }
  locked_ = true;
  uint32_t spin = 0;
  status_ = ReadSpin(ix, &spin);
  if (status_ == KELISI_OK && (ix->stale || spin != ix->hdr.spin)) status_ = LoadFront(ix);
}

CallScope::~CallScope() {
  if (!locked_) return;
  HandleLocks locks(ix_);
  IsiUnlockIndex(locks);
}

}  // namespace kisi
