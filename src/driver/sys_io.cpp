// System call wrappers with an optional fault plan (see sys_io.h).
#include "driver/sys_io.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

FaultPlan gPlan;
uint64_t gCalls = 0;
bool gFired = false;
char gFiredCall[600];  // the first call the plan made fail, for the test report

// Notes the first failing call as "name" or "name(path)", cut to fit. A call
// on a descriptor names the file the descriptor is open on, where the
// system tells (only a failing call pays for the look-up).
void NoteFiredCall(const char* call, const char* path, int fd) {
  if (gFired) return;
  char fdPath[512] = "";  // leaves room in gFiredCall for the call name
#ifdef __linux__
  if (path == nullptr && fd >= 0) {
    char link[32];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, fdPath, sizeof fdPath - 1);
    if (n > 0) {
      fdPath[n] = '\0';
      path = fdPath;
    }
  }
#else
  (void)fd;
#endif
  if (path != nullptr) {
    snprintf(gFiredCall, sizeof gFiredCall, "%s(%s)", call, path);
  } else {
    snprintf(gFiredCall, sizeof gFiredCall, "%s", call);
  }
}

// Decides whether the current call of class `cls` (named `call`, on `path`
// or on the descriptor `fd` when it has one) is to fail. Sets errno for a
// failing call. `shortIo` receives true when the call must transfer only
// part of its bytes instead of failing.
bool Inject(uint32_t cls, const char* call, const char* path, int fd = -1,
            bool* shortIo = nullptr) {
  if (gPlan.failAt == 0 || (gPlan.classes & cls) == 0) return false;
  ++gCalls;
  bool hit = gCalls == gPlan.failAt || (gPlan.sticky && gCalls > gPlan.failAt);
  if (!hit) return false;
  NoteFiredCall(call, path, fd);
  gFired = true;
  if (gPlan.shortIo && shortIo != nullptr) {
    *shortIo = true;
    return true;
  }
  errno = gPlan.err != 0 ? gPlan.err : EIO;
  return true;
}

}  // namespace

int SysOpen(const char* path, int flags, mode_t mode) {
  if (Inject(kFaultOpen, "open", path)) return -1;
  int fd;
  do {
    fd = open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

ssize_t SysRead(int fd, void* buf, size_t len) {
  bool partial = false;
  if (Inject(kFaultRead, "read", nullptr, fd, &partial) && !partial) return -1;
  if (partial) len /= 2;
  ssize_t n;
  do {
    n = read(fd, buf, len);
  } while (n < 0 && errno == EINTR);
  return n;
}

ssize_t SysWrite(int fd, const void* buf, size_t len) {
  bool partial = false;
  if (Inject(kFaultWrite, "write", nullptr, fd, &partial) && !partial) return -1;
  if (partial) {
    len /= 2;
    errno = ENOSPC;  // what a short write on a full disk leaves behind
  }
  ssize_t n;
  do {
    n = write(fd, buf, len);
  } while (n < 0 && errno == EINTR);
  return n;
}

off_t SysLseek(int fd, off_t offset, int whence) {
  if (Inject(kFaultSeek, "lseek", nullptr, fd)) return -1;
  return lseek(fd, offset, whence);
}

int SysClose(int fd) {
  if (Inject(kFaultMeta, "close", nullptr, fd)) {
    close(fd);  // the descriptor is gone either way; only the result fails
    return -1;
  }
  return close(fd);
}

int SysFtruncate(int fd, off_t length) {
  if (Inject(kFaultMeta, "ftruncate", nullptr, fd)) return -1;
  return ftruncate(fd, length);
}

int SysFsync(int fd) {
  if (Inject(kFaultMeta, "fsync", nullptr, fd)) return -1;
  return fsync(fd);
}

int SysUnlink(const char* path) {
  if (Inject(kFaultMeta, "unlink", path)) return -1;
  return unlink(path);
}

int SysChmod(const char* path, mode_t mode) {
  if (Inject(kFaultMeta, "chmod", path)) return -1;
  return chmod(path, mode);
}

int SysStat(const char* path, struct stat* st) {
  if (Inject(kFaultMeta, "stat", path)) return -1;
  return stat(path, st);
}

int SysMkstemp(char* pathTemplate) {
  if (Inject(kFaultOpen, "mkstemp", pathTemplate)) return -1;
  return mkostemp(pathTemplate, O_CLOEXEC);
}

int SysFcntlLock(int fd, int command, struct flock* lock) {
  if (Inject(kFaultLock, "fcntl", nullptr, fd)) return -1;
  return fcntl(fd, command, lock);
}

void* SysMapMemory(size_t len) {
  if (Inject(kFaultMemory, "mmap", nullptr)) return nullptr;
  void* p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void SysUnmapMemory(void* addr, size_t len) {
  if (addr != nullptr) munmap(addr, len);
}

void SysSetFaultPlan(const FaultPlan& plan) {
  gPlan = plan;
  gCalls = 0;
  gFired = false;
  gFiredCall[0] = '\0';
}

uint64_t SysFaultCallCount() {
  return gCalls;
}

bool SysFaultFired() {
  return gFired;
}

const char* SysFaultFiredCall() {
  return gFiredCall;
}

bool SysParseFaultPlan(const char* text, FaultPlan* plan) {
  FaultPlan p;
  char* end = nullptr;
  p.failAt = strtoull(text, &end, 10);
  if (end == text || *end != ':' || p.failAt == 0) return false;
  const char* c = end + 1;
  for (; *c != '\0' && *c != ':'; ++c) {
    switch (*c) {
      case 'o':
        p.classes |= kFaultOpen;
        break;
      case 'r':
        p.classes |= kFaultRead;
        break;
      case 'w':
        p.classes |= kFaultWrite;
        break;
      case 's':
        p.classes |= kFaultSeek;
        break;
      case 'm':
        p.classes |= kFaultMeta;
        break;
      case 'l':
        p.classes |= kFaultLock;
        break;
      case 'M':
        p.classes |= kFaultMemory;
        break;
      case 'a':
        p.classes |= kFaultAll;
        break;
      default:
        return false;
    }
  }
  if (*c != ':' || p.classes == 0) return false;
  const char* what = c + 1;
  const char* colon = strchr(what, ':');
  size_t whatLen = colon != nullptr ? static_cast<size_t>(colon - what) : strlen(what);
  struct Name {
    const char* name;
    int err;
  };
  static const Name kNames[] = {
      {"ENOSPC", ENOSPC}, {"EIO", EIO}, {"EACCES", EACCES}, {"ENOMEM", ENOMEM}, {"EINTR", EINTR}};
  if (whatLen == 5 && strncmp(what, "short", 5) == 0) {
    p.shortIo = true;
  } else {
    for (const Name& n : kNames) {
      if (strlen(n.name) == whatLen && strncmp(what, n.name, whatLen) == 0) p.err = n.err;
    }
    if (p.err == 0) return false;
  }
  if (colon != nullptr) {
    if (strcmp(colon + 1, "sticky") != 0) return false;
    p.sticky = true;
  }
  *plan = p;
  return true;
}
