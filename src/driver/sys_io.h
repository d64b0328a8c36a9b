// The program's calls to the operating system for files, locks and memory.
//
// Every system call that opens, reads, writes, positions, truncates, syncs,
// locks or removes a file, and every allocation of the run, goes through
// these wrappers to the run's Env (core/env.h): the operating system itself,
// unless a test has put an Env of its own in its place.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "core/env.h"

// The Env every wrapper below uses; kel::PosixEnv() unless SysUseEnv chose
// another.
const kel::Env* SysEnv();
// Makes `env` the program's Env from now on (nullptr: the operating system
// again). For a test, before a run starts.
void SysUseEnv(const kel::Env* env);

int SysOpen(const char* path, int flags, mode_t mode = 0);
ssize_t SysRead(int fd, void* buf, size_t len);
ssize_t SysWrite(int fd, const void* buf, size_t len);
off_t SysLseek(int fd, off_t offset, int whence);
int SysClose(int fd);
int SysFtruncate(int fd, off_t length);
int SysFsync(int fd);
// Makes the names in the directory `path` durable.
int SysSyncDirectory(const char* path);
int SysUnlink(const char* path);
int SysChmod(const char* path, mode_t mode);
int SysStat(const char* path, struct stat* st);
int SysMkstemp(char* pathTemplate);

// Anonymous memory for the sort block; nullptr when the system refuses.
void* SysMapMemory(size_t len);
void SysUnmapMemory(void* addr, size_t len);
