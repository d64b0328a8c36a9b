// kelindex_fi: kelindex running on the tests' FaultEnv, for the tests that
// make each system call of a run fail in turn. The plan comes from
// KELINDEX_FAULT ("N:classes:what[:sticky]", see support/fault_env.h).
// When the plan made a call fail, standard error says so, and with
// KELINDEX_FAULT_TRACE set also which call it was: a test decides by it
// what the run may leave behind (a failed unlink leaves its file).
#include <cstdio>
#include <cstdlib>

#include "driver/driver.h"
#include "driver/sys_io.h"
#include "support/fault_env.h"

int main(int argc, char** argv) {
  static kt::FaultEnv env;
  if (const char* text = getenv("KELINDEX_FAULT")) {
    kt::FaultPlan plan;
    if (!kt::ParseFaultPlan(text, &plan)) {
      fprintf(stderr, "kelindex_fi: bad KELINDEX_FAULT '%s'\n", text);
      return 2;
    }
    env.SetPlan(plan);
  }
  SysUseEnv(&env);
  int status = KelindexMain(argc, argv);
  if (env.Fired()) {
    fprintf(stderr, "kelindex_fi: fault fired\n");
    if (getenv("KELINDEX_FAULT_TRACE") != nullptr) {
      fprintf(stderr, "kelindex_fi: fault in %s\n", env.FiredCall().c_str());
    }
  }
  return status;
}
