// The lookups of the data check under n0 and n$, which index only the first
// record of each key: a batch of scanned records is looked up in key order,
// so that the records of one key share one lookup and lookups of
// neighbouring keys find their sectors in the library's cache.
#include <algorithm>

#include "kelisi_cli/check_run.h"

namespace kelisi_cli {

void FirstOfKey::Sort(const StoredScan& scan, const uint8_t* items, uint32_t count) {
  uint32_t itemLen = scan.ItemLength(), keyLen = scan.KeyLength();
  // The first eight key bytes, read as a big-endian number, decide most
  // comparisons.
  order_.resize(count);
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* item = items + static_cast<size_t>(i) * itemLen;
    uint64_t prefix = 0;
    for (uint32_t k = 0; k < 8; ++k)
      prefix = prefix << 8 | (k < keyLen ? item[kItemKeyOfs + k] : 0);
    order_[i] = {prefix, item};
  }
  std::sort(order_.begin(), order_.end(), [keyLen](const Keyed& x, const Keyed& y) {
    if (x.prefix != y.prefix) return x.prefix < y.prefix;
    int d = keyLen > 8 ? memcmp(x.item + kItemKeyOfs + 8, y.item + kItemKeyOfs + 8, keyLen - 8) : 0;
    return d != 0 ? d < 0 : ItemPosition(x.item) < ItemPosition(y.item);
  });
}

}  // namespace kelisi_cli
