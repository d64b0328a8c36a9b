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
  using kel::Env;
  openFile = [](E e, const char* path, int flags, mode_t mode) {
    return Self(e)->Pass(&Env::openFile, kFaultOpen, "open", path, -1, -1, path, flags, mode);
  };
  makeTemp = [](E e, char* name) {
    return Self(e)->Pass(&Env::makeTemp, kFaultOpen, "mkstemp", name, -1, -1, name);
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
  preadv = [](E e, int fd, const struct iovec* iov, int n, uint64_t at) {
    return Self(e)->Pass(&Env::preadv, kFaultRead, "preadv", nullptr, fd, -1, fd, iov, n, at);
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
  seek = [](E e, int fd, off_t offset, int whence) {
    return Self(e)->Pass(&Env::seek, kFaultSeek, "lseek", nullptr, fd, -1, fd, offset, whence);
  };
  truncate = [](E e, int fd, off_t length) {
    return Self(e)->Pass(&Env::truncate, kFaultMeta, "ftruncate", nullptr, fd, -1, fd, length);
  };
  sync = [](E e, int fd) {
    return Self(e)->Pass(&Env::sync, kFaultMeta, "fsync", nullptr, fd, -1, fd);
  };
  syncData = [](E e, int fd) {
    return Self(e)->Pass(&Env::syncData, kFaultMeta, "fdatasync", nullptr, fd, -1, fd);
  };
  startWriteback = [](E e, int fd) {
    return Self(e)->Pass(&Env::startWriteback, kFaultMeta, "sync_file_range", nullptr, fd, -1, fd);
  };
  syncDirectory = [](E e, const char* path) {
    return Self(e)->Pass(&Env::syncDirectory, kFaultMeta, "fsync", path, -1, -1, path);
  };
  close = [](E e, int fd) {
    FaultEnv* f = Self(e);
    Hit hit = f->Inject(kFaultMeta, "close", nullptr, fd);
    int err = errno;
    int r = f->base_->close(f->base_, fd);  // the descriptor goes either way; only the result fails
    if (hit == Hit::kNone) return r;
    errno = err;
    return -1;
  };
  statPath = [](E e, const char* path, struct stat* st) {
    return Self(e)->Pass(&Env::statPath, kFaultMeta, "stat", path, -1, -1, path, st);
  };
  statFile = [](E e, int fd, struct stat* st) {
    return Self(e)->Pass(&Env::statFile, kFaultMeta, "fstat", nullptr, fd, -1, fd, st);
  };
  unlink = [](E e, const char* path) {
    return Self(e)->Pass(&Env::unlink, kFaultMeta, "unlink", path, -1, -1, path);
  };
  changeOwner = [](E e, int fd, uid_t owner, gid_t group) {
    return Self(e)->Pass(&Env::changeOwner, kFaultMeta, "fchown", nullptr, fd, -1, fd, owner,
                         group);
  };
  rename = [](E e, const char* from, const char* to) {
    return Self(e)->Pass(&Env::rename, kFaultMeta, "rename", from, -1, -1, from, to);
  };
  chmod = [](E e, const char* path, mode_t mode) {
    return Self(e)->Pass(&Env::chmod, kFaultMeta, "chmod", path, -1, -1, path, mode);
  };
  lock = [](E e, int fd, int command, struct flock* fl) {
    return Self(e)->Pass(&Env::lock, kFaultLock, "fcntl", nullptr, fd, -1, fd, command, fl);
  };
  allocate = [](E e, size_t size) {
    FaultEnv* f = Self(e);
    void* block = f->Pass(&Env::allocate, kFaultAlloc, "malloc", nullptr, -1, nullptr, size);
    if (block != nullptr) ++f->live_;
    return block;
  };
  release = [](E e, void* block) {
    FaultEnv* f = Self(e);
    if (block != nullptr) --f->live_;
    f->base_->release(f->base_, block);
  };
  mapMemory = [](E e, size_t len) {
    return Self(e)->Pass(&Env::mapMemory, kFaultMemory, "mmap", nullptr, -1, nullptr, len);
  };
  unmapMemory = [](E e, void* addr, size_t len) {
    Self(e)->base_->unmapMemory(Self(e)->base_, addr, len);
  };
}

}  // namespace kt
