// The deleted-record list: while the data file is scanned, the position of
// every deleted record goes into the DDR sector buffer, and each full sector
// is written at once behind the reserved front of the ISI. The partly filled
// last sector becomes the head DDR sector at 1536 when the build ends.
#include "isi/ddr_list.h"

#include <cerrno>

#include "core/byte_order.h"
#include "core/isi_format.h"
#include "driver/cmd_data.h"
#include "driver/sys_io.h"
#include "isi/tree_build.h"

namespace {

// Writes the full DDR sector unbuffered at the ISI's current position; it
// becomes the newest sector of the chain.
Status WriteFullDdrSector() {
  CmdData* cd = pCmdData;
  cd->ddrTrailer[kDdrTrailerMark1Ofs] = kIsiDdrMark1;
  cd->ddrTrailer[kDdrTrailerMark2Ofs] = kIsiDdrMark2;
  StoreU32(cd->ddrTrailer + kDdrTrailerLinkOfs, cd->ddrChainPos);
  cd->lastSectorPos += cd->recNumMode ? 1 : kIsiSector;
  cd->ddrChainPos = static_cast<uint32_t>(cd->lastSectorPos);
  if (SysWrite(cd->outFd, cd->ddrSector, kIsiSector) != static_cast<ssize_t>(kIsiSector)) {
    ShowIsiWriteFailure();
    cd->failFd = cd->outFd;  // the driver's failure line names the ISI, not a work file
    return kErrDdrWrite;
  }
  StoreU16(cd->ddrTrailer + kDdrTrailerCountOfs, 0);
  return kOk;
}

}  // namespace

int32_t InsertDDRN(uint64_t position) {
  CmdData* cd = pCmdData;
  if (!ListsDeletedRecords(*cd)) return kOk;
  uint16_t count = LoadU16(cd->ddrTrailer + kDdrTrailerCountOfs);
  if (count >= kIsiDdrPerSector) {
    Status s = WriteFullDdrSector();
    if (s != kOk) return s;
    count = 0;
  }
  uint32_t entry = static_cast<uint32_t>(position);
  if (cd->recNumMode && cd->recLenFound != 0) {
    entry = static_cast<uint32_t>(position / cd->recLenFound);
  }
  StoreU32(cd->ddrSector + sizeof(uint32_t) * count, entry);
  StoreU16(cd->ddrTrailer + kDdrTrailerCountOfs, static_cast<uint16_t>(count + 1));
  return kOk;
}
