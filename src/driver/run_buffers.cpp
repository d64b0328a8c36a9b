// The memory a run holds: the three fixed buffers, the sort-train table, the
// sort memory and its geometry, and their release.
#include <cstring>

#include "driver/cleanup.h"
#include "driver/cmd_data.h"
#include "driver/driver.h"
#include "driver/messages.h"
#include "driver/run_steps.h"
#include "driver/sys_io.h"

namespace {

// Clears the field before the block goes, so that nothing reached through
// the run context ever points at released memory.
template <typename T>
void FreeField(T*& field) {
  T* block = field;
  field = nullptr;
  if (block != nullptr) CmdFree(block);
}

// The tree build's 17-sector block and every pointer into it.
void FreeIsiBlock(CmdData* cd) {
  uint8_t* block = cd->isiBlock != nullptr ? cd->isiBlock : cd->levelSector[0];
  cd->isiBlock = nullptr;
  for (int i = 0; i < kMaxTreeLevels; ++i) {
    cd->levelSector[i] = nullptr;
    cd->levelTrailer[i] = nullptr;
  }
  cd->ddrSector = nullptr;
  cd->ddrTrailer = nullptr;
  if (block != nullptr) CmdFree(block);
}

// The sort memory is mapped, not taken from the heap; it goes back here
// rather than living on to the end of the process, so that an embedding
// host can run one command after another.
void ReleaseSortMemory(CmdData* cd) {
  uint8_t* block = cd->sortMem;
  uint64_t size = cd->sortMemSize;
  cd->sortMem = nullptr;
  cd->sortMemSize = 0;
  cd->itemPtrArea = nullptr;
  if (block != nullptr) SysUnmapMemory(block, size);
}

}  // namespace

Status AllocRunBuffers() {
  CmdData* cd = pCmdData;
  cd->outBuf = static_cast<uint8_t*>(CmdMalloc(kOutBufSize));
  if (cd->outBuf != nullptr) {
    cd->outBufPtr = cd->outBuf;
    cd->outBufFree = kOutBufSize;
    cd->recBuf = static_cast<uint8_t*>(CmdMalloc(kRecBufSize));
  }
  if (cd->recBuf != nullptr) cd->parseLine = static_cast<char*>(CmdMalloc(kParseLineSize));
  if (cd->parseLine == nullptr) {
    CmdOutInfoString("Insufficient Memory for Buffers.\n");
    return kErrMemory;
  }
  cd->parseLine[0] = '\0';
  return kOk;
}

uint64_t TakeSortMemory(uint64_t size) {
  CmdData* cd = pCmdData;
  ReleaseSortMemory(cd);
  // One request is one positive 32-bit count; the leading option -m never
  // asks for more, but a larger request is brought within reach by the same
  // halving that follows a refusal.
  while (size >= kSortRequestLimit) size >>= 1;
  // Below the floor the sort could not hold even its end-of-run items.
  while (size >= kMinSortMemory) {
    void* block = SysMapMemory(size);
    if (block != nullptr) {
      cd->sortMem = static_cast<uint8_t*>(block);
      cd->sortMemSize = size;
      return size;
    }
    size >>= 1;
  }
  return 0;
}

void SetSortGeometry() {
  CmdData* cd = pCmdData;
  // The memory holds itemsInMem items followed by one 8-byte pointer each.
  // One item's room is given up, so that the pointer area, which starts on
  // an 8-byte boundary, always ends inside the block.
  uint32_t fit = static_cast<uint32_t>(cd->sortMemSize / (cd->itemLen + 8ull));
  cd->itemsInMem = fit - 1;
  uint32_t itemBytes = (cd->itemsInMem * cd->itemLen + 7u) & ~7u;
  cd->itemPtrArea = reinterpret_cast<uint8_t**>(cd->sortMem + itemBytes);
}

Status AllocSortStructures() {
  CmdData* cd = pCmdData;
  cd->keyLen = cd->keySpecLen;
  cd->itemLen = cd->keyLen + 10;
  cd->trainTable = static_cast<uint64_t*>(CmdMalloc(cd->maxTrains * 8u));
  const char* failure = nullptr;
  if (cd->trainTable == nullptr) {
    failure = "Sort train memory allocation failed.\n";
  } else {
    cd->sortMemSize = TakeSortMemory(cd->maxMemory);
    if (cd->sortMemSize == 0) failure = "Memory allocation failed.\n";
  }
  if (failure != nullptr) {
    CmdOutInfoString(failure);
    CmdCloseAllFiles(1);
    CmdFreeBuffers();
    return kErrMemory;
  }
  cd->trainNext = cd->trainBase = cd->trainTable;
  return kOk;
}

void CmdFreeBuffers() {
  CmdData* cd = pCmdData;
  if (cd == nullptr) return;
  FreeField(cd->dbPath);
  cd->trainNext = cd->trainBase = nullptr;
  FreeField(cd->trainTable);
  FreeField(cd->tmpName1);
  FreeField(cd->tmpName2);
  FreeIsiBlock(cd);
  cd->outBufPtr = nullptr;
  cd->outBufFree = 0;
  FreeField(cd->outBuf);
  FreeField(cd->recBuf);
  FreeField(cd->parseLine);
  ReleaseSortMemory(cd);
}
