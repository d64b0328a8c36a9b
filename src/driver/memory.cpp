// The allocation wrappers through which the run's buffers are obtained, with
// a seam that lets a test make one chosen allocation fail.
#include <cstdlib>

#include "driver/cleanup.h"

namespace {

uint64_t gFailAt = 0;  // the CmdMalloc call that fails, 1-based; 0 = none
uint64_t gCalls = 0;
bool gFailed = false;  // the chosen call has failed
int64_t gLive = 0;     // blocks obtained and not yet given back

}  // namespace

void* CmdMalloc(uint32_t size) {
  if (gFailAt != 0 && ++gCalls == gFailAt) {
    gFailed = true;
    return nullptr;
  }
  void* block = malloc(size);
  if (block != nullptr) ++gLive;
  return block;
}

void CmdFree(void* pointer) {
  if (pointer != nullptr) --gLive;
  free(pointer);
}

int64_t CmdLiveAllocations() {
  return gLive;
}

void CmdSetAllocFailAt(uint64_t n) {
  gFailAt = n;
  gCalls = 0;
  gFailed = false;
}

bool CmdAllocFailFired() {
  return gFailed;
}
