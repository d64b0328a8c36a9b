// Env: the one door to the operating system for kelindex and libkelisi.
//
// Every file operation, advisory lock and allocation of the program, and
// every file operation and lock of the reader library, goes through an
// Env, so that what the system does can be substituted: the product ships
// the POSIX implementation alone, and a test puts its own in its place (one
// that makes a chosen call fail, counts what is still allocated, or records
// every write and sync to replay a power loss). An implementation that
// watches durability sees every creation (OpenFile with O_CREAT, Mkstemp),
// write, truncation, Fsync, Rename, Unlink and FsyncDirectory.
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

class Env {
 public:
  virtual ~Env() = default;

  // ---- Files -----------------------------------------------------------
  virtual int OpenFile(const char* path, int flags, mode_t mode) = 0;
  // Creates and opens a new file named after `pathTemplate`, whose last six
  // characters "XXXXXX" are replaced in place.
  virtual int Mkstemp(char* pathTemplate) = 0;
  virtual ssize_t Read(int fd, void* buf, size_t len) = 0;
  virtual ssize_t Pread(int fd, void* buf, size_t len, uint64_t offset) = 0;
  virtual ssize_t Preadv(int fd, const struct iovec* iov, int count, uint64_t offset) = 0;
  virtual ssize_t Write(int fd, const void* buf, size_t len) = 0;
  virtual off_t Lseek(int fd, off_t offset, int whence) = 0;
  virtual int Ftruncate(int fd, off_t length) = 0;
  // Makes the file's contents durable.
  virtual int Fsync(int fd) = 0;
  // Makes the names in the directory `path` durable: a file created,
  // renamed or removed there survives a power loss only after this.
  virtual int FsyncDirectory(const char* path) = 0;
  // The descriptor is released even when the result is a failure.
  virtual int Close(int fd) = 0;
  virtual int Stat(const char* path, struct stat* st) = 0;
  virtual int Fstat(int fd, struct stat* st) = 0;
  virtual int Unlink(const char* path) = 0;
  virtual int Rename(const char* from, const char* to) = 0;
  virtual int Chmod(const char* path, mode_t mode) = 0;

  // ---- Advisory record locks -------------------------------------------
  // fcntl(fd, command, lock) for the lock commands (F_SETLK, F_SETLKW and
  // their open-file-description forms); an interrupted wait is not made
  // again, the caller decides.
  virtual int Lock(int fd, int command, struct flock* lock) = 0;

  // ---- Memory ------------------------------------------------------------
  virtual void* Malloc(size_t size) = 0;
  virtual void Free(void* block) = 0;
  // Anonymous zero-filled memory of `len` bytes, nullptr when the system
  // refuses; a large block that goes back whole when released.
  virtual void* MapMemory(size_t len) = 0;
  virtual void UnmapMemory(void* addr, size_t len) = 0;
};

// The operating system itself. The object holds no state: any number of
// programs, handles and threads share it.
Env* PosixEnv();

}  // namespace kel
