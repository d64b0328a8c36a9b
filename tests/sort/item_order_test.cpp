// The item order in its fast form (eight key bytes at a time) against a
// plain byte-by-byte reference, for every key length up to 150 and for
// keys built to trip it: long common prefixes, the bytes around the sign
// bit and the top of the range, equal keys that only the position orders.
// Each item lives in a heap block of exactly its own size, so a load past
// the key is an out-of-bounds read for the sanitizer build.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "sort/item_sort.h"
#include "sort/key_compare.h"
#include "sort_fixture.h"

namespace {

// The order written out byte by byte: 1 when a sorts after b, else -1.
int32_t ReferenceOrder(const uint8_t* a, const uint8_t* b, uint32_t keyLen) {
  for (uint32_t i = 0; i < keyLen; ++i) {
    if (a[i] != b[i]) return a[i] > b[i] ? 1 : -1;
  }
  return ItemPosition(a - kItemKeyOfs) > ItemPosition(b - kItemKeyOfs) ? 1 : -1;
}

// Keys drawn to sit close to each other: a shared prefix of random length,
// then bytes from the edges of the unsigned range.
class AdversarialKeys {
 public:
  AdversarialKeys(uint32_t keyLen, uint32_t seed) : keyLen_(keyLen), rng_(seed) {
    for (uint32_t i = 0; i < keyLen; ++i) base_.push_back(Edge());
  }

  std::vector<uint8_t> Next() {
    std::vector<uint8_t> key = base_;
    uint32_t shared = static_cast<uint32_t>(rng_() % (keyLen_ + 1));
    for (uint32_t i = shared; i < keyLen_; ++i) key[i] = rng_() % 4 == 0 ? base_[i] : Edge();
    return key;
  }

 private:
  uint8_t Edge() {
    static const uint8_t kEdges[] = {0x00, 0x01, 0x7E, 0x7F, 0x80, 0x81, 0xFE, 0xFF, 'A', ' '};
    return kEdges[rng_() % sizeof kEdges];
  }

  uint32_t keyLen_;
  std::mt19937 rng_;
  std::vector<uint8_t> base_;
};

// One item in a heap block of exactly 10 + keyLen bytes.
std::unique_ptr<uint8_t[]> MakeItem(const std::vector<uint8_t>& key, uint64_t pos) {
  std::unique_ptr<uint8_t[]> item(new uint8_t[kItemKeyOfs + key.size()]);
  SetItemPosition(item.get(), pos);
  SetItemLength(item.get(), 77);
  if (!key.empty()) memcpy(item.get() + kItemKeyOfs, key.data(), key.size());
  return item;
}

class ItemOrderTest : public st::SortFixture {};

TEST_F(ItemOrderTest, FasterAgreesWithTheByteOrderForEveryKeyLength) {
  std::mt19937 rng(11);
  for (uint32_t keyLen = 1; keyLen <= kMaxKeyBytes; ++keyLen) {
    SetKeyRange(0, static_cast<uint16_t>(keyLen));
    AdversarialKeys keys(keyLen, keyLen);
    std::vector<std::unique_ptr<uint8_t[]>> items;
    for (int i = 0; i < 40; ++i) items.push_back(MakeItem(keys.Next(), rng() % 5));
    for (const auto& a : items) {
      for (const auto& b : items) {
        const uint8_t* ka = a.get() + kItemKeyOfs;
        const uint8_t* kb = b.get() + kItemKeyOfs;
        ASSERT_EQ(faster(ka, kb), ReferenceOrder(ka, kb, keyLen)) << "key length " << keyLen;
        ASSERT_EQ(ItemKeyAfter(ka, kb, keyLen), ReferenceOrder(ka, kb, keyLen) == 1);
      }
    }
  }
}

TEST_F(ItemOrderTest, KeyHeadsOrderAsTheirFirstBytes) {
  // 0x80 must not read as negative, and a difference in the last byte of a
  // short head counts as much as one in the first.
  const uint8_t a[] = {0x7F, 0xFF, 0xFF}, b[] = {0x80, 0x00, 0x00}, c[] = {0x80, 0x00, 0x01};
  for (uint32_t n = 1; n <= 3; ++n) {
    EXPECT_LT(KeyHead(a, n), KeyHead(b, n)) << n;
    EXPECT_LE(KeyHead(b, n), KeyHead(c, n)) << n;
  }
  EXPECT_LT(KeyHead(b, 3), KeyHead(c, 3));
}

class SubListOrderTest : public st::SortFixture {
 protected:
  // Lays out `n` items of the given key length in the sort memory (random
  // positions, unique), sorts them with `method` and returns the keys and
  // positions in pointer order.
  std::vector<std::vector<uint8_t>> SortWith(uint32_t method, uint32_t keyLen, uint32_t n,
                                             uint32_t seed) {
    SetKeyRange(0, static_cast<uint16_t>(keyLen));
    SetSortMemory((n + 2) * (kItemKeyOfs + keyLen + 8));
    AdversarialKeys keys(keyLen, seed);
    std::vector<uint64_t> positions(n);
    for (uint32_t i = 0; i < n; ++i) positions[i] = 3 * i;
    std::shuffle(positions.begin(), positions.end(), std::mt19937(seed));
    uint8_t* it = cd->sortMem;
    for (uint32_t i = 0; i < n; ++i, it += cd->itemLen) {
      SetItemPosition(it, positions[i]);
      SetItemLength(it, 9);
      std::vector<uint8_t> key = keys.Next();
      memcpy(it + kItemKeyOfs, key.data(), keyLen);
    }
    memset(it, 0xFF, cd->itemLen);
    cd->sortMethod = method;
    SortSubList();
    std::vector<std::vector<uint8_t>> out;
    for (uint32_t i = 0; i < n; ++i) {
      const uint8_t* item = cd->itemPtrArea[i] - kItemKeyOfs;
      out.emplace_back(item, item + cd->itemLen);
    }
    return out;
  }

  static bool InReferenceOrder(const std::vector<std::vector<uint8_t>>& items, uint32_t keyLen) {
    for (size_t i = 1; i < items.size(); ++i) {
      if (ReferenceOrder(items[i - 1].data() + kItemKeyOfs, items[i].data() + kItemKeyOfs,
                         keyLen) != -1) {
        return false;
      }
    }
    return true;
  }
};

TEST_F(SubListOrderTest, BothMethodsGiveTheByteOrderForKeysOfAwkwardLengths) {
  for (uint32_t keyLen : {1u, 2u, 3u, 5u, 7u, 8u, 9u, 12u, 15u, 16u, 17u, 23u, 31u, 33u, 63u, 65u,
                          100u, 149u, 150u}) {
    auto shell = SortWith(0, keyLen, 700, keyLen);
    auto quick = SortWith(1, keyLen, 700, keyLen);
    EXPECT_TRUE(InReferenceOrder(shell, keyLen)) << "Shell sort, key length " << keyLen;
    EXPECT_EQ(shell, quick) << "key length " << keyLen;
  }
}

TEST_F(SubListOrderTest, EqualKeysComeOutInPositionOrder) {
  // Two-byte keys from a small alphabet: most keys repeat.
  for (uint32_t method : {0u, 1u}) {
    auto sorted = SortWith(method, 2, 500, 5);
    EXPECT_TRUE(InReferenceOrder(sorted, 2)) << "method " << method;
  }
}

}  // namespace
