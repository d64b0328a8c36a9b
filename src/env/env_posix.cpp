// The POSIX Env: the calls themselves, close-on-exec and EINTR handled.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "env/env.h"

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

int MakeTemp(const Env*, char* pathTemplate) {
  return mkostemp(pathTemplate, O_CLOEXEC);
}

ssize_t Read(const Env*, int fd, void* buf, size_t len) {
  return Uninterrupted([&] { return read(fd, buf, len); });
}

ssize_t Pread(const Env*, int fd, void* buf, size_t len, uint64_t offset) {
  return Uninterrupted([&] { return pread(fd, buf, len, static_cast<off_t>(offset)); });
}

ssize_t Preadv(const Env*, int fd, const struct iovec* iov, int count, uint64_t offset) {
  return Uninterrupted([&] { return preadv(fd, iov, count, static_cast<off_t>(offset)); });
}

ssize_t Write(const Env*, int fd, const void* buf, size_t len) {
  return Uninterrupted([&] { return write(fd, buf, len); });
}

off_t Seek(const Env*, int fd, off_t offset, int whence) {
  return lseek(fd, offset, whence);
}

int Truncate(const Env*, int fd, off_t length) {
  return Uninterrupted([&] { return ftruncate(fd, length); });
}

int Sync(const Env*, int fd) {
  return Uninterrupted([&] { return fsync(fd); });
}

int SyncDirectory(const Env* env, const char* path) {
  int fd = OpenFile(env, path, O_RDONLY | O_DIRECTORY, 0);
  if (fd < 0) return -1;
  int r = Sync(env, fd);
  int saved = errno;
  close(fd);
  errno = saved;
  return r;
}

// Not made again after EINTR: the descriptor is gone whatever close says.
int Close(const Env*, int fd) {
  return close(fd);
}

int StatPath(const Env*, const char* path, struct stat* st) {
  return stat(path, st);
}

int StatFile(const Env*, int fd, struct stat* st) {
  return fstat(fd, st);
}

int Unlink(const Env*, const char* path) {
  return unlink(path);
}

int Rename(const Env*, const char* from, const char* to) {
  return rename(from, to);
}

int Chmod(const Env*, const char* path, mode_t mode) {
  return chmod(path, mode);
}

int Lock(const Env*, int fd, int command, struct flock* lock) {
  return fcntl(fd, command, lock);
}

void* Allocate(const Env*, size_t size) {
  return malloc(size);
}

void Release(const Env*, void* block) {
  free(block);
}

void* MapMemory(const Env*, size_t len) {
  void* p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void UnmapMemory(const Env*, void* addr, size_t len) {
  if (addr != nullptr) munmap(addr, len);
}

constexpr Env kPosix = {
    .openFile = OpenFile,
    .makeTemp = MakeTemp,
    .read = Read,
    .pread = Pread,
    .preadv = Preadv,
    .write = Write,
    .seek = Seek,
    .truncate = Truncate,
    .sync = Sync,
    .syncDirectory = SyncDirectory,
    .close = Close,
    .statPath = StatPath,
    .statFile = StatFile,
    .unlink = Unlink,
    .rename = Rename,
    .chmod = Chmod,
    .lock = Lock,
    .allocate = Allocate,
    .release = Release,
    .mapMemory = MapMemory,
    .unmapMemory = UnmapMemory,
};

}  // namespace

const Env* PosixEnv() {
  return &kPosix;
}

}  // namespace kel
