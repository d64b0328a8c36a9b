// The shared output buffer.
//
// The buffer is not tied to a descriptor: its bytes belong to whichever file
// the caller writes, and every caller flushes before it writes elsewhere.
#include "sort/out_buffer.h"

#include <cstring>

#include "core/small_copy.h"
#include "driver/cmd_data.h"
#include "driver/sys_io.h"

Status OutWrite(int fd, const void* data, uint32_t len) {
  CmdData* cd = pCmdData;
  const uint8_t* src = static_cast<const uint8_t*>(data);
  while (len >= cd->outBufFree) {
    uint32_t part = cd->outBufFree;
    memcpy(cd->outBufPtr, src, part);
    src += part;
    len -= part;
    cd->outBufFree = 0;
    if (OutFlush(fd) != 0) return -1;
  }
  if (len > 0) {
    CopyFew(cd->outBufPtr, src, len);  // mostly one sort item or tree sector
    cd->outBufPtr += len;
    cd->outBufFree -= len;
  }
  return 0;
}

Status OutFlush(int fd) {
  CmdData* cd = pCmdData;
  uint32_t n = kOutBufSize - cd->outBufFree;
  cd->outBufFree = kOutBufSize;
  cd->outBufPtr = cd->outBuf;
  if (n == 0) return 0;
  ssize_t written = SysWrite(fd, cd->outBuf, n);
  return written == static_cast<ssize_t>(n) ? 0 : -1;
}
