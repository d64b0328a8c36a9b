// FaultEnv: the tests' Env. It passes every call on to the operating system
// and can make one chosen call fail (an errno, or a transfer of half the
// bytes asked for) or every call from it on (a full disk), counts the calls
// it watches, names the call it made fail, and counts the blocks allocated
// and not yet freed.
#pragma once

#include <cstdint>
#include <string>

#include "env/env.h"

namespace kt {

// Classes of calls a fault plan counts.
enum : uint32_t {
  kFaultOpen = 1u << 0,    // OpenFile, Mkstemp
  kFaultRead = 1u << 1,    // Read, Pread, Preadv
  kFaultWrite = 1u << 2,   // Write
  kFaultSeek = 1u << 3,    // Lseek
  kFaultMeta = 1u << 4,    // Close, Ftruncate, Fsync, FsyncDirectory, Stat, Fstat, Unlink,
                           // Rename, Chmod
  kFaultLock = 1u << 5,    // Lock
  kFaultMemory = 1u << 6,  // MapMemory
  kFaultIo = 0x7f,         // all of the above
  kFaultAlloc = 1u << 7,   // Malloc
};

struct FaultPlan {
  uint32_t classes = 0;  // which calls are counted
  uint64_t failAt = 0;   // the counted call that fails, 1-based; 0 = none (calls are counted)
  int err = 0;           // errno of the failing call (0: EIO, or ENOSPC after a short write)
  bool shortIo = false;  // a read or write transfers half its bytes instead of failing
  bool sticky = false;   // every counted call after failAt fails too
};

// Reads a plan from text of the form "N:classes:what[:sticky]", where
// classes is a set of the letters o r w s m l M (open, read, write, seek,
// meta, lock, memory), a (all of these) and A (allocations), and what is an
// errno name (ENOSPC, EIO, EACCES, ENOMEM, EINTR) or "short". False for
// text that is not such a plan.
bool ParseFaultPlan(const char* text, FaultPlan* plan);

// Calls from one thread at a time.
class FaultEnv final : public kel::Env {
 public:
  explicit FaultEnv(kel::Env* base = kel::PosixEnv()) : base_(base) {}

  // Installs a plan and restarts the count; a default plan fails nothing.
  void SetPlan(const FaultPlan& plan);
  // Counted calls since the plan was installed.
  uint64_t Calls() const { return calls_; }
  // True once the plan has made a call fail.
  bool Fired() const { return !firedCall_.empty(); }
  // The first call the plan made fail, as "write(path)" (the file a
  // descriptor is open on, where the system tells) or "mmap".
  const std::string& FiredCall() const { return firedCall_; }
  // Blocks from Malloc not yet given to Free.
  int64_t LiveAllocations() const { return live_; }

  int OpenFile(const char* path, int flags, mode_t mode) override;
  int Mkstemp(char* pathTemplate) override;
  ssize_t Read(int fd, void* buf, size_t len) override;
  ssize_t Pread(int fd, void* buf, size_t len, uint64_t offset) override;
  ssize_t Preadv(int fd, const struct iovec* iov, int count, uint64_t offset) override;
  ssize_t Write(int fd, const void* buf, size_t len) override;
  off_t Lseek(int fd, off_t offset, int whence) override;
  int Ftruncate(int fd, off_t length) override;
  int Fsync(int fd) override;
  int FsyncDirectory(const char* path) override;
  int Close(int fd) override;
  int Stat(const char* path, struct stat* st) override;
  int Fstat(int fd, struct stat* st) override;
  int Unlink(const char* path) override;
  int Rename(const char* from, const char* to) override;
  int Chmod(const char* path, mode_t mode) override;
  int Lock(int fd, int command, struct flock* lock) override;
  void* Malloc(size_t size) override;
  void Free(void* block) override;
  void* MapMemory(size_t len) override;
  void UnmapMemory(void* addr, size_t len) override;

 private:
  enum class Hit { kNone, kFail, kShort };
  // Counts a call of class `cls`, named `call`, on `path` or on the
  // descriptor `fd`; sets errno when the call is to fail.
  Hit Inject(uint32_t cls, const char* call, const char* path, int fd = -1);

  kel::Env* base_;
  FaultPlan plan_;
  uint64_t calls_ = 0;
  std::string firedCall_;
  int64_t live_ = 0;
};

}  // namespace kt
