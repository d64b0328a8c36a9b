// tree: the handle's key sectors for the shared tree cursor, from its cache
// and translated to native order.
#include "kelisi/tree.h"

#include "isi/isi_xlat.h"

namespace kisi {

bool LoadCachedKeySector(void* ctx, uint64_t sector, IsiReadHint hint, uint8_t* out,
                         uint8_t** sound) {
  auto* ix = static_cast<kelisi*>(ctx);
  const uint8_t* raw = ix->cache.Get(ix->io, ix->isiFd, sector, hint, sound);
  if (raw == nullptr) return false;
  memcpy(out, raw, kIsiSector);
  if (ix->swapped) IsiXlatKeySector(out, ix->entrySize);
  return true;
}

}  // namespace kisi
