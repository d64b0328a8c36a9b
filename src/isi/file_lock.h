// Advisory locks on a data file shared with other programs: the whole-file
// lock byte and the two-byte ISI lock.
#pragma once

#include <fcntl.h>

#include <cstdint>

constexpr uint64_t kWholeFileLockPos = 0x7FFFFFFFFFFFFFFFull;
constexpr uint64_t kIsiLockPos = 0x7FFFFFFFFFFFFFFDull;
constexpr uint64_t kFhIsiLocked = 0x800;

struct FhRec {
  int32_t fd;      // 0 = not open
  uint64_t state;  // kFhIsiLocked
  uint64_t fileSize;
  uint64_t isiLockPos;
  uint64_t lockBase;
  uint64_t lockBound1;  // 0x7FFFFFFFFFFFFFFD
  uint64_t lockBound2;  // 0x7FFFFFFFFFFFFFFE
  uint64_t lockPos2;    // 0
};

// The fcntl description of a lock of `type` (F_RDLCK, F_WRLCK, F_UNLCK) on
// `length` bytes from `start`.
struct flock LockRegion(short type, uint64_t start, uint64_t length);

int32_t LockFHe(FhRec* rec, int command, int64_t offset, int whence);
int32_t LockFHs(FhRec* rec, int command, int64_t offset, int whence);
int32_t Enqueue(FhRec* rec, uint64_t position, int exclusive);
int32_t LockIsiWaitLoop(FhRec* rec, int exclusive);
int32_t FhStLockIsi(FhRec* rec, int exclusive);
int32_t UnLockOneRecord(FhRec* rec, uint64_t position, uint64_t length);
int32_t FhStUnLockIsi(FhRec* rec);
