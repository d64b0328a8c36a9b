// The build's data scan: the data file read through the program's system
// calls, what the scan meets shown with -d, and the sub-lists of the sort.
#include <unistd.h>

#include "core/data_scan.h"
#include "driver/cmd_data.h"
#include "driver/messages.h"
#include "driver/sys_io.h"

namespace {

// The data file is inFd, positioned and read anew for every read.
ssize_t ReadDataFile(void* ctx, uint64_t offset, void* buf, size_t len) {
  int fd = *static_cast<const int32_t*>(ctx);
  if (SysLseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) return -1;
  return SysRead(fd, buf, len);
}

int64_t DataFileSize(void* ctx) {
  int fd = *static_cast<const int32_t*>(ctx);
  return SysLseek(fd, 0, SEEK_END);
}

void ShowScanNotice(const DataScan*, ScanNotice what, uint64_t a, uint64_t b, uint64_t c) {
  if (!pCmdData->diagMode) return;
  switch (what) {
    case kNoticeFillFailed:
      CmdShowf("\nfillInputBuffer(1): Invalid number of bytes read!\n");
      break;
    case kNoticeFillRetry:
      CmdShowf(
          "\nfillInputBuffer(2):\n Retry:%d  At location:0x%.8llX  Bytes read was:%d Should "
          "be:%d\n",
          static_cast<int>(a), static_cast<unsigned long long>(b), static_cast<int>(c),
          static_cast<int>(kRecBufData));
      break;
    case kNoticeZeroRunBroken:
      CmdShowf("\nCreateSubList(1): Variable record detected after deleted record!\n");
      break;
    case kNoticeLongRecord:
      CmdShowf(
          "\nCreateSubList(1):\n1st Long Rec Length:%d at LFA:0x%.8llX Max Allowed "
          "RecordLength:%d!\n",
          static_cast<int>(a), static_cast<unsigned long long>(b), static_cast<int>(c));
      break;
  }
}

}  // namespace

void UseBuildScan(CmdData* cd) {
  cd->reader = ScanReader{ReadDataFile, DataFileSize, &cd->inFd};
  cd->notice = ShowScanNotice;
}

int32_t fillInputBuffer() {
  return ScanFill(pCmdData);
}

Status CreateSubList() {
  CmdData* cd = pCmdData;
  if (cd->itemsInMem < 2) {
    CmdShowf("Sort memory too small for a sort sub-list.\n");
    return kErrMemory;
  }
  Status s = ScanSubList(cd);
  // Bytes are left in the buffer only when the data end at an end-of-file
  // mark: the byte at recStartPos. Where the fills stand then is the data
  // length the index records.
  if (s == kSubListLast && cd->recBufCount > 0) {
    Status settled = SettleReadPosAt(cd, cd->recStartPos);
    if (settled != kOk) return settled;
  }
  return s;
}
