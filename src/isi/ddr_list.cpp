// The deleted-record list: while the data file is scanned, the position of
// every deleted record goes into the DDR sector buffer, and each full sector
// is written at once behind the reserved front of the ISI. The partly filled
// last sector becomes the head DDR sector at 1536 when the build ends.
#include "isi/ddr_list.h"

#include <cerrno>

#include "driver/cmd_data.h"
#include "driver/sys_io.h"
#include "isi/byte_order.h"
#include "isi/isi_format.h"
#include "isi/tree_build.h"

namespace {

constexpr uint32_t kLinkOfs = 0, kCountOfs = 4, kMark1Ofs = 6, kMark2Ofs = 7;  // from ddrTrailer

// Writes the full DDR sector unbuffered at the ISI's current position; it
// becomes the newest sector of the chain.
Status WriteFullDdrSector() {
  CmdData* cd = pCmdData;
  cd->ddrTrailer[kMark1Ofs] = kIsiDdrMark1;
  cd->ddrTrailer[kMark2Ofs] = kIsiDdrMark2;
  StoreU32(cd->ddrTrailer + kLinkOfs, cd->ddrChainPos);
  cd->lastSectorPos += cd->recNumMode ? 1 : cd->sectorSize;
  cd->ddrChainPos = static_cast<uint32_t>(cd->lastSectorPos);
  if (SysWrite(cd->outFd, cd->ddrSector, kIsiSector) != static_cast<ssize_t>(kIsiSector)) {
    ShowIsiWriteFailure();
    cd->failFd = cd->outFd;  // the driver's failure line names the ISI, not a work file
    return kErrDdrWrite;
  }
  StoreU16(cd->ddrTrailer + kCountOfs, 0);
  return kOk;
}

}  // namespace

Status InsertDDRN() {
  CmdData* cd = pCmdData;
  if (cd->writeAtEnd) return kOk;
  uint16_t count = LoadU16(cd->ddrTrailer + kCountOfs);
  if (count == cd->ddrPerSector || count >= kIsiDdrPerSector) {
    Status s = WriteFullDdrSector();
    if (s != kOk) return s;
    count = 0;
  }
  uint32_t entry = static_cast<uint32_t>(cd->recStartPos);
  if (cd->recNumMode && cd->recLenFound != 0) {
    entry = static_cast<uint32_t>(cd->recStartPos / cd->recLenFound);
  }
  StoreU32(cd->ddrSector + 4 * count, entry);
  StoreU16(cd->ddrTrailer + kCountOfs, static_cast<uint16_t>(count + 1));
  return kOk;
}
