// The advisory locks by which the programs that share an index and its data
// file keep out of each other's way: compaction, the reader library's
// shared mode, and programs that update an index in place. The locks lie
// on the data file, far beyond any data it can hold:
//   - the whole-file lock byte at the largest offset: shared by every
//     program that works on the data file, exclusive for one that must have
//     it alone (compaction in exclusive mode); it goes with the descriptor;
//   - the two-byte ISI lock just below it: shared around every read of the
//     index, exclusive while a program rewrites the index (an in-place
//     compaction, an update in place), which then changes the header's spin
//     counter before it lets go, so that readers holding the old header know
//     to read it again.
// The calls themselves go through the I/O layer of the program or library
// that takes the locks (IsiLockCalls): a plain function and its context, so
// that the program needs no C++ run-time support for them.
#pragma once

#include <cstdint>

#include "core/env.h"

constexpr uint64_t kWholeFileLockPos = 0x7FFFFFFFFFFFFFFFull;
constexpr uint64_t kIsiLockPos = 0x7FFFFFFFFFFFFFFDull;
constexpr uint64_t kIsiLockLen = 2;

// Sets or releases (F_UNLCK) the record lock of `len` bytes at `start` of
// `fd` through `env`; `wait` blocks while another process holds a
// conflicting one. With `ofDescription` the lock belongs to the open file
// description where the system has such locks (it then stays when the
// process closes another descriptor of the same file), else to the
// process. 0, or the errno of the failure (EINTR for an interrupted wait).
int IsiSetRecordLock(const kel::Env* env, int fd, short type, uint64_t start, uint64_t len,
                     bool wait, bool ofDescription);

struct IsiLockCalls {
  // Sets (F_RDLCK, F_WRLCK) or releases (F_UNLCK) the advisory lock of
  // `len` bytes at `start` of the data file; `wait` blocks while another
  // process holds a conflicting lock. 0, or the errno of the failure.
  int (*setLock)(void* context, short type, uint64_t start, uint64_t len, bool wait);
  void* context;
};

enum IsiLockResult {
  kIsiLockHeld,     // also on a file system that keeps no record locks (EINVAL)
  kIsiLockRefused,  // another process holds a conflicting lock, or locks ran out
  kIsiLockFailed,
};

// The whole-file lock, shared or exclusive. Without `wait` it is refused at
// once while another process holds a conflicting one.
IsiLockResult IsiLockDataFile(const IsiLockCalls& calls, bool exclusive, bool wait);
// The ISI lock. By default (waitMs < 0) waited for as long as another
// process holds a conflicting one: a wait that fails (an interruption, a
// deadlock report) is tried again after 100 microseconds, and one that
// keeps failing gives up after kIsiLockRetries tries with kIsiLockFailed.
// With waitMs ≥ 0 it is asked for every millisecond until it is granted or
// waitMs milliseconds have passed (kIsiLockRefused; 0: asked for once).
constexpr int kIsiLockRetries = 600;
IsiLockResult IsiLockIndex(const IsiLockCalls& calls, bool exclusive, int waitMs = -1);
// Releases the ISI lock; false when the call failed.
bool IsiUnlockIndex(const IsiLockCalls& calls);

// The spin counter a rewrite of the index leaves in its header: another
// value than the one a reader holds. A compaction toggles it (1 after 0,
// else 0), as the format's own program does; a change in place counts it
// up, wrapping, so that a reader that missed several changes (which may
// keep the file's size) still finds another value. A reader also compares
// the file's size and time, which tell it of two toggles it missed.
inline uint32_t IsiNextSpin(uint32_t spin, bool compaction) {
  return compaction ? (spin == 0 ? 1 : 0) : spin + 1;
}
// The spin counter from the bytes at its place in the header, as a file
// of the native or (swapped) the other byte order holds them. A program
// that holds the header reads the front again when it differs from its copy.
uint32_t IsiStoredSpin(const uint8_t* field, bool swapped);
