// The program's system calls, through the run's Env (see sys_io.h).
#include "driver/sys_io.h"

namespace {

const kel::Env* gEnv = kel::PosixEnv();

}  // namespace

const kel::Env* SysEnv() {
  return gEnv;
}

void SysUseEnv(const kel::Env* env) {
  gEnv = env != nullptr ? env : kel::PosixEnv();
}

int SysOpen(const char* path, int flags, mode_t mode) {
  return gEnv->openFile(gEnv, path, flags, mode);
}

ssize_t SysRead(int fd, void* buf, size_t len) {
  return gEnv->read(gEnv, fd, buf, len);
}

ssize_t SysWrite(int fd, const void* buf, size_t len) {
  return gEnv->write(gEnv, fd, buf, len);
}

off_t SysLseek(int fd, off_t offset, int whence) {
  return gEnv->seek(gEnv, fd, offset, whence);
}

int SysClose(int fd) {
  return gEnv->close(gEnv, fd);
}

int SysFtruncate(int fd, off_t length) {
  return gEnv->truncate(gEnv, fd, length);
}

int SysFsync(int fd) {
  return gEnv->sync(gEnv, fd);
}

int SysSyncDirectory(const char* path) {
  return gEnv->syncDirectory(gEnv, path);
}

int SysUnlink(const char* path) {
  return gEnv->unlink(gEnv, path);
}

int SysChmod(const char* path, mode_t mode) {
  return gEnv->chmod(gEnv, path, mode);
}

int SysStat(const char* path, struct stat* st) {
  return gEnv->statPath(gEnv, path, st);
}

int SysMkstemp(char* pathTemplate) {
  return gEnv->makeTemp(gEnv, pathTemplate);
}

void* SysMapMemory(size_t len) {
  return gEnv->mapMemory(gEnv, len);
}

void SysUnmapMemory(void* addr, size_t len) {
  gEnv->unmapMemory(gEnv, addr, len);
}
