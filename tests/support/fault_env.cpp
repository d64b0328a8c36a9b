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

int FaultEnv::OpenFile(const char* path, int flags, mode_t mode) {
  if (Inject(kFaultOpen, "open", path) != Hit::kNone) return -1;
  return base_->OpenFile(path, flags, mode);
}

int FaultEnv::Mkstemp(char* pathTemplate) {
  if (Inject(kFaultOpen, "mkstemp", pathTemplate) != Hit::kNone) return -1;
  return base_->Mkstemp(pathTemplate);
}

ssize_t FaultEnv::Read(int fd, void* buf, size_t len) {
  Hit hit = Inject(kFaultRead, "read", nullptr, fd);
  if (hit == Hit::kFail) return -1;
  return base_->Read(fd, buf, hit == Hit::kShort ? len / 2 : len);
}

ssize_t FaultEnv::Pread(int fd, void* buf, size_t len, uint64_t offset) {
  Hit hit = Inject(kFaultRead, "pread", nullptr, fd);
  if (hit == Hit::kFail) return -1;
  return base_->Pread(fd, buf, hit == Hit::kShort ? len / 2 : len, offset);
}

ssize_t FaultEnv::Preadv(int fd, const struct iovec* iov, int count, uint64_t offset) {
  if (Inject(kFaultRead, "preadv", nullptr, fd) == Hit::kFail) return -1;
  return base_->Preadv(fd, iov, count, offset);
}

ssize_t FaultEnv::Write(int fd, const void* buf, size_t len) {
  Hit hit = Inject(kFaultWrite, "write", nullptr, fd);
  if (hit == Hit::kFail) return -1;
  if (hit == Hit::kNone) return base_->Write(fd, buf, len);
  ssize_t n = base_->Write(fd, buf, len / 2);
  errno = ENOSPC;  // what a short write on a full disk leaves behind
  return n;
}

off_t FaultEnv::Lseek(int fd, off_t offset, int whence) {
  if (Inject(kFaultSeek, "lseek", nullptr, fd) != Hit::kNone) return -1;
  return base_->Lseek(fd, offset, whence);
}

int FaultEnv::Ftruncate(int fd, off_t length) {
  if (Inject(kFaultMeta, "ftruncate", nullptr, fd) != Hit::kNone) return -1;
  return base_->Ftruncate(fd, length);
}

int FaultEnv::Fsync(int fd) {
  if (Inject(kFaultMeta, "fsync", nullptr, fd) != Hit::kNone) return -1;
  return base_->Fsync(fd);
}

int FaultEnv::FsyncDirectory(const char* path) {
  if (Inject(kFaultMeta, "fsync", path) != Hit::kNone) return -1;
  return base_->FsyncDirectory(path);
}

int FaultEnv::Close(int fd) {
  if (Inject(kFaultMeta, "close", nullptr, fd) != Hit::kNone) {
    int err = errno;
    base_->Close(fd);  // the descriptor is gone either way; only the result fails
    errno = err;
    return -1;
  }
  return base_->Close(fd);
}

int FaultEnv::Stat(const char* path, struct stat* st) {
  if (Inject(kFaultMeta, "stat", path) != Hit::kNone) return -1;
  return base_->Stat(path, st);
}

int FaultEnv::Fstat(int fd, struct stat* st) {
  if (Inject(kFaultMeta, "fstat", nullptr, fd) != Hit::kNone) return -1;
  return base_->Fstat(fd, st);
}

int FaultEnv::Unlink(const char* path) {
  if (Inject(kFaultMeta, "unlink", path) != Hit::kNone) return -1;
  return base_->Unlink(path);
}

int FaultEnv::Rename(const char* from, const char* to) {
  if (Inject(kFaultMeta, "rename", from) != Hit::kNone) return -1;
  return base_->Rename(from, to);
}

int FaultEnv::Chmod(const char* path, mode_t mode) {
  if (Inject(kFaultMeta, "chmod", path) != Hit::kNone) return -1;
  return base_->Chmod(path, mode);
}

int FaultEnv::Lock(int fd, int command, struct flock* lock) {
  if (Inject(kFaultLock, "fcntl", nullptr, fd) != Hit::kNone) return -1;
  return base_->Lock(fd, command, lock);
}

void* FaultEnv::Malloc(size_t size) {
  if (Inject(kFaultAlloc, "malloc", nullptr) != Hit::kNone) return nullptr;
  void* block = base_->Malloc(size);
  if (block != nullptr) ++live_;
  return block;
}

void FaultEnv::Free(void* block) {
  if (block != nullptr) --live_;
  base_->Free(block);
}

void* FaultEnv::MapMemory(size_t len) {
  if (Inject(kFaultMemory, "mmap", nullptr) != Hit::kNone) return nullptr;
  return base_->MapMemory(len);
}

void FaultEnv::UnmapMemory(void* addr, size_t len) {
  base_->UnmapMemory(addr, len);
}

}  // namespace kt
