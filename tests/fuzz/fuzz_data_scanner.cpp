// Fuzz target: the data scanner and the external sort. The input's first
// byte chooses a command (record format and selection options: fixed, v,
// s, b, f, g, p tests, upper case, duplicate handling) and the in-memory
// sort; the rest is the data file. The run goes the driver's way through
// parseMain, the smallest sort memory (so that even small inputs make
// several sort trains), SortMain and the tree build, with an output routine
// that checks the merge's order before it hands every item on.
//
// Checked: items arrive in key order (then record position) and lie inside
// the data file; a successful run leaves an ISI that is sound and holds the
// delivered keys; a failed run leaves no ISI; no descriptor, work file or
// buffer outlives the input.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/sort_item.h"
#include "driver/cmd_data.h"
#include "driver/run_steps.h"
#include "fuzz_util.h"
#include "isi/tree_build.h"
#include "options/parser.h"
#include "sort/merge.h"
#include "sort/out_buffer.h"

namespace {

const char* const kCommands[] = {
    "d.txt,d.isi -1-8",
    "d.txt,d.isi -v,1-40",
    "d.txt,d.isi -s,1-4,9-12",
    "d.txt,d.isi -sb,20-1",
    "d.txt,d.isi -f=16,1-8",
    "d.txt,d.isi -g=16,1-6,9-14",
    "d.txt,d.isi -p3=A,1-30",
    "d.txt,d.isi -p=\"1='A'&3N>'5'|5 E 'X'\",1-8",
    "d.txt,d.isi -u,n0,1-4,10-12",
    "d.txt,d.isi -v,p2#B,p4=\"\"\",8-1",
    "d.txt,d.isi -w,e,1-3",
    "d.txt,d.isi -n,1-2",
    "d.txt,d.isi -s,x,m50,1-20",
    "d.txt,d.isi,l30 -v,n$,1-30",
    "d.txt,d.isi -v,p#\"2N<='-1.5'&1<>'Z'\",3-5",
    "d.txt,d.isi,l12 -1-12",
};
constexpr size_t kCommandCount = sizeof kCommands / sizeof kCommands[0];

uint64_t gDataSize = 0;
std::vector<std::string> gDelivered;  // keys in the order the merge delivered them
std::string gLast;                    // the last item delivered

int32_t CheckingOutput(uint8_t* item) {
  CmdData* cd = pCmdData;
  std::string cur(reinterpret_cast<const char*>(item), cd->itemLen);
  if (!gLast.empty()) {
    int c = memcmp(gLast.data() + kItemKeyOfs, item + kItemKeyOfs, cd->keyLen);
    FZ_CHECK(c < 0 || (c == 0 && ItemPosition(item) >
                                     ItemPosition(reinterpret_cast<const uint8_t*>(gLast.data()))));
  }
  // A last record without its end mark is counted with the mark all the same.
  FZ_CHECK(ItemPosition(item) + ItemLength(item) <= gDataSize + cd->eorLen);
  gLast = cur;
  gDelivered.emplace_back(cur.substr(kItemKeyOfs));
  return WriteTagRecord(item);
}

// The index job as the driver runs it, with the checking output routine.
Status BuildIndex() {
  CmdData* cd = pCmdData;
  Status st = parseMain(cd->parseLine);
  if (st != kOk) {
    CmdCloseAllFiles(1);
    CmdFreeBuffers();
    return st;
  }
  cd->maxMemory = kMinSortMemory;
  st = AllocSortStructures();
  if (st != kOk) return st;
  SetSortGeometry();
  auto keyLen = static_cast<int32_t>(cd->keySpecLen);
  st = IsiBuildBegin(keyLen, (keyLen + 15) & 0xFFFC);
  if (st == kOk) {
    cd->outRecFn = CheckingOutput;
    st = SortMain();
  }
  if (st == kOk) st = IsiBuildFinish();
  if (st != kOk) HandleIndexFailure(st);
  st = CloseJobFiles(st);
  CmdFreeBuffers();
  return SettleRunOutputs(st);
}

void CheckIndex(bool dupsDropped) {
  std::vector<std::string> walk = fz::IndexKeys(fz::PathIn("d.isi"));
  if (dupsDropped) {
    FZ_CHECK(walk.size() <= gDelivered.size());
    return;
  }
  FZ_CHECK(walk == gDelivered);
}

void RemoveInputFiles() {
  for (const char* name : {"d.txt", "d.isi", "d.ERR"}) unlink(fz::PathIn(name).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fz::UseOwnTmpDir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const char* command = kCommands[data[0] % kCommandCount];
  fz::WriteFile(fz::PathIn("d.txt"), data + 1, size - 1);
  gDataSize = size - 1;
  gDelivered.clear();
  gLast.clear();
  {
    fz::LeakGuard guard(fz::PathIn("w"));
    fz::StartRun();
    CmdData* cd = pCmdData;
    cd->sortMethod = (data[0] / kCommandCount) & 1;
    snprintf(cd->parseLine, kParseLineSize, "%s", command);
    Status st = BuildIndex();
    if (st == kOk) {
      CheckIndex(cd->dupIgnore != 0);
    } else {
      FZ_CHECK(access(fz::PathIn("d.isi").c_str(), F_OK) != 0);
    }
  }
  RemoveInputFiles();
  return 0;
}
