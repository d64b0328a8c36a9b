// The tree build's buffer block: one pending key sector per level and the
// DDR sector, in one zero-filled allocation that lives to the end of the run.
#include <cstring>

#include "core/byte_order.h"
#include "core/isi_format.h"
#include "driver/cleanup.h"
#include "driver/cmd_data.h"
#include "isi/tree_build.h"

namespace {

constexpr uint32_t kBlockSectors = kMaxTreeLevels + 1;  // 16 levels and the DDR sector

}  // namespace

int32_t AllocIsiBuffers() {
  CmdData* cd = pCmdData;
  constexpr uint32_t kBlockSize = kBlockSectors * kIsiSector;
  if (cd->isiBlock == nullptr) {
    cd->isiBlock = static_cast<uint8_t*>(CmdMalloc(kBlockSize));
    if (cd->isiBlock == nullptr) return 1;
  }
  memset(cd->isiBlock, 0, kBlockSize);
  for (int level = 0; level < kMaxTreeLevels; ++level) {
    uint8_t* sector = cd->isiBlock + level * kIsiSector;
    cd->levelSector[level] = sector;
    cd->levelTrailer[level] = sector + kIsiKeyTrailerOfs;
    // The level field is set once; writing a sector only resets its count.
    StoreU16(sector + kKeyLevelOfs, static_cast<uint16_t>(level));
  }
  cd->ddrSector = cd->isiBlock + kMaxTreeLevels * kIsiSector;
  cd->ddrTrailer = cd->ddrSector + kIsiDdrTrailerOfs;
  cd->lastEntrySet = 0;
  return 0;
}
