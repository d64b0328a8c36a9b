// The allocation wrappers through which the run's buffers are obtained and
// released, from the run's Env.
#include "driver/cleanup.h"
#include "driver/sys_io.h"

void* CmdMalloc(uint32_t size) {
  return SysEnv()->Malloc(size);
}

void CmdFree(void* pointer) {
  if (pointer != nullptr) SysEnv()->Free(pointer);
}
