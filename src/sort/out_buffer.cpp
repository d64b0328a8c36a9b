// The shared output buffer and the index output routine.
//
// The buffer is not tied to a descriptor: its bytes belong to whichever file
// the caller writes, and every caller flushes before it writes elsewhere.
#include "sort/out_buffer.h"

#include <cstring>

#include "driver/cmd_data.h"
#include "driver/messages.h"
#include "driver/sys_io.h"
#include "isi/tree_build.h"
#include "sort/small_copy.h"
#include "sort/sort_item.h"

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

namespace {

// Notes a record whose length departs from the record length in effect.
void NoteLengthDeparture(const uint8_t* item, uint32_t len) {
  CmdData* cd = pCmdData;
  bool isShort = len < cd->recLenFound;
  uint8_t& seen = isShort ? cd->shortRecFound : cd->longRecFound;
  if (cd->diagMode && !seen) {
    CmdShowf(isShort ? "\nWriteTagRecord(1):\n1st Short Rec Length:%d at LFA:0x%.8llX Max "
                       "Allowed RecordLength:%d!\n"
                     : "\nWriteTagRecord(2):\n1st Long Rec Length:%d at LFA:0x%.8llX Max "
                       "Allowed RecordLength:%d!\n",
             static_cast<int>(len), static_cast<unsigned long long>(ItemPosition(item)),
             static_cast<int>(cd->recLenFound));
  }
  cd->posInvalidFound = 0;
  seen = 1;
  cd->varLenFound = 1;
}

}  // namespace

int32_t WriteTagRecord(uint8_t* item) {
  CmdData* cd = pCmdData;
  cd->treeLevel = 0;
  cd->curItem = item;
  uint32_t len = ItemLength(item);
  if (cd->recLenFound == 0) {
    if (cd->recLenSpec != 0) {
      cd->recLenFound = cd->recLenSpec;
    } else {
      cd->recLenFound = (cd->allowVarLen && len < 256) ? 256 : len;
    }
  } else if (len != cd->recLenFound) {
    NoteLengthDeparture(item, len);
  }
  int32_t r = InsertKey(0);
  if (r == 0) return 0;
  return r == kErrTreeLevels ? kErrTreeLevels : -1;
}
