// sector_cache: the bounded per-handle cache of the index file's sectors.
//
// Sectors are read with pread, never mapped: a file that another process
// truncates must give a read error, not a signal. The cache is sized from
// the file unless kelisi_set_cache_size gives a size: the whole of an index
// of up to kWholeSlots sectors (64 MiB), an eighth of a larger one, at most
// kShareSlots (256 MiB); never larger than the file. Its memory is taken
// from the system as sectors come in, so a handle that reads little of a
// large index holds little.
//
// A cache with room for the whole file keeps sector s in slot s, and a
// sector once read stays, unchanged, until the cache is reset: readers may
// keep pointers into it (see Whole). A smaller cache is a set-associative
// table: inner key sectors (level above 0) are evicted only by other inner
// sectors, so the upper levels of the tree stay in memory for random
// lookups; readers copy its sectors out. Scans read ahead in blocks of
// kAheadSectors in the direction they move: into a whole cache, or, in a
// smaller one, into the read-ahead block alone, which stays in the
// processor's cache, instead of sweeping the whole cache out. Sectors are
// kept as the file holds them.
// Each cached sector carries a flag its reader sets once the sector has
// passed the format's checks, so that a sector read again is not checked
// again.
#pragma once

#include <cstdint>
#include <memory>

#include "core/isi_format.h"
#include "core/tree_cursor.h"
#include "kelisi/io.h"

namespace kisi {

using ReadHint = IsiReadHint;

class SectorCache {
 public:
  SectorCache() = default;
  SectorCache(const SectorCache&) = delete;
  SectorCache& operator=(const SectorCache&) = delete;
  ~SectorCache() { ReleaseData(); }

  static constexpr uint32_t kWholeSlots = 1u << 17;  // 64 MiB: an index up to this is kept whole
  static constexpr uint32_t kShareSlots = 1u << 19;  // 256 MiB: the most a default cache takes
  static constexpr uint32_t kMostSlots = 1u << 21;   // 1 GiB
  static constexpr uint32_t kWays = 4;
  static constexpr uint32_t kAheadSectors = 64;

  // Empties the cache and sizes it for a file of `fileSectors` sectors, with
  // at most `limit` slots (a power of two, kWays to kMostSlots). False when
  // memory is short (the cache is then empty and unusable).
  bool Reset(Io& io, uint64_t fileSectors, bool swapped, uint32_t limit);

  // The slots of a cache sized from a file of `fileSectors` sectors: all of
  // a small index, an eighth of a large one, between kWholeSlots and
  // kShareSlots.
  static uint32_t DefaultSlots(uint64_t fileSectors);

  // The 512 bytes of sector number `sector` as the file holds them, valid
  // until the next call (in a whole cache: until the next Reset); nullptr
  // when the read fails or the file ends before the sector does. *checked
  // is the sector's flag while it stays cached (cleared when it comes in),
  // nullptr when it was read past the cache.
  const uint8_t* Get(Io& io, int fd, uint64_t sector, ReadHint hint, uint8_t** checked);

  // The cache holds every sector of the file in a place of its own: what
  // Get returns stays put, unchanged, until the next Reset.
  bool Whole() const { return whole_; }

 private:
  void ReleaseData();
  int Find(uint64_t sector) const;
  uint32_t Victim(uint64_t sector) const;
  uint8_t* Install(uint32_t slot, uint64_t sector);
  const uint8_t* ReadOne(Io& io, int fd, uint64_t sector);
  const uint8_t* FromWindow(Io& io, int fd, uint64_t sector, ReadHint hint);
  void AheadRange(uint64_t sector, ReadHint hint, uint64_t* first, uint64_t* last) const;
  const uint8_t* GetWhole(Io& io, int fd, uint64_t sector, ReadHint hint, uint8_t** checked);
  bool ReadIntoWhole(Io& io, int fd, uint64_t first, uint64_t last);
  bool Present(uint64_t sector) const { return (present_[sector / 64] >> (sector % 64)) & 1; }

  struct Slot {
    uint64_t tag;  // sector + 1; 0: empty
    uint64_t age;  // last use; inner sectors rank above leaves
  };
  // The tags and ages of one set share a cache line.
  struct alignas(64) Set {
    Slot way[kWays];
  };
  Slot& At(uint32_t slot) { return set_[slot / kWays].way[slot % kWays]; }
  // The bytes of a slot (in a whole cache, slot s holds sector s).
  uint8_t* SlotData(uint32_t slot) const { return data_ + uint64_t{slot} * kIsiSector; }
  const Slot& At(uint32_t slot) const { return set_[slot / kWays].way[slot % kWays]; }
  std::unique_ptr<Set[]> set_;
  // The slots' bytes: one block of the system's memory, through the Env of
  // the handle, which backs a large block with huge pages where it can (a
  // cache read at random then misses the address translation less).
  uint8_t* data_ = nullptr;
  size_t dataLen_ = 0;
  const kel::Env* env_ = nullptr;
  std::unique_ptr<uint8_t[]> ahead_;
  std::unique_ptr<uint8_t[]> checked_;   // per slot
  std::unique_ptr<uint64_t[]> present_;  // a whole cache: a bit per sector read
  uint32_t slots_ = 0;
  uint64_t fileSectors_ = 0;
  uint64_t clock_ = 0;
  uint64_t winFirst_ = 0, winCount_ = 0;  // the sectors the read-ahead block holds
  bool swapped_ = false;
  bool whole_ = false;  // slot s holds sector s; set_ is unused
};

}  // namespace kisi
