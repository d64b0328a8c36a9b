// The two work files of the external sort: unique names "dsort" + six
// characters in the work directory (the fourth field, TMPDIR or /tmp),
// created empty and held open for the sort trains.
#include <fcntl.h>

#include <cstring>

#include "driver/cleanup.h"
#include "driver/cmd_data.h"
#include "driver/messages.h"
#include "driver/profile.h"
#include "driver/sys_io.h"
#include "options/parse_steps.h"

namespace {

// An empty fourth field means TMPDIR (one trailing '/' dropped), or /tmp.
// An empty TMPDIR counts as unset: it would put the files in the root.
Status ChooseWorkDirectory() {
  CmdData* cd = pCmdData;
  if (cd->tmpDir[0] == '\0') {
    const char* value = CmdGetEnv("TMPDIR");
    if (value == nullptr || value[0] == '\0') value = "/tmp";
    size_t len = strlen(value);
    if (value[len - 1] == '/') --len;
    if (len > kMaxTmpDirLen) {
      CmdSetMsg("The temporary file path is too long.");
      return kErrTmpDirTooLong;
    }
    memcpy(cd->tmpDir, value, len);
    cd->tmpDir[len] = '\0';
  }
  // The directory, "/dsortXXXXXX" and the terminator must fit the template.
  if (strlen(cd->tmpDir) > kMaxTmpDirLen) {
    CmdSetMsg("The temporary file path is too long.");
    return kErrTmpDirTooLong;
  }
  return kOk;
}

// Makes one work file under a unique name. The descriptor mkstemp returns is
// replaced by a plain read-write one of the same file. A file whose reopen
// fails is removed here, since no descriptor marks it for the clean-up.
Status CreateWorkFile(char** name, int32_t* fd, int number) {
  CmdData* cd = pCmdData;
  if (*name == nullptr) *name = static_cast<char*>(CmdMalloc(kTmpNameSize));
  if (*name == nullptr) {
    CmdSetMsg("Insufficient Memory for Buffers.");
    return kErrMemory;
  }
  static const char kTemplate[] = "/dsortXXXXXX";
  size_t dirLen = strlen(cd->tmpDir);  // at most kMaxTmpDirLen: the template fits
  memcpy(*name, cd->tmpDir, dirLen);
  memcpy(*name + dirLen, kTemplate, sizeof kTemplate);
  int unique = SysMkstemp(*name);
  if (unique < 0) return kErrTempFiles;
  SysClose(unique);
  *fd = SysOpen(*name, O_RDWR | O_CREAT | O_TRUNC, 0666);
  if (*fd < 0) {
    *fd = -1;
    SysUnlink(*name);
    return kErrTempFiles;
  }
  if (cd->diagMode) CmdShowf("Created %s as temp file %d\n", *name, number);
  return kOk;
}

}  // namespace

Status CreateWorkFiles() {
  CmdData* cd = pCmdData;
  if (cd->diagMode) CmdShowf("Temporary file path is:%s\n", cd->tmpDir);
  Status st = ChooseWorkDirectory();
  if (st != kOk) return st;
  st = CreateWorkFile(&cd->tmpName1, &cd->tmpFd1, 1);
  if (st != kOk) return st;
  cd->failFd = cd->tmpFd1;  // the sort writes its first trains here
  st = CreateWorkFile(&cd->tmpName2, &cd->tmpFd2, 2);
  if (st != kOk) return st;
  cd->mergeInFd = cd->tmpFd2;
  return kOk;
}
