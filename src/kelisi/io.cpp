// io: the counted system calls of a handle (see io.h).
#include "kelisi/io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kisi {

bool Io::Tick() {
  return ++calls == failAt;
}

int IoOpen(Io& io, const char* path) {
  if (io.Tick()) {
    errno = EIO;
    return -1;
  }
  int fd;
  do {
    fd = open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool IoPread(Io& io, int fd, void* buf, size_t len, uint64_t offset, size_t* got) {
  *got = 0;
  if (io.Tick()) {
    errno = EIO;
    return false;
  }
  auto* p = static_cast<unsigned char*>(buf);
  while (*got < len) {
    ssize_t n = pread(fd, p + *got, len - *got, static_cast<off_t>(offset + *got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    *got += static_cast<size_t>(n);
  }
  return true;
}

bool IoPreadv(Io& io, int fd, const struct iovec* iov, int n, uint64_t offset, size_t* got) {
  *got = 0;
  if (io.Tick()) {
    errno = EIO;
    return false;
  }
  ssize_t r;
  do {
    r = preadv(fd, iov, n, static_cast<off_t>(offset));
  } while (r < 0 && errno == EINTR);
  if (r < 0) return false;
  *got = static_cast<size_t>(r);
  return true;
}

bool IoFileSize(Io& io, int fd, uint64_t* size) {
  struct stat st;
  if (io.Tick()) {
    errno = EIO;
    return false;
  }
  if (fstat(fd, &st) != 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

int IoLock(Io& io, int fd, short type, uint64_t start, uint64_t len, bool wait) {
  if (io.Tick()) return EIO;
  struct flock fl = {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(start);
  fl.l_len = static_cast<off_t>(len);
#ifdef F_OFD_SETLKW
  // Locks of the open file description stay with the handle when the
  // client closes some other descriptor of the same file.
  int cmd = wait ? F_OFD_SETLKW : F_OFD_SETLK;
#else
  int cmd = wait ? F_SETLKW : F_SETLK;
#endif
  for (;;) {
    if (fcntl(fd, cmd, &fl) == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

void IoClose(Io& io, int fd) {
  io.Tick();
  close(fd);
}

}  // namespace kisi
