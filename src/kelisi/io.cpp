// io: a handle's system calls through its Env (see io.h).
#include "kelisi/io.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "core/lock_protocol.h"

namespace kisi {

int IoOpen(Io& io, const char* path) {
  return io.env->openFile(io.env, path, O_RDONLY, 0);
}

int IoOpenWrite(Io& io, const char* path) {
  return io.env->openFile(io.env, path, O_RDWR, 0);
}

int IoPwrite(Io& io, int fd, const void* buf, size_t len, uint64_t offset) {
  // The Env has no positioned write: seek, then write what is left.
  if (io.env->seek(io.env, fd, static_cast<off_t>(offset), SEEK_SET) < 0) return errno;
  const auto* p = static_cast<const unsigned char*>(buf);
  for (size_t done = 0; done < len;) {
    ssize_t n = io.env->write(io.env, fd, p + done, len - done);
    if (n < 0) return errno;
    if (n == 0) return EIO;
    done += static_cast<size_t>(n);
  }
  return 0;
}

int IoSync(Io& io, int fd) {
  return io.env->sync(io.env, fd) == 0 ? 0 : errno;
}

int IoSyncData(Io& io, int fd) {
  return io.env->syncData(io.env, fd) == 0 ? 0 : errno;
}

void IoStartWriteback(Io& io, int fd) {
  io.env->startWriteback(io.env, fd);
}

int IoTruncate(Io& io, int fd, uint64_t len) {
  return io.env->truncate(io.env, fd, static_cast<off_t>(len)) == 0 ? 0 : errno;
}

bool IoPread(Io& io, int fd, void* buf, size_t len, uint64_t offset, size_t* got) {
  *got = 0;
  auto* p = static_cast<unsigned char*>(buf);
  while (*got < len) {
    ssize_t n = io.env->pread(io.env, fd, p + *got, len - *got, offset + *got);
    if (n < 0) return false;
    if (n == 0) break;
    *got += static_cast<size_t>(n);
  }
  return true;
}

bool IoPreadv(Io& io, int fd, const struct iovec* iov, int n, uint64_t offset, size_t* got) {
  *got = 0;
  ssize_t r = io.env->preadv(io.env, fd, iov, n, offset);
  if (r < 0) return false;
  *got = static_cast<size_t>(r);
  return true;
}

bool IoFileSize(Io& io, int fd, uint64_t* size) {
  struct stat st;
  if (io.env->statFile(io.env, fd, &st) != 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool IoFileStamp(Io& io, int fd, uint64_t* size, int64_t* changed) {
  struct stat st;
  if (io.env->statFile(io.env, fd, &st) != 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  *changed = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return true;
}

int IoLock(Io& io, int fd, short type, uint64_t start, uint64_t len, bool wait) {
  // Locks of the open file description stay with the handle when the
  // client closes some other descriptor of the same file.
  for (;;) {
    int err = IsiSetRecordLock(io.env, fd, type, start, len, wait, true);
    if (err != EINTR) return err;
  }
}

void IoClose(Io& io, int fd) {
  io.env->close(io.env, fd);
}

}  // namespace kisi
