// Env: the one door to the operating system for kelindex and libkelisi.
//
// Every file operation, advisory lock and allocation of the program, and
// every file operation and lock of the reader library, goes through an
// Env, so that what the system does can be substituted: the product ships
// the POSIX implementation alone, and a test puts its own in its place (one
// that makes a chosen call fail, counts what is still allocated, or records
// every write and sync to replay a power loss). An implementation that
// watches durability sees every creation (openFile with O_CREAT,
// makeTemp), write, truncation, sync, syncData, rename, unlink and syncDirectory.
//
// An Env is a table of calls, each given the Env it was reached through so
// that an implementation finds its own state behind it, as SQLite's VFS is
// built. No virtual functions: the program needs no C++ run-time library,
// and its resident set stays that of a C program.
//
// Each call does the work of the system call it is named after, with the
// same result and errno; only the POSIX implementation's additions are
// stated here: descriptors are opened close-on-exec, and a call that a
// signal interrupts (EINTR) is made again.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

namespace kel {

struct Env {
  // ---- Files -------------------------------------------------------------
  int (*openFile)(const Env* env, const char* path, int flags, mode_t mode);
  // mkstemp: creates and opens a new file named after `pathTemplate`,
  // whose last six characters "XXXXXX" are replaced in place.
  int (*makeTemp)(const Env* env, char* pathTemplate);
  ssize_t (*read)(const Env* env, int fd, void* buf, size_t len);
  ssize_t (*pread)(const Env* env, int fd, void* buf, size_t len, uint64_t offset);
  ssize_t (*preadv)(const Env* env, int fd, const struct iovec* iov, int count, uint64_t offset);
  ssize_t (*write)(const Env* env, int fd, const void* buf, size_t len);
  off_t (*seek)(const Env* env, int fd, off_t offset, int whence);
  int (*truncate)(const Env* env, int fd, off_t length);
  // fsync: makes the file's contents durable.
  int (*sync)(const Env* env, int fd);
  // fdatasync: makes the file's contents (and its length) durable, but not
  // its times: cheaper than sync for a file rewritten in place.
  int (*syncData)(const Env* env, int fd);
  // Starts writing the file's changed contents to the disk without waiting
  // for them (sync_file_range with SYNC_FILE_RANGE_WRITE where the system
  // has it, nothing elsewhere): no promise of durability, only a hint that
  // lets the writing of several files overlap before each is synced.
  int (*startWriteback)(const Env* env, int fd);
  // Makes the names in the directory `path` durable: a file created,
  // renamed or removed there survives a power loss only after this.
  int (*syncDirectory)(const Env* env, const char* path);
  // The descriptor is released even when the result is a failure.
  int (*close)(const Env* env, int fd);
  int (*statPath)(const Env* env, const char* path, struct stat* st);
  int (*statFile)(const Env* env, int fd, struct stat* st);
  int (*unlink)(const Env* env, const char* path);
  int (*rename)(const Env* env, const char* from, const char* to);
  int (*chmod)(const Env* env, const char* path, mode_t mode);
  // fchown: gives the file another owner and group (-1: unchanged).
  int (*changeOwner)(const Env* env, int fd, uid_t owner, gid_t group);

  // ---- Advisory record locks ---------------------------------------------
  // fcntl(fd, command, lock) for the lock commands (F_SETLK, F_SETLKW and
  // their open-file-description forms); an interrupted wait is not made
  // again, the caller decides.
  int (*lock)(const Env* env, int fd, int command, struct flock* lock);

  // ---- Memory --------------------------------------------------------------
  void* (*allocate)(const Env* env, size_t size);  // malloc
  void (*release)(const Env* env, void* block);    // free
  // Anonymous zero-filled memory of `len` bytes, nullptr when the system
  // refuses; a large block that goes back whole when released.
  void* (*mapMemory)(const Env* env, size_t len);
  void (*unmapMemory)(const Env* env, void* addr, size_t len);
};

// The operating system itself: a constant table, shared by any number of
// programs, handles and threads.
const Env* PosixEnv();

}  // namespace kel
