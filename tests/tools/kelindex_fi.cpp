// kelindex_fi: kelindex running on the tests' FaultEnv, for the tests that
// make each system call of a run fail in turn. The plan comes from
// KELINDEX_FAULT ("N:classes:what[:sticky]", see support/fault_env.h).
// When the plan made a call fail, standard error says so, and with
// KELINDEX_FAULT_TRACE set also which call it was: a test decides by it
// what the run may leave behind (a failed unlink leaves its file).
//
// With KELINDEX_PAUSE ("N:DIR") instead, the run stops before its N-th
// write: it opens the FIFO DIR/reached for writing, which waits for the
// test to open it, then DIR/go for reading, which waits until the test
// opens it too and lets the run go on. A test sees the files as the run
// leaves them at that moment, without any timing.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "driver/driver.h"
#include "driver/sys_io.h"
#include "support/fault_env.h"

namespace {

uint64_t gPauseAt = 0, gWrites = 0;
std::string gPauseDir;

void Pause() {
  int fd = open((gPauseDir + "/reached").c_str(), O_WRONLY);
  if (fd >= 0) close(fd);
  fd = open((gPauseDir + "/go").c_str(), O_RDONLY);
  char c;
  while (fd >= 0 && read(fd, &c, 1) > 0) {
  }
  if (fd >= 0) close(fd);
}

kel::Env PauseEnv() {
  kel::Env env = *kel::PosixEnv();
  env.write = [](const kel::Env*, int fd, const void* buf, size_t len) -> ssize_t {
    if (++gWrites == gPauseAt) Pause();
    return kel::PosixEnv()->write(kel::PosixEnv(), fd, buf, len);
  };
  return env;
}

}  // namespace

int main(int argc, char** argv) {
  static kt::FaultEnv env;
  if (const char* pause = getenv("KELINDEX_PAUSE")) {
    char* dir = nullptr;
    gPauseAt = strtoull(pause, &dir, 10);
    gPauseDir = *dir == ':' ? dir + 1 : "";
    static kel::Env pausing = PauseEnv();
    SysUseEnv(&pausing);
    return KelindexMain(argc, argv);
  }
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
