// kelindex: builds, shows, rebuilds and compacts ISI index files.
#include <cstdio>
#include <cstdlib>

#include "driver/cleanup.h"
#include "driver/cmd_data.h"
#include "driver/driver.h"
#include "driver/sys_io.h"

int main(int argc, char** argv) {
#ifdef KEL_FAULT_FROM_ENV
  // Test build: an I/O fault plan from the environment (see driver/sys_io.h).
  if (const char* text = getenv("KELINDEX_FAULT")) {
    FaultPlan plan;
    if (!SysParseFaultPlan(text, &plan)) {
      fprintf(stderr, "kelindex_fi: bad KELINDEX_FAULT '%s'\n", text);
      return 2;
    }
    SysSetFaultPlan(plan);
    atexit([] {
      if (SysFaultFired()) fprintf(stderr, "kelindex_fi: fault fired\n");
    });
  }
#endif
  pCmdData = &gCmdData;
  CmdInstallInterruptHandler();
  Status status = FhSortIndex(argc, argv, stdout);
  return status == 0 ? 0 : 1;
}
