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

class Posix final : public Env {
 public:
  int OpenFile(const char* path, int flags, mode_t mode) override {
    return Uninterrupted([&] { return open(path, flags | O_CLOEXEC, mode); });
  }
  int Mkstemp(char* pathTemplate) override { return mkostemp(pathTemplate, O_CLOEXEC); }
  ssize_t Read(int fd, void* buf, size_t len) override {
    return Uninterrupted([&] { return read(fd, buf, len); });
  }
  ssize_t Pread(int fd, void* buf, size_t len, uint64_t offset) override {
    return Uninterrupted([&] { return pread(fd, buf, len, static_cast<off_t>(offset)); });
  }
  ssize_t Preadv(int fd, const struct iovec* iov, int count, uint64_t offset) override {
    return Uninterrupted([&] { return preadv(fd, iov, count, static_cast<off_t>(offset)); });
  }
  ssize_t Write(int fd, const void* buf, size_t len) override {
    return Uninterrupted([&] { return write(fd, buf, len); });
  }
  off_t Lseek(int fd, off_t offset, int whence) override { return lseek(fd, offset, whence); }
  int Ftruncate(int fd, off_t length) override {
    return Uninterrupted([&] { return ftruncate(fd, length); });
  }
  int Fsync(int fd) override {
    return Uninterrupted([&] { return fsync(fd); });
  }
  int FsyncDirectory(const char* path) override {
    int fd = OpenFile(path, O_RDONLY | O_DIRECTORY, 0);
    if (fd < 0) return -1;
    int r = Fsync(fd);
    int saved = errno;
    close(fd);
    errno = saved;
    return r;
  }
  // Not made again after EINTR: the descriptor is gone whatever close says.
  int Close(int fd) override { return close(fd); }
  int Stat(const char* path, struct stat* st) override { return stat(path, st); }
  int Fstat(int fd, struct stat* st) override { return fstat(fd, st); }
  int Unlink(const char* path) override { return unlink(path); }
  int Rename(const char* from, const char* to) override { return rename(from, to); }
  int Chmod(const char* path, mode_t mode) override { return chmod(path, mode); }
  int Lock(int fd, int command, struct flock* lock) override { return fcntl(fd, command, lock); }
  void* Malloc(size_t size) override { return malloc(size); }
  void Free(void* block) override { free(block); }
  void* MapMemory(size_t len) override {
    void* p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
  }
  void UnmapMemory(void* addr, size_t len) override {
    if (addr != nullptr) munmap(addr, len);
  }
};

}  // namespace

Env* PosixEnv() {
  static Posix env;
  return &env;
}

}  // namespace kel
