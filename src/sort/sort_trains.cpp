// The external sort of an index build: the scanner fills the sort memory
// with sub-lists, each is sorted and appended to a sort train in the work
// file being written, and the trains are merged into the output routine.
//
// Sub-lists that arrive in order continue the current train instead of
// starting a new one, so sorted or nearly sorted data makes few trains.
#include <cstring>

#include "core/data_scan.h"
#include "core/sort_item.h"
#include "driver/cmd_data.h"
#include "driver/messages.h"
#include "sort/build_scan.h"
#include "sort/item_sort.h"
#include "sort/merge.h"
#include "sort/out_buffer.h"

namespace {

constexpr uint64_t kMaxRecords = 4294967296ull;
constexpr int kMaxTreeDepth = 16;
constexpr uint32_t kGatherAhead = 8;  // pointers ahead whose items are fetched early

Status WriteEndOfRunItem(int fd) {
  uint8_t eor[kMaxItemLen];
  memset(eor, 0xFF, sizeof eor);
  return OutWrite(fd, eor, pCmdData->itemLen);
}

Status TooManyTrains() {
  CmdOutInfoString("\nToo many sort trains\n");
  return kErrTooMany;
}

void StartTrain(uint64_t pos) {
  CmdData* cd = pCmdData;
  *cd->trainNext++ = pos;
}

// Shows the progress line of a new train; -21 when the user cancels.
Status ShowTrainProgress() {
  CmdData* cd = pCmdData;
  CmdSetMsg("Sort train %u\r", cd->trainCount);
  if (CmdOutInfoStringCan(cd->msgBuf) != 0) {
    CmdOutInfoString(operCancel);
    return kErrCanceled;
  }
  return kOk;
}

// The most keys a tree of 16 levels holds, (keysPerNode + 1)^16 − 1; false
// when that exceeds the 64-bit range.
bool TreeCapacity(uint64_t* capacity) {
  uint64_t base = static_cast<uint64_t>(pCmdData->keysPerNode) + 1;
  uint64_t v = 1;
  for (int i = 0; i < kMaxTreeDepth; ++i) {
    if (__builtin_mul_overflow(v, base, &v)) return false;
  }
  *capacity = v - 1;
  return true;
}

void ReportCounts() {
  CmdData* cd = pCmdData;
  CmdBuildFormat("%%%su records, %%lu deleted entries\n");
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  snprintf(cd->msgBuf, kMsgBufSize, gFormat, static_cast<unsigned long long>(cd->recCount),
           static_cast<unsigned long>(cd->deletedCount));
  CmdOutInfoString(cd->msgBuf);
  uint64_t capacity;
  if (!TreeCapacity(&capacity)) return;  // no record count can come near it
  uint64_t limit = capacity / 100 * 95 + capacity % 100 * 95 / 100;  // exact, no wrap-around
  if (cd->recCount <= limit) return;
  CmdBuildFormat(
      "Record count of (%%%su) is more than 95 percent of %%%su records allowed for this ISI "
      "file!\n");
  snprintf(cd->msgBuf, kMsgBufSize, gFormat, static_cast<unsigned long long>(cd->recCount),
           static_cast<unsigned long long>(capacity));
#pragma GCC diagnostic pop
  CmdOutInfoString(cd->msgBuf);
}

}  // namespace

Status SaveSortedSub() {
  CmdData* cd = pCmdData;
  uint8_t** ptr = cd->itemPtrArea;
  if (IsEndOfRun(cd->highItem)) {
    StartTrain(cd->trainFilePos);  // the first train
  } else if (CompareItems(cd->highItem + kItemKeyOfs, ptr[0]) > 0) {
    if (WriteEndOfRunItem(cd->failFd) != kOk) return -1;  // close the current train
    cd->trainFilePos += cd->itemLen;
    StartTrain(cd->trainFilePos);
  } else {
    --cd->trainCount;  // continues the current train; the caller's count restores it
  }
  cd->trainFilePos += static_cast<uint64_t>(cd->itemsInMem - 1) * cd->itemLen;
  const uint8_t* lastReal = nullptr;
  for (uint32_t i = 0; i < cd->itemsInMem - 1; ++i) {
    // Sorted, the items are gathered from all over the sort memory: ask for
    // those a few pointers ahead early. (The pointer array has itemsInMem
    // entries; those past the end-of-run item are stale or null, which a
    // prefetch of the pointer as it stands, the item's key, never minds.)
    if (i + kGatherAhead < cd->itemsInMem) __builtin_prefetch(ptr[i + kGatherAhead]);
    const uint8_t* item = ptr[i] - kItemKeyOfs;
    if (OutWrite(cd->failFd, item, cd->itemLen) != kOk) return -1;
    if (IsEndOfRun(item)) break;  // a partial sub-list closes its train
    lastReal = item;
  }
  if (OutFlush(cd->failFd) != kOk) return -1;
  if (lastReal != nullptr) memcpy(cd->highItem, lastReal, cd->itemLen);
  return kOk;
}

Status SortMain() {
  CmdData* cd = pCmdData;
  cd->trainCount = 0;
  bool saved = false;
  if (cd->maxTrains == 0) return TooManyTrains();  // no room for even one train start
  Status r;
  do {
    r = CreateSubList();
    if (r != kOk && r != kSubListLast) return r;
    if (cd->recCount > kMaxRecords) {
      CmdOutInfoString("\nToo many records to index\n");
      return kErrTooMany;
    }
    SortSubList();
    if (r == kOk || cd->trainCount > 0) {
      saved = true;
      if (SaveSortedSub() != kOk) return kErrTempWrite;
      if (++cd->trainCount >= cd->maxTrains) return TooManyTrains();
      Status s = ShowTrainProgress();
      if (s != kOk) return s;
    }
  } while (r != kSubListLast);
  cd->recCount = 0;
  if (!saved) {
    if (SaveSortedSub() != kOk) return kErrTempWrite;
    ++cd->trainCount;
  } else {
    CmdOutInfoString("\n");
  }
  if (WriteEndOfRunItem(cd->failFd) != kOk || OutFlush(cd->failFd) != kOk) return kErrTempWrite;
  r = DoFancyMerge();
  if (r != kOk) return r;
  cd->recCount += 1000 - cd->progressCountdown;
  ReportCounts();
  return kOk;
}
