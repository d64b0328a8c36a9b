// sector_cache: the bounded per-handle cache of the index file's sectors.
//
// Sectors are read with pread, never mapped: a file that another process
// truncates must give a read error, not a signal. The cache is a fixed
// set-associative table of at most kMaxSlots sectors (4 MiB) whatever the
// size of the file. Inner key sectors (level above 0) are evicted only by
// other inner sectors, so the upper levels of the tree stay in memory for
// random lookups; scans read ahead in blocks of kAheadSectors in the
// direction they move. Sectors are kept as the file holds them; readers
// copy them out and translate the copy.
#pragma once

#include <cstdint>
#include <memory>

#include "kelisi/io.h"

namespace kisi {

enum class ReadHint { kRandom, kForward, kBackward };

class SectorCache {
 public:
  static constexpr uint32_t kMaxSlots = 8192;
  static constexpr uint32_t kWays = 4;
  static constexpr uint32_t kAheadSectors = 64;

  // Empties the cache and sizes it for a file of `fileSectors` sectors.
  // False when memory is short (the cache is then empty and unusable).
  bool Reset(uint64_t fileSectors, bool swapped);

  // The 512 bytes of sector number `sector` as the file holds them, valid
  // until the next call; nullptr when the read fails or the file ends
  // before the sector does.
  const uint8_t* Get(Io& io, int fd, uint64_t sector, ReadHint hint);

 private:
  int Find(uint64_t sector) const;
  uint32_t Victim(uint64_t sector) const;
  uint8_t* Install(uint32_t slot, uint64_t sector);
  uint8_t* Copy(uint64_t sector, uint64_t first);  // from the read-ahead block
  const uint8_t* ReadOne(Io& io, int fd, uint64_t sector);
  const uint8_t* ReadAhead(Io& io, int fd, uint64_t sector, ReadHint hint);

  std::unique_ptr<uint64_t[]> tag_;  // sector + 1; 0: empty
  std::unique_ptr<uint64_t[]> age_;  // last use; inner sectors rank above leaves
  std::unique_ptr<uint8_t[]> data_;
  std::unique_ptr<uint8_t[]> ahead_;
  uint32_t slots_ = 0;
  uint64_t fileSectors_ = 0;
  uint64_t clock_ = 0;
  bool swapped_ = false;
};

}  // namespace kisi
