// Placeholders for the driver routines until they are written.
#include <cstdarg>
#include <cstdio>

#include "driver/cleanup.h"
#include "driver/cmd_data.h"
#include "driver/driver.h"
#include "driver/leading_options.h"
#include "driver/messages.h"
#include "driver/profile.h"

const char* const VERSION = "Version 10.8   07 Oct 2025";
const char* const utlname = "kelindex";
char gFormat[104];
const char* const gLongLongFormat = "ll";
const char* const operCancel = "The operation was canceled by the user!\n";
uint64_t gRecCountTimeOut = 0;

Status FhSortIndex(int, char**, FILE*) { return kUsageShown; }
void CmdSetDefaults() {}
uint64_t hugemem(uint64_t) { return 0; }
void CmdFreeBuffers() {}
void CmdOutInfoString(const char*) {}
uint8_t CmdOutInfoStringCan(const char*) { return 0; }
uint8_t CmdInfoCallback(const char*) { return 0; }
void CmdHelp() {}
void CmdShowf(const char*, ...) {}
void CmdSetMsg(const char*, ...) {}
const char* CmdBuildFormat(const char*) { return gFormat; }
const char* CmdParseErrorText(Status) { return nullptr; }
void CmdReportIndexFailure(Status) {}
void CmdReportCompactFailure(Status) {}
const char* CmdGetEnv(const char*) { return nullptr; }
uint32_t GetQrxProfileStringUtil(const char*, const char*, const char*, char*, uint32_t,
                                 const char*) {
  return 0;
}
uint32_t ReadProfileLine(int) { return 0; }
void CmdCloseAllFiles(uint8_t) {}
void CmdCloseLog() {}
void CmdInstallInterruptHandler() {}
void FhCmdRecTimeOut(uint64_t) {}
void FhCmdCleanup() {}
void ctimex(int64_t, char* out) { out[0] = '\0'; }
void* CmdMalloc(uint32_t) { return nullptr; }
void CmdFree(void*) {}
int TakeLogOption(int, char**) { return 1; }
Status TakeLeadingOptions(int, char**, int*) { return 0; }
