// FaultEnv: the tests' Env. It passes every call on to another Env (the
// operating system) and can make one chosen call fail (an errno, or a
// transfer of half the bytes asked for) or every call from it on (a full
// disk); it counts the calls it watches, names the call it made fail, and
// counts the blocks allocated and not yet released.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

#include "core/env.h"

namespace kt {

// Classes of calls a fault plan counts.
enum : uint32_t {
  kFaultOpen = 1u << 0,   // openFile, makeTemp
  kFaultRead = 1u << 1,   // read, pread, preadv
  kFaultWrite = 1u << 2,  // write
  kFaultSeek = 1u << 3,   // seek
  kFaultMeta = 1u << 4,   // close, truncate, sync, syncData, startWriteback, syncDirectory,
                         // statPath, statFile, unlink, rename, chmod, changeOwner
  kFaultLock = 1u << 5,    // lock
  kFaultMemory = 1u << 6,  // mapMemory
  kFaultIo = 0x7f,         // all of the above
  kFaultAlloc = 1u << 7,   // allocate
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

// An Env itself: hand its address wherever an Env goes. Calls from one
// thread at a time.
class FaultEnv : public kel::Env {
 public:
  explicit FaultEnv(const kel::Env* base = kel::PosixEnv());

  // Installs a plan and restarts the count; a default plan fails nothing.
  void SetPlan(const FaultPlan& plan);
  // Counted calls since the plan was installed.
  uint64_t Calls() const { return calls_; }
  // True once the plan has made a call fail.
  bool Fired() const { return !firedCall_.empty(); }
  // The first call the plan made fail, as "write(path)" (the file a
  // descriptor is open on, where the system tells) or "mmap".
  const std::string& FiredCall() const { return firedCall_; }
  // Blocks allocated and not yet released.
  int64_t LiveAllocations() const { return live_; }

 private:
  enum class Hit { kNone, kFail, kShort };
  // The FaultEnv a call came through.
  static FaultEnv* Self(const kel::Env* env);
  // Counts a call of class `cls`, named `call`, on `path` or on the
  // descriptor `fd`; sets errno when the call is to fail.
  Hit Inject(uint32_t cls, const char* call, const char* path, int fd = -1);
  // The call through `member` of the base Env with `args`, counted as
  // Inject counts it; `failed` when the plan makes it fail.
  template <typename R, typename... P>
  R Pass(R (*kel::Env::*member)(const kel::Env*, P...), uint32_t cls, const char* call,
         const char* path, int fd, std::type_identity_t<R> failed,
         std::type_identity_t<P>... args) {
    if (Inject(cls, call, path, fd) != Hit::kNone) return failed;
    return (base_->*member)(base_, args...);
  }

  const kel::Env* base_;
  FaultPlan plan_;
  uint64_t calls_ = 0;
  std::string firedCall_;
  int64_t live_ = 0;
};

}  // namespace kt
