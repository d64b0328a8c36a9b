// The scanner's input buffer: recBuf holds up to 65,536 bytes of the data
// file read from readPos, plus one look-ahead byte so that the second byte of
// a two-byte end-of-record mark can be examined at the buffer's end.
#include <unistd.h>

#include "driver/cmd_data.h"
#include "driver/messages.h"
#include "driver/sys_io.h"
#include "sort/record_key.h"
#include "sort/scanner.h"

namespace {

constexpr uint32_t kFillRead = kRecBufData + 1;  // data area + look-ahead byte
constexpr int kFillRetries = 3;

// Reads one buffer's worth from readPos; returns the bytes read or -1.
ssize_t ReadAtReadPos(int fd) {
  CmdData* cd = pCmdData;
  if (SysLseek(fd, static_cast<off_t>(cd->readPos), SEEK_SET) < 0) return -1;
  return SysRead(fd, cd->recBuf, kFillRead);
}

// True when a short read of `n` bytes ends exactly at the end of the file.
bool EndsAtEndOfFile(int fd, ssize_t n, uint32_t trimmed) {
  off_t size = SysLseek(fd, 0, SEEK_END);
  if (size < 0 || n < 0) return false;
  return static_cast<uint64_t>(n) + trimmed + pCmdData->readPos == static_cast<uint64_t>(size);
}

}  // namespace

int32_t fillInputBuffer(int fd) {
  CmdData* cd = pCmdData;
  cd->recBufPtr = cd->recBuf;
  int retries = kFillRetries;
  ssize_t n;
  bool lookAhead;
  for (;;) {
    uint32_t trimmed = 0;
    n = ReadAtReadPos(fd);
    lookAhead = n == static_cast<ssize_t>(kFillRead);
    if (lookAhead) {
      n = kRecBufData;
    } else if (n > 0 && cd->recBuf[n - 1] == kEofMark && !cd->binaryData) {
      --n;  // an end-of-file mark closing text data is not data
      trimmed = 1;
    }
    if (n == static_cast<ssize_t>(kRecBufData)) break;
    if (retries == 0) {
      if (cd->diagMode) CmdShowf("\nfillInputBuffer(1): Invalid number of bytes read!\n");
      return kErrInputRead;
    }
    --retries;
    if (EndsAtEndOfFile(fd, n, trimmed)) break;
    if (cd->diagMode) {
      CmdShowf(
          "\nfillInputBuffer(2):\n Retry:%d  At location:0x%.8llX  Bytes read was:%d Should "
          "be:%d\n",
          retries, static_cast<unsigned long long>(cd->readPos), static_cast<int>(n),
          static_cast<int>(kRecBufData));
    }
  }
  // At the end of the file there is no look-ahead byte: clear its slot so
  // that a mark's first byte at the very end is never paired with stale data.
  // An empty read leaves the buffer as it was (the scanner may return to it).
  if (!lookAhead && n > 0) cd->recBuf[n] = 0;
  cd->readPos += static_cast<uint64_t>(n);
  cd->lastFillCount = static_cast<uint32_t>(n);
  cd->recBufCount = static_cast<int32_t>(n);
  return static_cast<int32_t>(n);
}

Status SettleReadPosAt(uint64_t pos) {
  CmdData* cd = pCmdData;
  const uint64_t fillStart = pos - pos % kRecBufData;
  if (cd->readPos - cd->lastFillCount == fillStart) return kOk;  // the buffer is that fill
  cd->readPos = fillStart;
  // The byte at `pos` was read a moment ago: a fill without it fails too.
  int32_t n = fillInputBuffer(cd->inFd);
  return n > 0 && fillStart + static_cast<uint64_t>(n) > pos ? kOk : kErrInputRead;
}
