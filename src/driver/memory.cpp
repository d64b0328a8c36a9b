// The allocation wrappers through which the run's buffers are obtained, with
// a seam that lets a test make one chosen allocation fail.
#include <cstdlib>

#include "driver/cleanup.h"

namespace {

uint64_t gFailAt = 0;  // the CmdMalloc call that fails, 1-based; 0 = none
uint64_t gCalls = 0;

}  // namespace

void* CmdMalloc(uint32_t size) {
  if (gFailAt != 0 && ++gCalls == gFailAt) return nullptr;
  return malloc(size);
}

void CmdFree(void* pointer) {
  free(pointer);
}

void CmdSetAllocFailAt(uint64_t n) {
  gFailAt = n;
  gCalls = 0;
}
