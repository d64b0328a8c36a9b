// tree: key sector reads and the checks on child positions (see tree.h).
#include "kelisi/tree.h"

#include <cstring>

#include "isi/isi_xlat.h"

namespace kisi {

bool KeySectorNumber(const kelisi* ix, uint32_t pos, uint64_t* sector) {
  uint64_t offset = ix->recNum ? uint64_t{pos} * kIsiSector : pos;
  if (offset % kIsiSector != 0 || offset < kIsiFrontSize) return false;
  *sector = offset / kIsiSector;
  return *sector < ix->fileSectors;
}

int LoadRoot(const kelisi* ix, uint8_t* out) {
  memcpy(out, ix->front + kIsiRootPos, kIsiSector);
  return SecCount(out) <= ix->perSector ? KELISI_OK : KELISI_E_CORRUPT;
}

int LoadKeySector(kelisi* ix, uint32_t pos, ReadHint hint, uint8_t* out) {
  uint64_t sector;
  if (!KeySectorNumber(ix, pos, &sector)) return KELISI_E_CORRUPT;
  const uint8_t* raw = ix->cache.Get(ix->io, ix->isiFd, sector, hint);
  if (raw == nullptr) return KELISI_E_READ;
  memcpy(out, raw, kIsiSector);
  if (ix->swapped) IsiXlatKeySector(out, ix->entrySize);
  return SecCount(out) <= ix->perSector ? KELISI_OK : KELISI_E_CORRUPT;
}


}  // namespace kisi
