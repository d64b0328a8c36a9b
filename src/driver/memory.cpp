// The allocation wrappers through which the run's buffers are obtained and
// released, from the run's Env.
#include "driver/cleanup.h"
#include "driver/sys_io.h"

void* CmdMalloc(uint32_t size) {
  const kel::Env* env = SysEnv();
  return env->allocate(env, size);
}

void CmdFree(void* pointer) {
  const kel::Env* env = SysEnv();
  if (pointer != nullptr) env->release(env, pointer);
}
