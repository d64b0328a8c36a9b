// An order-independent fingerprint of a multiset of index entries, each
// taken as (record byte offset, record size, key): per bucket, the count
// and two sums. The entries of the index and the records of the data are
// added up on two sides of the same shape; where a bucket's count and both
// sums agree, the two sides hold the same entries there. The sums are of
// two independent 64-bit mixes of the whole entry, so that two different
// multisets agree only by a chance of about 2^-128 per bucket.
//
// The bucket of an entry depends on its record offset alone: an entry and
// the record it should point to fall into the same bucket even when their
// keys or sizes differ, so that the buckets that differ, read again, pair
// them up by offset.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace kisi {

// A 64-bit finalizer with full avalanche: every input bit changes each
// output bit with probability about 1/2.
inline uint64_t Mix64(uint64_t x) {
  x ^= x >> 32;
  x *= 0xD6E8FEB86659FD93ull;
  x ^= x >> 32;
  x *= 0xD6E8FEB86659FD93ull;
  x ^= x >> 32;
  return x;
}

struct EntryHash {
  uint64_t a, b;
};

// Both mixes of one entry, computed together: the key is read eight bytes
// at a time and folded into two lanes of different seeds.
inline EntryHash HashEntry(uint64_t offset, uint32_t size, const uint8_t* key, uint32_t len) {
  uint64_t a = Mix64(offset ^ 0x9E3779B97F4A7C15ull) + size;
  uint64_t b = Mix64(offset + 0xC2B2AE3D27D4EB4Full) ^ (static_cast<uint64_t>(size) << 17);
  uint32_t i = 0;
  for (; i + 8 <= len; i += 8) {
    uint64_t w;
    memcpy(&w, key + i, 8);
    a = Mix64(a ^ w);
    b = Mix64(b + w * 0x94D049BB133111EBull);
  }
  uint64_t w = len;  // the tail, with the length so that keys of zeros differ by length
  for (uint32_t s = 8; i < len; ++i, s += 8) w |= static_cast<uint64_t>(key[i]) << (s & 63);
  a = Mix64(a ^ w ^ 0x165667B19E3779F9ull);
  b = Mix64(b + w + 0x27D4EB2F165667C5ull);
  return {a, b};
}

// One side's fingerprint, spread over 2^bits buckets.
class EntrySums {
 public:
  explicit EntrySums(uint32_t bucketBits) : bits_(bucketBits), buckets_(size_t{1} << bucketBits) {}

  uint32_t BucketOf(uint64_t offset) const {
    return static_cast<uint32_t>(Mix64(offset * 0xFF51AFD7ED558CCDull) >> (64 - bits_));
  }
  void Add(uint64_t offset, uint32_t size, const uint8_t* key, uint32_t len) {
    Bucket& k = buckets_[BucketOf(offset)];
    EntryHash h = HashEntry(offset, size, key, len);
    ++k.count;
    k.a += h.a;
    k.b += h.b;
  }
  uint32_t BucketCount() const { return static_cast<uint32_t>(buckets_.size()); }
  uint64_t Count(uint32_t i) const { return buckets_[i].count; }
  uint64_t Total() const {
    uint64_t n = 0;
    for (const Bucket& k : buckets_) n += k.count;
    return n;
  }
  // Whether bucket i holds the same multiset on both sides.
  bool Same(const EntrySums& other, uint32_t i) const {
    const Bucket &x = buckets_[i], &y = other.buckets_[i];
    return x.count == y.count && x.a == y.a && x.b == y.b;
  }

 private:
  struct Bucket {
    uint64_t count = 0, a = 0, b = 0;
  };
  uint32_t bits_;
  std::vector<Bucket> buckets_;
};

}  // namespace kisi
