// The merge of the sort trains: pass by pass, groups of up to 30 trains are
// merged from the work file just written into the other one, until one pass
// can merge what is left into the output routine. The sort memory is reused
// for one block of items per train of the group.
#include "sort/merge.h"

#include <unistd.h>

#include <cstring>
#include <ctime>
#include <utility>

#include "driver/cleanup.h"
#include "driver/cmd_data.h"
#include "driver/messages.h"
#include "driver/sys_io.h"
#include "sort/item_sort.h"
#include "sort/out_buffer.h"
#include "sort/sort_item.h"

namespace {

constexpr uint32_t kOnePassTrains = 30;   // trains one pass may merge
constexpr uint32_t kTwoPassTrains = 900;  // trains two passes may merge
constexpr uint32_t kMinFanIn = 6;
constexpr int kBlockRetries = 3;
constexpr uint32_t kCountStep = 1000;

// The number of trains merged at once, and whether the first pass is final.
uint32_t ChooseFanIn(uint32_t trains, bool* firstIsFinal) {
  CmdData* cd = pCmdData;
  if (trains <= kOnePassTrains && trains <= cd->itemsInMem - 1) {
    *firstIsFinal = true;
    return trains;
  }
  *firstIsFinal = false;
  uint32_t f = kMinFanIn;
  for (;; ++f) {
    uint64_t reach = static_cast<uint64_t>(f) * f;
    if (trains > kTwoPassTrains) reach *= f;
    if (reach >= trains) return f;
  }
}

// Shows a cancellable progress line from msgBuf; -21 when the user cancels.
Status ShowProgress() {
  if (CmdOutInfoStringCan(pCmdData->msgBuf) != 0) {
    CmdOutInfoString(operCancel);
    return kErrCanceled;
  }
  return kOk;
}

// Reads one block of a train from the merge input. A short read is retried
// three times and accepted when it ends at the end of the file: the
// end-of-run item that closes the train keeps the merge from the rest.
Status ReadBlock(uint64_t offset, uint8_t* dest, uint32_t blockLen, bool refill) {
  CmdData* cd = pCmdData;
  int retries = kBlockRetries;
  for (;;) {
    ssize_t n = -1;
    if (SysLseek(cd->mergeInFd, static_cast<off_t>(offset), SEEK_SET) >= 0) {
      n = SysRead(cd->mergeInFd, dest, blockLen);
    }
    if (n == static_cast<ssize_t>(blockLen)) return kOk;
    if (retries == 0) {
      if (cd->diagMode) {
        CmdShowf("\nDoFancyMerge(%d): Invalid blkLgt size read! %d:%d\n", refill ? 3 : 1,
                 static_cast<int>(blockLen), static_cast<int>(n));
      }
      return kErrTempRead;
    }
    --retries;
    off_t size = SysLseek(cd->mergeInFd, 0, SEEK_END);
    if (n >= 0 && size >= 0 && static_cast<uint64_t>(size) == offset + static_cast<uint64_t>(n)) {
      return kOk;
    }
    if (cd->diagMode) {
      CmdShowf(
          "\nDoFancyMerge(%d):\n Retry:%d  At location:0x%.8llX  Bytes read was:%d Should "
          "be:%d\n",
          refill ? 4 : 2, retries, static_cast<unsigned long long>(offset), static_cast<int>(n),
          static_cast<int>(blockLen));
    }
  }
}

struct PassGeometry {
  uint32_t fanIn;
  uint32_t blockItems;  // b: items per block
  uint32_t blockLen;    // b × itemLen
  bool final;
};

// Hands an item of the final pass to the output routine and keeps the
// record count, in steps of 1000, with its progress line.
Status Deliver(uint8_t* item, time_t* t0) {
  CmdData* cd = pCmdData;
  Status s = cd->outRecFn(item);
  if (s != 0) return s;
  if (--cd->progressCountdown != 0) return kOk;
  cd->progressCountdown = kCountStep;
  cd->recCount += kCountStep;
  if (!cd->showRecCount) return kOk;
  time_t now = time(nullptr);
  if (now <= *t0 || static_cast<uint64_t>(now - *t0) <= gRecCountTimeOut) return kOk;
  *t0 = now;
  CmdSetMsg("%llu records\r", static_cast<unsigned long long>(cd->recCount));
  return ShowProgress();
}

// Loads the group's trains, one block each, starting at trainBase. Returns
// the number of trains loaded through *loaded.
Status LoadGroup(const PassGeometry& g, uint32_t trainsLeft, uint32_t* loaded) {
  CmdData* cd = pCmdData;
  uint32_t n = 0;
  for (; n < g.fanIn && n < trainsLeft; ++n) {
    uint64_t offset = *cd->trainBase++;
    MergeSlot& slot = cd->mergeSlots[n];
    slot.block = cd->sortMem + static_cast<uint64_t>(n) * g.blockLen;
    Status s = ReadBlock(offset, slot.block, g.blockLen, false);
    if (s != kOk) return s;
    slot.current = slot.block;
    slot.nextPos = offset + g.blockLen;
    slot.left = g.blockItems;
  }
  cd->mergeSlots[n].current = nullptr;  // the end slot: MergeSelect stops here
  cd->mergeWinner = nullptr;
  cd->mergeRunnerUp = nullptr;
  *loaded = n;
  return kOk;
}

// Merges the loaded group until every train of it is exhausted.
Status MergeGroup(const PassGeometry& g, uint32_t trains, time_t* t0) {
  CmdData* cd = pCmdData;
  for (;;) {
    int32_t w = 0;
    if (trains > 1) {
      w = MergeSelect();
    } else {
      cd->mergeWinner = cd->mergeSlots[0].current;
    }
    if (IsEndOfRun(cd->mergeWinner)) return kOk;
    if (g.final) {
      Status s = Deliver(cd->mergeWinner, t0);
      if (s != kOk) return s;
    } else {
      if (OutWrite(cd->failFd, cd->mergeWinner, cd->itemLen) != kOk) return kErrTempWrite;
      cd->trainFilePos += cd->itemLen;
    }
    MergeSlot& slot = cd->mergeSlots[w];
    if (--slot.left > 0) {
      slot.current += cd->itemLen;
      continue;
    }
    Status s = ReadBlock(slot.nextPos, slot.block, g.blockLen, true);
    if (s != kOk) return s;
    slot.nextPos += g.blockLen;
    slot.current = slot.block;
    slot.left = g.blockItems;
  }
}

// Closes the merged group's output train in a non-final pass.
Status CloseOutputTrain(uint64_t* runStart) {
  CmdData* cd = pCmdData;
  uint8_t eor[kMaxItemLen];
  memset(eor, 0xFF, sizeof eor);
  if (OutWrite(cd->failFd, eor, cd->itemLen) != kOk || OutFlush(cd->failFd) != kOk) {
    return kErrTempWrite;
  }
  *cd->trainNext++ = *runStart;
  cd->trainFilePos += cd->itemLen;
  *runStart = cd->trainFilePos;
  return kOk;
}

// Closes and deletes the work file the pass has read; when another pass
// follows, creates it anew, empty, to receive that pass's output.
Status RetireMergeInput(bool anotherPass) {
  CmdData* cd = pCmdData;
  SysClose(cd->mergeInFd);
  cd->mergeInFd = -1;
  bool readFile2 = cd->failFd == cd->tmpFd1;
  int32_t& fdField = readFile2 ? cd->tmpFd2 : cd->tmpFd1;
  const char* name = readFile2 ? cd->tmpName2 : cd->tmpName1;
  fdField = -1;
  if (name == nullptr) return anotherPass ? kErrTempWrite : kOk;
  snprintf(cd->scratchName, kNameSize, "%s", name);
  SysUnlink(cd->scratchName);
  if (!anotherPass) return kOk;
  int fd = SysOpen(cd->scratchName, O_RDWR | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) {
    CmdShowf("Unable to create temporary work file %s\n", cd->scratchName);
    return kErrTempWrite;
  }
  fdField = fd;
  cd->mergeInFd = fd;
  return kOk;
}

// One pass over the trains of the file just written.
Status MergePass(const PassGeometry& g, time_t* t0) {
  CmdData* cd = pCmdData;
  cd->trainFilePos = 0;
  cd->trainBase = cd->trainNext = cd->trainTable;
  std::swap(cd->mergeInFd, cd->failFd);
  uint32_t groups = 0, taken = 0;
  uint64_t runStart = 0;
  while (taken < cd->trainCount) {
    ++groups;
    if (!g.final) {
      CmdSetMsg("Merge pass %u\r", groups);
      Status s = ShowProgress();
      if (s != kOk) return s;
    }
    uint32_t loaded = 0;
    Status s = LoadGroup(g, cd->trainCount - taken, &loaded);
    if (s != kOk) return s;
    taken += loaded;
    s = MergeGroup(g, loaded, t0);
    if (s != kOk) return s;
    if (!g.final) {
      s = CloseOutputTrain(&runStart);
      if (s != kOk) return s;
    }
  }
  if (!g.final) CmdOutInfoString("\n");
  cd->trainCount = groups;
  return RetireMergeInput(cd->trainCount > 1);
}

}  // namespace

Status DoFancyMerge() {
  CmdData* cd = pCmdData;
  if (cd->trainCount == 0) return kOk;  // nothing was saved
  PassGeometry g{};
  g.fanIn = ChooseFanIn(cd->trainCount, &g.final);
  if (g.fanIn > static_cast<uint32_t>(kMaxFanIn)) {
    CmdOutInfoString("\nToo many sort trains\n");
    return kErrTooMany;
  }
  uint64_t blockItems = (cd->sortMemSize / cd->itemLen - 1) / g.fanIn;
  if (blockItems == 0) {
    CmdShowf("Sort memory too small to merge %u sort trains.\n", g.fanIn);
    return kErrMemory;
  }
  g.blockItems = static_cast<uint32_t>(blockItems);
  g.blockLen = g.blockItems * cd->itemLen;
  time_t t0 = time(nullptr);
  for (;;) {
    Status s = MergePass(g, &t0);
    if (s != kOk) return s;
    if (g.final || cd->trainCount <= 1) return kOk;
    g.final = cd->trainCount <= g.fanIn;
  }
}

int32_t MergeSelect() {
  CmdData* cd = pCmdData;
  MergeSlot* slots = cd->mergeSlots;
  if (cd->mergeWinner != nullptr && cd->mergeRunnerUp != nullptr) {
    // Only the winner's slot has moved since the last call.
    cd->mergeWinner = slots[cd->mergeWinnerIdx].current;
    cd->mergeRunnerUp = slots[cd->mergeRunnerUpIdx].current;
    if (faster(cd->mergeWinner + kItemKeyOfs, cd->mergeRunnerUp + kItemKeyOfs) < 0) {
      return cd->mergeWinnerIdx;
    }
  }
  cd->mergeWinner = slots[0].current;
  cd->mergeWinnerIdx = 0;
  cd->mergeRunnerUp = nullptr;
  for (int32_t i = 1; slots[i].current != nullptr; ++i) {
    uint8_t* p = slots[i].current;
    if (faster(p + kItemKeyOfs, cd->mergeWinner + kItemKeyOfs) < 0) {
      // The old winner is always below the runner-up: it becomes the runner-up.
      cd->mergeRunnerUp = cd->mergeWinner;
      cd->mergeRunnerUpIdx = cd->mergeWinnerIdx;
      cd->mergeWinner = p;
      cd->mergeWinnerIdx = i;
    } else if (cd->mergeRunnerUp == nullptr ||
               faster(p + kItemKeyOfs, cd->mergeRunnerUp + kItemKeyOfs) < 0) {
      cd->mergeRunnerUp = p;
      cd->mergeRunnerUpIdx = i;
    }
  }
  return cd->mergeWinnerIdx;
}
