// The lock protocol shared by the programs that work on one index (see
// lock_protocol.h).
#include "core/lock_protocol.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "core/byte_order.h"

namespace {

constexpr useconds_t kRetryMicros = 100;
constexpr useconds_t kPollMicros = 1000;

// A file system without record locks shares nothing through them: the
// file is then simply not protected, and every lock counts as held.
IsiLockResult Result(int err) {
  switch (err) {
    case 0:
    case EINVAL:
      return kIsiLockHeld;
    case EACCES:
    case EAGAIN:
    case EDEADLK:
    case ENOLCK:
      return kIsiLockRefused;
    default:
      return kIsiLockFailed;
  }
}

}  // namespace

int IsiSetRecordLock(const kel::Env* env, int fd, short type, uint64_t start, uint64_t len,
                     bool wait, bool ofDescription) {
  struct flock fl = {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(start);
  fl.l_len = static_cast<off_t>(len);
  int classic = wait ? F_SETLKW : F_SETLK;
  int cmd = classic;
#ifdef F_OFD_SETLKW
  // A kernel that does not know them refuses with EINVAL: it gets the
  // classic ones.
  if (ofDescription) cmd = wait ? F_OFD_SETLKW : F_OFD_SETLK;
#endif
  for (;;) {
    if (env->lock(env, fd, cmd, &fl) == 0) return 0;
    if (errno != EINVAL || cmd == classic) return errno;
    cmd = classic;
  }
}

IsiLockResult IsiLockDataFile(const IsiLockCalls& calls, bool exclusive, bool wait) {
  return Result(
      calls.setLock(calls.context, exclusive ? F_WRLCK : F_RDLCK, kWholeFileLockPos, 1, wait));
}

IsiLockResult IsiLockIndex(const IsiLockCalls& calls, bool exclusive, int waitMs) {
  const short type = exclusive ? F_WRLCK : F_RDLCK;
  for (int waited = 0; waitMs >= 0; ++waited) {
    IsiLockResult r = Result(calls.setLock(calls.context, type, kIsiLockPos, kIsiLockLen, false));
    if (r != kIsiLockRefused || waited >= waitMs) return r;
    usleep(kPollMicros);
  }
  for (int tries = 1;; ++tries) {
    int err =
        calls.setLock(calls.context, exclusive ? F_WRLCK : F_RDLCK, kIsiLockPos, kIsiLockLen, true);
    if (Result(err) == kIsiLockHeld) return kIsiLockHeld;
    if (tries >= kIsiLockRetries) return kIsiLockFailed;
    usleep(kRetryMicros);
  }
}

uint32_t IsiStoredSpin(const uint8_t* field, bool swapped) {
  uint32_t spin = LoadU32(field);
  return swapped ? __builtin_bswap32(spin) : spin;
}

bool IsiUnlockIndex(const IsiLockCalls& calls) {
  return Result(calls.setLock(calls.context, F_UNLCK, kIsiLockPos, kIsiLockLen, false)) ==
         kIsiLockHeld;
}
