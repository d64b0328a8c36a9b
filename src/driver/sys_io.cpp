// The program's system calls, through the run's Env (see sys_io.h).
#include "driver/sys_io.h"

namespace {

kel::Env* gEnv = kel::PosixEnv();

}  // namespace

kel::Env* SysEnv() {
  return gEnv;
}

void SysUseEnv(kel::Env* env) {
  gEnv = env != nullptr ? env : kel::PosixEnv();
}

int SysOpen(const char* path, int flags, mode_t mode) {
  return gEnv->OpenFile(path, flags, mode);
}

ssize_t SysRead(int fd, void* buf, size_t len) {
  return gEnv->Read(fd, buf, len);
}

ssize_t SysWrite(int fd, const void* buf, size_t len) {
  return gEnv->Write(fd, buf, len);
}

off_t SysLseek(int fd, off_t offset, int whence) {
  return gEnv->Lseek(fd, offset, whence);
}

int SysClose(int fd) {
  return gEnv->Close(fd);
}

int SysFtruncate(int fd, off_t length) {
  return gEnv->Ftruncate(fd, length);
}

int SysFsync(int fd) {
  return gEnv->Fsync(fd);
}

int SysUnlink(const char* path) {
  return gEnv->Unlink(path);
}

int SysChmod(const char* path, mode_t mode) {
  return gEnv->Chmod(path, mode);
}

int SysStat(const char* path, struct stat* st) {
  return gEnv->Stat(path, st);
}

int SysMkstemp(char* pathTemplate) {
  return gEnv->Mkstemp(pathTemplate);
}

int SysFcntlLock(int fd, int command, struct flock* lock) {
  return gEnv->Lock(fd, command, lock);
}

void* SysMapMemory(size_t len) {
  return gEnv->MapMemory(len);
}

void SysUnmapMemory(void* addr, size_t len) {
  gEnv->UnmapMemory(addr, len);
}
