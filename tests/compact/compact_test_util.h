// Helpers of the compaction tests: capturing the messages of a run, and
// other processes that hold locks on a file.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace ct {

// Points msgOut of the run context at a memory stream for its lifetime.
class MessageCapture {
 public:
  MessageCapture();
  ~MessageCapture();
  MessageCapture(const MessageCapture&) = delete;
  MessageCapture& operator=(const MessageCapture&) = delete;
  // Everything shown so far.
  std::string text();

 private:
  char* buf_ = nullptr;
  size_t len_ = 0;
  FILE* stream_ = nullptr;
};

// A child process that holds one record lock on `path` until it is released
// or `holdMillis` have passed (bounded, so a failing test never hangs).
class LockHolder {
 public:
  // type is F_RDLCK or F_WRLCK. Returns once the child holds the lock.
  // `beforeRelease` runs in the child when it is about to let go (after
  // holdMillis or when released), while it still holds the lock.
  LockHolder(const std::string& path, short type, uint64_t start, uint64_t length,
             int holdMillis = 10000, std::function<void()> beforeRelease = nullptr);
  ~LockHolder();
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;
  bool holding() const { return holding_; }
  // Tells the child to drop the lock and exit, and waits for it.
  void Release();

 private:
  pid_t pid_ = -1;
  int releaseFd_ = -1;
  bool holding_ = false;
};

// True when another process could take the lock at once (F_SETLK).
bool OtherProcessCanLock(const std::string& path, short type, uint64_t start, uint64_t length);

}  // namespace ct
