// The allocation wrappers through which the run's buffers are obtained.
#include <cstdlib>

#include "driver/cleanup.h"

void* CmdMalloc(uint32_t size) {
  return malloc(size);
}

void CmdFree(void* pointer) {
  free(pointer);
}
