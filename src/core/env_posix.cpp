// The POSIX Env: the calls themselves, close-on-exec and EINTR handled.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "core/env.h"

namespace kel {

namespace {

// Calls `call` again while a signal interrupts it.
template <typename Call>
auto Uninterrupted(Call call) {
  decltype(call()) r;
  do {
    r = call();
  } while (r < 0 && errno == EINTR);
  return r;
}

int OpenFile(const Env*, const char* path, int flags, mode_t mode) {
  return Uninterrupted([&] { return open(path, flags | O_CLOEXEC, mode); });
}

int Sync(const Env*, int fd) {
  return Uninterrupted([&] { return fsync(fd); });
}

constexpr Env kPosix = {
    .openFile = OpenFile,
    .makeTemp = [](const Env*, char* pathTemplate) { return mkostemp(pathTemplate, O_CLOEXEC); },
    .read = [](const Env*, int fd, void* buf,
               size_t len) { return Uninterrupted([&] { return read(fd, buf, len); }); },
    .pread =
        [](const Env*, int fd, void* buf, size_t len, uint64_t offset) {
          return Uninterrupted([&] { return pread(fd, buf, len, static_cast<off_t>(offset)); });
        },
    .preadv =
        [](const Env*, int fd, const struct iovec* iov, int count, uint64_t offset) {
          return Uninterrupted([&] { return preadv(fd, iov, count, static_cast<off_t>(offset)); });
        },
    .write = [](const Env*, int fd, const void* buf,
                size_t len) { return Uninterrupted([&] { return write(fd, buf, len); }); },
    .seek = [](const Env*, int fd, off_t offset, int whence) { return lseek(fd, offset, whence); },
    .truncate = [](const Env*, int fd,
                   off_t length) { return Uninterrupted([&] { return ftruncate(fd, length); }); },
    .sync = Sync,
    .syncData = [](const Env*, int fd) { return Uninterrupted([&] { return fdatasync(fd); }); },
    .startWriteback =
        [](const Env*, int fd) {
#ifdef SYNC_FILE_RANGE_WRITE
          return Uninterrupted([&] { return sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE); });
#else
          return fd < 0 ? -1 : 0;
#endif
        },
    .syncDirectory =
        [](const Env* env, const char* path) {
          int fd = OpenFile(env, path, O_RDONLY | O_DIRECTORY, 0);
          if (fd < 0) return -1;
          int r = Sync(env, fd);
          int saved = errno;
          close(fd);
          errno = saved;
          return r;
        },
    // Not made again after EINTR: the descriptor is gone whatever close says.
    .close = [](const Env*, int fd) { return close(fd); },
    .statPath = [](const Env*, const char* path, struct stat* st) { return stat(path, st); },
    .statFile = [](const Env*, int fd, struct stat* st) { return fstat(fd, st); },
    .unlink = [](const Env*, const char* path) { return unlink(path); },
    .rename = [](const Env*, const char* from, const char* to) { return rename(from, to); },
    .chmod = [](const Env*, const char* path, mode_t mode) { return chmod(path, mode); },
    .changeOwner = [](const Env*, int fd, uid_t owner,
                      gid_t group) { return fchown(fd, owner, group); },
    .lock = [](const Env*, int fd, int command,
               struct flock* lock) { return fcntl(fd, command, lock); },
    .allocate = [](const Env*, size_t size) { return malloc(size); },
    .release = [](const Env*, void* block) { free(block); },
    // A block of a huge page or more is offered huge pages (where the system
    // gives them only on request): the reader's sector cache and a large
    // sort memory are read all over, and miss the address translation less.
    // Pages still come only as they are touched.
    .mapMemory = [](const Env*, size_t len) -> void* {
      void* p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (p == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
      constexpr size_t kHugePage = size_t{2} << 20;
      if (len >= kHugePage) madvise(p, len, MADV_HUGEPAGE);
#endif
      return p;
    },
    .unmapMemory =
        [](const Env*, void* addr, size_t len) {
          if (addr != nullptr) munmap(addr, len);
        },
};

}  // namespace

const Env* PosixEnv() {
  return &kPosix;
}

}  // namespace kel
