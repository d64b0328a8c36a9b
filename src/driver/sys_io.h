// The one door to the operating system for files, locks and the sort memory.
//
// Every system call that opens, reads, writes, positions, truncates, syncs,
// locks or removes a file goes through these wrappers, so that a test can
// make the N-th such call fail (an errno, or a short transfer) and watch the
// program keep its promises. Without a fault plan the wrappers are the bare
// calls, with EINTR retried for reads and writes.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

int SysOpen(const char* path, int flags, mode_t mode = 0);
ssize_t SysRead(int fd, void* buf, size_t len);
ssize_t SysWrite(int fd, const void* buf, size_t len);
off_t SysLseek(int fd, off_t offset, int whence);
int SysClose(int fd);
int SysFtruncate(int fd, off_t length);
int SysFsync(int fd);
int SysUnlink(const char* path);
int SysChmod(const char* path, mode_t mode);
int SysStat(const char* path, struct stat* st);
int SysMkstemp(char* pathTemplate);
int SysFcntlLock(int fd, int command, struct flock* lock);

// Anonymous memory for the sort block; nullptr when the system refuses.
void* SysMapMemory(size_t len);
void SysUnmapMemory(void* addr, size_t len);

// ---- Fault injection ------------------------------------------------------

// Classes of calls a fault plan counts.
enum : uint32_t {
  kFaultOpen = 1u << 0,    // SysOpen, SysMkstemp
  kFaultRead = 1u << 1,    // SysRead
  kFaultWrite = 1u << 2,   // SysWrite
  kFaultSeek = 1u << 3,    // SysLseek
  kFaultMeta = 1u << 4,    // SysClose, SysFtruncate, SysFsync, SysUnlink, SysChmod, SysStat
  kFaultLock = 1u << 5,    // SysFcntlLock
  kFaultMemory = 1u << 6,  // SysMapMemory
  kFaultAll = 0x7f,
};

struct FaultPlan {
  uint32_t classes = 0;  // which calls are counted
  uint64_t failAt = 0;   // the counted call that fails, 1-based; 0 = none
  int err = 0;           // errno of the failing call (0 with shortIo)
  bool shortIo = false;  // a read or write transfers half its bytes instead of failing
  bool sticky = false;   // every counted call after failAt fails too (a full disk)
};

// Installs a plan and restarts the call count; a default plan switches faults off.
void SysSetFaultPlan(const FaultPlan& plan);
// Counted calls since the plan was installed.
uint64_t SysFaultCallCount();
// True once the plan has made a call fail.
bool SysFaultFired();
// The first call the plan made fail, as "write" or "unlink(path)"; empty
// while none has.
const char* SysFaultFiredCall();

// Reads a plan from text of the form "N:classes:what[:sticky]", where classes
// is a set of the letters o r w s m l M a (open, read, write, seek, meta, lock,
// memory; a = all) and what is an errno name (ENOSPC, EIO, EACCES, ENOMEM) or
// "short". Returns false for text that is not such a plan.
bool SysParseFaultPlan(const char* text, FaultPlan* plan);
