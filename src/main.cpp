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
      if (!SysFaultFired()) return;
      fprintf(stderr, "kelindex_fi: fault fired\n");
      // On request, which call it was: a test decides by it what the run
      // may leave behind (a failed unlink leaves its file).
      if (getenv("KELINDEX_FAULT_TRACE") != nullptr) {
        fprintf(stderr, "kelindex_fi: fault in %s\n", SysFaultFiredCall());
      }
    });
  }
#endif
  pCmdData = &gCmdData;
  CmdInstallInterruptHandler();
  Status status = FhSortIndex(argc, argv, stdout);
  return status == 0 ? 0 : 1;
}
