// The item order in its fast form (eight key bytes at a time), held against
// a plain byte-by-byte reference for every key length up to 150 on keys
// built to trip it: long common prefixes, the bytes around the sign bit and
// the top of the range, equal keys that only the position orders. Each item
// lives in a heap block of exactly its own size, so that a load past the
// key is an out-of-bounds read for the sanitizer build. And the quicksort
// on the inputs that make a naive one quadratic; that both methods give
// the same index is held by the end-to-end invariance tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "sort/item_sort.h"
#include "sort/key_compare.h"
#include "sort_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

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
  Bytes Next() {
    Bytes key = base_;
    for (uint32_t i = static_cast<uint32_t>(rng_() % (keyLen_ + 1)); i < keyLen_; ++i) {
      key[i] = rng_() % 4 == 0 ? base_[i] : Edge();
    }
    return key;
  }

 private:
  uint8_t Edge() {
    static const uint8_t kEdges[] = {0x00, 0x01, 0x7E, 0x7F, 0x80, 0x81, 0xFE, 0xFF, 'A', ' '};
    return kEdges[rng_() % sizeof kEdges];
  }
  uint32_t keyLen_;
  std::mt19937 rng_;
  Bytes base_;
};

class ItemOrderTest : public st::SortFixture {
 protected:
  // Lays `keys` out as a sub-list (positions from `positions`, the end-of-run
  // item behind them when it fits), sorts it with `method` and returns the
  // items in pointer order.
  std::vector<Bytes> SortWith(uint32_t method, const std::vector<Bytes>& keys,
                              const std::vector<uint64_t>& positions) {
    uint8_t* it = cd->sortMem;
    for (size_t i = 0; i < keys.size(); ++i, it += cd->itemLen) {
      SetItemPosition(it, positions[i]);
      SetItemLength(it, 9);
      memcpy(it + kItemKeyOfs, keys[i].data(), cd->keyLen);
    }
    if (keys.size() < cd->itemsInMem) memset(it, 0xFF, cd->itemLen);
    cd->sortMethod = method;
    SortSubList();
    std::vector<Bytes> out;
    for (size_t i = 0; i < keys.size(); ++i) {
      const uint8_t* item = cd->itemPtrArea[i] - kItemKeyOfs;
      out.emplace_back(item, item + cd->itemLen);
    }
    return out;
  }
  // The `n` items laid out in the sort memory, sorted by key bytes, then position.
  std::vector<Bytes> ReferenceSorted(size_t n) {
    std::vector<Bytes> all;
    for (size_t i = 0; i < n; ++i) {
      const uint8_t* item = cd->sortMem + i * cd->itemLen;
      all.emplace_back(item, item + cd->itemLen);
    }
    std::sort(all.begin(), all.end(), [this](const Bytes& a, const Bytes& b) {
      int d = memcmp(a.data() + kItemKeyOfs, b.data() + kItemKeyOfs, cd->keyLen);
      return d != 0 ? d < 0 : ItemPosition(a.data()) < ItemPosition(b.data());
    });
    return all;
  }
};

TEST_F(ItemOrderTest, FasterAgreesWithTheByteOrderForEveryKeyLength) {
  std::mt19937 rng(11);
  for (uint32_t keyLen = 1; keyLen <= kMaxKeyBytes; ++keyLen) {
    SetKeyRange(0, static_cast<uint16_t>(keyLen));
    AdversarialKeys keys(keyLen, keyLen);
    std::vector<std::unique_ptr<uint8_t[]>> items;
    for (int i = 0; i < 40; ++i) {
      Bytes key = keys.Next();
      items.emplace_back(new uint8_t[kItemKeyOfs + keyLen]);
      SetItemPosition(items.back().get(), rng() % 5);
      memcpy(items.back().get() + kItemKeyOfs, key.data(), keyLen);
    }
    for (const auto& a : items) {
      for (const auto& b : items) {
        const uint8_t *ka = a.get() + kItemKeyOfs, *kb = b.get() + kItemKeyOfs;
        ASSERT_EQ(faster(ka, kb), ReferenceOrder(ka, kb, keyLen)) << "key length " << keyLen;
        ASSERT_EQ(ItemKeyAfter(ka, kb, keyLen), ReferenceOrder(ka, kb, keyLen) == 1);
      }
    }
  }
  // A key of all ones sorts before the end-of-run item, whatever its position.
  SetKeyRange(0, 3);
  uint8_t real[13], eor[13];
  memset(real, 0xFF, sizeof real);
  memset(eor, 0xFF, sizeof eor);
  SetItemPosition(real, 12345);
  EXPECT_EQ(faster(real + 10, eor + 10), -1);
  EXPECT_EQ(faster(eor + 10, real + 10), 1);
  EXPECT_EQ(faster(real + 10, real + 10), -1);  // never 0
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

TEST_F(ItemOrderTest, QuicksortOfLongOrderedInputsAndAFullSubList) {
  SetKeyRange(0, 4);
  SetSortMemory(8 << 20);
  // Ascending, all-equal and descending inputs of 200,000 items.
  for (int pattern = 0; pattern < 3; ++pattern) {
    std::vector<Bytes> keys;
    std::vector<uint64_t> positions;
    for (uint32_t i = 0; i < 200000; ++i) {
      uint32_t v = pattern == 0 ? i : pattern == 1 ? 7 : 200000 - i;
      keys.push_back({static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                      static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
      positions.push_back(i);
    }
    auto quick = SortWith(1, keys, positions);
    EXPECT_TRUE(quick == ReferenceSorted(200000)) << "pattern " << pattern;
  }
  // A sub-list that fills the memory has no end-of-run item behind it.
  SetSortMemory(50 * (14 + 8));
  ASSERT_EQ(cd->itemsInMem, 49u);
  std::vector<Bytes> keys;
  std::vector<uint64_t> positions;
  for (uint8_t i = 0; i < 49; ++i) {
    keys.push_back({static_cast<uint8_t>('z' - i % 26), 'x', 'x', 'x'});
    positions.push_back(100 * i);
  }
  auto quick = SortWith(1, keys, positions);
  EXPECT_EQ(quick, ReferenceSorted(49));
}

}  // namespace
