// io: the library's calls to the operating system. Every open, pread,
// fstat, fcntl and close of a handle goes through the handle's Env
// (core/env.h): the operating system for a handle of the C API, another Env
// for a handle a test opens through kisi::OpenHandle. A handle opened for
// update also writes, syncs and truncates through it.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

#include "core/env.h"

namespace kisi {

struct Io {
  const kel::Env* env = kel::PosixEnv();
};

// A descriptor opened read-only, or -1 (errno set).
int IoOpen(Io& io, const char* path);
// A descriptor opened for reading and writing, or -1 (errno set).
int IoOpenWrite(Io& io, const char* path);
// Writes all `len` bytes at `offset`: 0, or the errno.
int IoPwrite(Io& io, int fd, const void* buf, size_t len, uint64_t offset);
// fsync: 0, or the errno.
int IoSync(Io& io, int fd);
// fdatasync, for a file whose length a change kept: 0, or the errno.
int IoSyncData(Io& io, int fd);
// Starts writing the file out, for a sync that follows (a hint: no result).
void IoStartWriteback(Io& io, int fd);
// Cuts or extends the file to `len` bytes: 0, or the errno.
int IoTruncate(Io& io, int fd, uint64_t len);
// Reads up to `len` bytes at `offset`, going on after partial reads; *got
// is what was read (less than `len` only at the end of the file). False on
// an error.
bool IoPread(Io& io, int fd, void* buf, size_t len, uint64_t offset, size_t* got);
// One scattered read at `offset` into `n` buffers; *got is what was read,
// which may be short of the whole. False on an error.
bool IoPreadv(Io& io, int fd, const struct iovec* iov, int n, uint64_t offset, size_t* got);
// True with the file's size in *size.
bool IoFileSize(Io& io, int fd, uint64_t* size);
// True with the file's size and the time of its last change (nanoseconds):
// what tells a reader that a file was rewritten.
bool IoFileStamp(Io& io, int fd, uint64_t* size, int64_t* changed);
// An advisory lock of `type` (F_RDLCK, F_UNLCK) on `len` bytes at `start`,
// on the open file description where the system has such locks. `wait`
// blocks while another holder's lock conflicts. 0, or the errno.
int IoLock(Io& io, int fd, short type, uint64_t start, uint64_t len, bool wait);
void IoClose(Io& io, int fd);

}  // namespace kisi
