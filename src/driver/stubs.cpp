// Placeholders for the driver routines until they are written.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "driver/cleanup.h"
#include "driver/cmd_data.h"
#include "driver/driver.h"
#include "driver/leading_options.h"
#include "driver/messages.h"
#include "driver/profile.h"

const char* const VERSION = "Version 10.8   07 Oct 2025";
const char* const utlname = "kelindex";
uint64_t gRecCountTimeOut = 0;

Status FhSortIndex(int, char**, FILE*) {
  return kUsageShown;
}
uint64_t hugemem(uint64_t) {
  return 0;
}
void CmdFreeBuffers() {}
const char* CmdGetEnv(const char* name) {
  return getenv(name);
}
uint32_t GetQrxProfileStringUtil(const char*, const char*, const char*, char*, uint32_t,
                                 const char*) {
  return 0;
}
uint32_t ReadProfileLine(int) {
  return 0;
}
void CmdCloseAllFiles(uint8_t) {}
void CmdCloseLog() {}
void CmdInstallInterruptHandler() {}
void FhCmdRecTimeOut(uint64_t) {}
void FhCmdCleanup() {}
void ctimex(int64_t, char* out) {
  out[0] = '\0';
}
int TakeLogOption(int, char**) {
  return 1;
}
Status TakeLeadingOptions(int, char**, int*) {
  return 0;
}
