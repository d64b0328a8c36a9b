// The defaults of a fresh run, applied to the zero-filled run context.
#include <cstring>

#include "driver/cmd_data.h"
#include "driver/driver.h"
#include "isi/ddr_list.h"
#include "isi/tree_build.h"
#include "sort/build_scan.h"

void CmdSetDefaults() {
  CmdData* cd = pCmdData;
  cd->cmdName = "INDEX";
  cd->progressOn = 1;
  cd->maxMemory = 1048576;
  cd->maxTrains = 20000;
  cd->outBufFree = kOutBufSize;
  memset(cd->highItem, 0xFF, sizeof cd->highItem);
  cd->outRecFn = WriteTagRecord;
  cd->deletedRecFn = InsertDDRN;
  UseBuildScan(cd);
  cd->inFd = cd->outFd = cd->tmpFd1 = cd->tmpFd2 = cd->errFd = -1;
  DefinitionDefaults(cd);
  cd->progressCountdown = 1000;
  cd->nameFmtChar = '.';
  memcpy(cd->defDataExt, ".TXT", 5);
  memcpy(cd->defIsiExt, ".ISI", 5);
}
