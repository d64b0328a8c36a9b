// Finding a file along the data path, and creating output files.
#include <fcntl.h>

#include <cstring>

#include "driver/cmd_data.h"
#include "driver/sys_io.h"
#include "options/file_names.h"

namespace {

bool OpensReadWrite(const char* path) {
  int fd = SysOpen(path, O_RDWR, 0666);
  if (fd < 0) return false;
  SysClose(fd);
  return true;
}

}  // namespace

uint32_t getDBPATH(const char* list, char* out) {
  uint32_t n = 0;
  for (; list[n] != '\0' && list[n] != ':'; ++n) out[n] = list[n];
  return n;
}

// `dirOut` holds kDirSize bytes. Only files that open read-write are found.
// A data-path directory whose candidate name would not fit the 512-byte work
// buffer, or which would not fit `dirOut` with its '/', is passed over.
uint32_t FindFile(const char* name, char* dirOut, const char* pathList) {
  CmdData* cd = pCmdData;
  size_t nameLen = strlen(name);
  if (strchr(name, '/') != nullptr || nameLen >= kNameSize) return 0;
  memcpy(cd->scratchName, name, nameLen + 1);
  if (OpensReadWrite(cd->scratchName)) return 0;
  char candidate[kNameSize];
  for (const char* p = pathList; *p != '\0';) {
    if (*p == ':') {
      ++p;
      continue;
    }
    size_t dirLen = strcspn(p, ":");
    const char* next = p + dirLen;
    if (dirLen + 1 < kDirSize && dirLen + 1 + nameLen < sizeof candidate) {
      getDBPATH(p, candidate);
      candidate[dirLen] = '/';
      memcpy(candidate + dirLen + 1, name, nameLen + 1);
      if (OpensReadWrite(candidate)) {
        memcpy(dirOut, candidate, dirLen + 1);
        dirOut[dirLen + 1] = '\0';
        return static_cast<uint32_t>(dirLen + 1);
      }
    }
    p = next;
  }
  return 0;
}

int CreateExclusive(const char* path) {
  return CreateExclusiveEx(path, 0);
}

// A new file when there is none; an existing one is cut to length 0.
int CreateExclusiveEx(const char* path, int) {
  int fd = SysOpen(path, O_RDWR | O_CREAT | O_EXCL | O_TRUNC, 0666);
  if (fd < 0) fd = SysOpen(path, O_RDWR | O_TRUNC, 0666);
  return fd < 0 ? -1 : fd;
}
