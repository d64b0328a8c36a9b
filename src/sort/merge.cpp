// The merge of the sort trains: pass by pass, groups of up to 30 trains are
// merged from the work file just written into the other one, until one pass
// can merge what is left into the output routine. The sort memory is reused
// for one block of items per train of the group.
#include "sort/merge.h"

#include <unistd.h>

#include <cstring>
#include <ctime>
#include <utility>

#include "core/sort_item.h"
#include "driver/cleanup.h"
#include "driver/cmd_data.h"
#include "driver/messages.h"
#include "driver/sys_io.h"
#include "sort/item_sort.h"
#include "sort/key_compare.h"
#include "sort/out_buffer.h"

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
// follows, creates it anew, empty, to receive that pass's output. An
// interrupt is held off from the close to the new file's creation, so that
// it finds the work file recorded in its descriptor field or gone.
Status RetireMergeInput(bool anotherPass) {
  CmdData* cd = pCmdData;
  sigset_t mask;
  CmdDeferInterrupt(&mask);
  SysClose(cd->mergeInFd);
  cd->mergeInFd = -1;
  bool readFile2 = cd->failFd == cd->tmpFd1;
  int32_t& fdField = readFile2 ? cd->tmpFd2 : cd->tmpFd1;
  const char* name = readFile2 ? cd->tmpName2 : cd->tmpName1;
  fdField = -1;
  int fd = -1;
  if (name != nullptr) {
    snprintf(cd->scratchName, kNameSize, "%s", name);
    SysUnlink(cd->scratchName);
    if (anotherPass) fd = SysOpen(cd->scratchName, O_RDWR | O_CREAT | O_TRUNC, 0666);
    if (fd >= 0) fdField = fd;
  }
  CmdAllowInterrupt(&mask);
  if (!anotherPass) return kOk;
  if (name == nullptr) return kErrTempWrite;
  if (fd < 0) {
    CmdShowf("Unable to create temporary work file %s\n", cd->scratchName);
    return kErrTempWrite;
  }
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

// The smallest current item of the group, chosen by a tournament (a loser
// tree) over the slots: each internal match node keeps the slot that lost
// there, the overall winner stands above them. Slot i plays from leaf
// node mergeTreeSlots + i; node n's children are 2n and 2n + 1.
//
// A call with mergeWinner NULL (a freshly loaded group) plays the whole
// tournament: slots − 1 comparisons. Every later call knows that only the
// winner's slot has moved on, so it replays just the matches on that slot's
// path to the top: about log2(slots) comparisons, five for 30 trains,
// where a scan of all slots costs 29 once the winner's train is passed.
// The order is total (record positions are unique), so the winner is the
// same item a full scan finds; only end-of-run items tie, and when one of
// them wins every train of the group is exhausted.
int32_t MergeSelect() {
  CmdData* cd = pCmdData;
  MergeSlot* slots = cd->mergeSlots;
  const uint32_t keyLen = cd->keyLen;
  int32_t* loser = cd->mergeTree;
  // True when slot a's current item sorts before slot b's.
  auto before = [&](int32_t a, int32_t b) {
    return ItemKeyAfter(slots[b].current + kItemKeyOfs, slots[a].current + kItemKeyOfs, keyLen);
  };
  uint64_t* loserHead = cd->mergeTreeHead;
  int32_t winner;
  if (cd->mergeWinner == nullptr || cd->mergeTreeSlots < 2) {
    int32_t k = 0;
    while (k < kMaxFanIn && slots[k].current != nullptr) ++k;
    cd->mergeTreeSlots = k;
    // Winners of the matches, bottom-up; leaves k .. 2k − 1 are the slots.
    int32_t won[2 * kMaxFanIn];
    for (int32_t i = 0; i < k; ++i) won[k + i] = i;
    for (int32_t n = k - 1; n >= 1; --n) {
      int32_t a = won[2 * n], b = won[2 * n + 1];
      bool bWins = before(b, a);
      won[n] = bWins ? b : a;
      loser[n] = bWins ? a : b;
      loserHead[n] = KeyHead(slots[loser[n]].current + kItemKeyOfs, keyLen);
    }
    winner = k > 1 ? won[1] : 0;
  } else {
    // The matches compare the key heads each node keeps for its loser, so a
    // replay reads no item unless two heads are equal. The exchanges go
    // through a mask, all ones when the other item wins: written as
    // selections, the compiler made the stores a branch on the outcome,
    // which on random keys the processor misses half of the time.
    int32_t k = cd->mergeTreeSlots;
    winner = cd->mergeWinnerIdx;
    uint64_t winHead = KeyHead(slots[winner].current + kItemKeyOfs, keyLen);
    for (int32_t n = (k + winner) / 2; n >= 1; n /= 2) {
      int32_t other = loser[n];
      uint64_t head = loserHead[n];
      if (head == winHead) [[unlikely]] {
        // Equal heads (keys that repeat, or share their first bytes): the
        // items decide, and only the two indices can change places.
        if (ItemRestAfter(slots[winner].current + kItemKeyOfs, slots[other].current + kItemKeyOfs,
                          keyLen)) {
          loser[n] = winner;
          winner = other;
        }
        continue;
      }
      const uint64_t take = uint64_t{0} - (head < winHead);  // all ones when the other wins
      const int32_t takeIdx = static_cast<int32_t>(take);
      loser[n] = other ^ ((other ^ winner) & takeIdx);
      loserHead[n] = head ^ ((head ^ winHead) & take);
      winner ^= (winner ^ other) & takeIdx;
      winHead ^= (winHead ^ head) & take;
    }
  }
  cd->mergeWinnerIdx = winner;
  cd->mergeWinner = slots[winner].current;
  cd->mergeRunnerUp = nullptr;
  return winner;
}
