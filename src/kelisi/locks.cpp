// locks: shared mode. The handle holds a shared lock on the data file's
// whole-file lock byte for its life; every call that reads the index holds
// the shared two-byte ISI lock below it, which an in-place compaction takes
// exclusively while it rewrites the file, and checks the header's spin
// counter, which every rewrite changes.
#include <fcntl.h>

#include "isi/byte_order.h"
#include "kelisi/kelisi_internal.h"

namespace kisi {

namespace {

constexpr uint64_t kWholeFileByte = 0x7FFFFFFFFFFFFFFFull;
constexpr uint64_t kIsiLockStart = 0x7FFFFFFFFFFFFFFDull;
constexpr uint64_t kIsiLockLen = 2;
constexpr uint64_t kSpinOfs = 32;

// A file system without record locks shares nothing through them; the
// program takes that as success, and so does the library.
int LockResult(int err) {
  return err == 0 || err == EINVAL ? KELISI_OK : KELISI_E_LOCK;
}

int ReadSpin(kelisi* ix, uint32_t* spin) {
  uint8_t raw[4];
  size_t got = 0;
  if (!IoPread(ix->io, ix->isiFd, raw, sizeof raw, kSpinOfs, &got)) return KELISI_E_READ;
  if (got != sizeof raw) return KELISI_E_NOT_ISI;
  *spin = LoadU32(raw);
  if (ix->swapped) *spin = __builtin_bswap32(*spin);
  return KELISI_OK;
}

}  // namespace

int LockDataFile(kelisi* ix) {
  return LockResult(IoLock(ix->io, ix->dataFd, F_RDLCK, kWholeFileByte, 1, true));
}

CallScope::CallScope(kelisi* ix) : ix_(ix) {
  if ((ix->flags & KELISI_SHARED) == 0) return;
  status_ = LockResult(IoLock(ix->io, ix->dataFd, F_RDLCK, kIsiLockStart, kIsiLockLen, true));
  if (status_ != KELISI_OK) return;
  locked_ = true;
  uint32_t spin = 0;
  status_ = ReadSpin(ix, &spin);
  if (status_ == KELISI_OK && (ix->stale || spin != ix->hdr.spin)) status_ = LoadFront(ix);
}

CallScope::~CallScope() {
  if (locked_) IoLock(ix_->io, ix_->dataFd, F_UNLCK, kIsiLockStart, kIsiLockLen, false);
}

}  // namespace kisi
