#include "support/fault_env.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kt {

namespace {

// The file a descriptor is open on, where the system tells; empty else.
std::string DescriptorPath(int fd) {
  char link[32], path[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, path, sizeof path);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

}  // namespace

bool ParseFaultPlan(const char* text, FaultPlan* plan) {
  FaultPlan p;
  char* end = nullptr;
  p.failAt = strtoull(text, &end, 10);
  if (end == text || *end != ':' || p.failAt == 0) return false;
  static const char kLetters[] = "orwsmlM";
  const char* c = end + 1;
  for (; *c != '\0' && *c != ':'; ++c) {
    if (*c == 'a') {
      p.classes |= kFaultIo;
    } else if (*c == 'A') {
      p.classes |= kFaultAlloc;
    } else if (const char* at = strchr(kLetters, *c)) {
      p.classes |= 1u << (at - kLetters);
    } else {
      return false;
    }
  }
  if (*c != ':' || p.classes == 0) return false;
  std::string what = c + 1, rest;
  if (size_t colon = what.find(':'); colon != std::string::npos) {
    rest = what.substr(colon + 1);
    what.resize(colon);
    if (rest != "sticky") return false;
    p.sticky = true;
  }
  static const struct {
    const char* name;
    int err;
  } kNames[] = {
      {"ENOSPC", ENOSPC}, {"EIO", EIO}, {"EACCES", EACCES}, {"ENOMEM", ENOMEM}, {"EINTR", EINTR}};
  if (what == "short") p.shortIo = true;
  for (const auto& n : kNames) {
    if (what == n.name) p.err = n.err;
  }
  if (!p.shortIo && p.err == 0) return false;
  *plan = p;
  return true;
}

void FaultEnv::SetPlan(const FaultPlan& plan) {
  plan_ = plan;
  calls_ = 0;
  firedCall_.clear();
}

FaultEnv::Hit FaultEnv::Inject(uint32_t cls, const char* call, const char* path, int fd) {
  if ((plan_.classes & cls) == 0) return Hit::kNone;
  ++calls_;
  if (plan_.failAt == 0) return Hit::kNone;
  if (calls_ != plan_.failAt && !(plan_.sticky && calls_ > plan_.failAt)) return Hit::kNone;
  if (firedCall_.empty()) {
    std::string file = path != nullptr ? path : fd >= 0 ? DescriptorPath(fd) : "";
    firedCall_ = file.empty() ? call : std::string(call) + "(" + file + ")";
  }
  if (plan_.shortIo && (cls == kFaultRead || cls == kFaultWrite)) return Hit::kShort;
  errno = plan_.err != 0 ? plan_.err : EIO;
  return Hit::kFail;
}

FaultEnv* FaultEnv::Self(const kel::Env* env) {
  return const_cast<FaultEnv*>(static_cast<const FaultEnv*>(env));
}

FaultEnv::FaultEnv(const kel::Env* base) : kel::Env(), base_(base) {
  using E = const kel::Env*;
  openFile = [](E e, const char* path, int flags, mode_t mode) {
    FaultEnv* f = Self(e);
    if (f->Inject(kFaultOpen, "open", path) != Hit::kNone) return -1;
    return f->base_->openFile(f->base_, path, flags, mode);
  };
  makeTemp = [](E e, char* pathTemplate) {
    FaultEnv* f = Self(e);
    if (f->Inject(kFaultOpen, "mkstemp", pathTemplate) != Hit::kNone) return -1;
    return f->base_->makeTemp(f->base_, pathTemplate);
  };
  read = [](E e, int fd, void* buf, size_t len) -> ssize_t {
    FaultEnv* f = Self(e);
    Hit hit = f->Inject(kFaultRead, "read", nullptr, fd);
    if (hit == Hit::kFail) return -1;
    return f->base_->read(f->base_, fd, buf, hit == Hit::kShort ? len / 2 : len);
  };
  pread = [](E e, int fd, void* buf, size_t len, uint64_t offset) -> ssize_t {
    FaultEnv* f = Self(e);
    Hit hit = f->Inject(kFaultRead, "pread", nullptr, fd);
    if (hit == Hit::kFail) return -1;
    return f->base_->pread(f->base_, fd, buf, hit == Hit::kShort ? len / 2 : len, offset);
  };
  preadv = [](E e, int fd, const struct iovec* iov, int count, uint64_t offset) -> ssize_t {
    FaultEnv* f = Self(e);
    if (f->Inject(kFaultRead, "preadv", nullptr, fd) == Hit::kFail) return -1;
    return f->base_->preadv(f->base_, fd, iov, count, offset);
  };
  write = [](E e, int fd, const void* buf, size_t len) -> ssize_t {
    FaultEnv* f = Self(e);
    Hit hit = f->Inject(kFaultWrite, "write", nullptr, fd);
    if (hit == Hit::kFail) return -1;
    if (hit == Hit::kNone) return f->base_->write(f->base_, fd, buf, len);
    ssize_t n = f->base_->write(f->base_, fd, buf, len / 2);
    errno = ENOSPC;  // what a short write on a full disk leaves behind
    return n;
  };
  seek = [](E e, int fd, off_t offset, int whence) -> off_t {
    FaultEnv* f = Self(e);
    if (f->Inject(kFaultSeek, "lseek", nullptr, fd) != Hit::kNone) return -1;
    return f->base_->seek(f->base_, fd, offset, whence);
  };
  truncate = [](E e, int fd, off_t length) {
    FaultEnv* f = Self(e);
    if (f->Inject(kFaultMeta, "ftruncate", nullptr, fd) != Hit::kNone) return -1;
    return f->base_->truncate(f->base_, fd, length);
  };
  sync = [](E e, int fd) {
    FaultEnv* f = Self(e);
    if (f->Inject(kFaultMeta, "fsync", nullptr, fd) != Hit::kNone) return -1;
    return f->base_->sync(f->base_, fd);
  };
  syncDirectory = [](E e, const char* path) {
    FaultEnv* f = Self(e);
    if (f->Inject(kFaultMeta, "fsync", path) != Hit::kNone) return -1;
    return f->base_->syncDirectory(f->base_, path);
  };
  close = [](E e, int fd) {
    FaultEnv* f = Self(e);
    if (f->Inject(kFaultMeta, "close", nullptr, fd) != Hit::kNone) {
      int err = errno;
      f->base_->close(f->base_, fd);  // the descriptor is gone either way; only the result fails
      errno = err;
      return -1;
    }
    return f->base_->close(f->base_, fd);
  };
  statPath = [](E e, const char* path, struct stat* st) {
    FaultEnv* f = Self(e);
    if (f->Inject(kFaultMeta, "stat", path) != Hit::kNone) return -1;
    return f->base_->statPath(f->base_, path, st);
  };
  statFile = [](E e, int fd, struct stat* st) {
    FaultEnv* f = Self(e);
    if (f->Inject(kFaultMeta, "fstat", nullptr, fd) != Hit::kNone) return -1;
    return f->base_->statFile(f->base_, fd, st);
  };
  unlink = [](E e, const char* path) {
    FaultEnv* f = Self(e);
    if (f->Inject(kFaultMeta, "unlink", path) != Hit::kNone) return -1;
    return f->base_->unlink(f->base_, path);
  };
  rename = [](E e, const char* from, const char* to) {
    FaultEnv* f = Self(e);
    if (f->Inject(kFaultMeta, "rename", from) != Hit::kNone) return -1;
    return f->base_->rename(f->base_, from, to);
  };
  chmod = [](E e, const char* path, mode_t mode) {
    FaultEnv* f = Self(e);
    if (f->Inject(kFaultMeta, "chmod", path) != Hit::kNone) return -1;
    return f->base_->chmod(f->base_, path, mode);
  };
  lock = [](E e, int fd, int command, struct flock* fl) {
    FaultEnv* f = Self(e);
    if (f->Inject(kFaultLock, "fcntl", nullptr, fd) != Hit::kNone) return -1;
    return f->base_->lock(f->base_, fd, command, fl);
  };
  allocate = [](E e, size_t size) -> void* {
    FaultEnv* f = Self(e);
    if (f->Inject(kFaultAlloc, "malloc", nullptr) != Hit::kNone) return nullptr;
    void* block = f->base_->allocate(f->base_, size);
    if (block != nullptr) ++f->live_;
    return block;
  };
  release = [](E e, void* block) {
    FaultEnv* f = Self(e);
    if (block != nullptr) --f->live_;
    f->base_->release(f->base_, block);
  };
  mapMemory = [](E e, size_t len) -> void* {
    FaultEnv* f = Self(e);
    if (f->Inject(kFaultMemory, "mmap", nullptr) != Hit::kNone) return nullptr;
    return f->base_->mapMemory(f->base_, len);
  };
  unmapMemory = [](E e, void* addr, size_t len) {
    FaultEnv* f = Self(e);
    f->base_->unmapMemory(f->base_, addr, len);
  };
}

}  // namespace kt
