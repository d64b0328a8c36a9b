// The item order and the two in-memory sort methods.
#include "sort/item_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "sort_fixture.h"

namespace {

class ItemSortTest : public st::SortFixture {
 protected:
  // Lays `keys` out as a sub-list in the sort memory, positions 100 × index
  // (descending when asked), ended by the end-of-run item when it fits.
  void LayOut(const std::vector<std::string>& keys, bool descendingPos = false) {
    uint8_t* it = cd->sortMem;
    for (size_t i = 0; i < keys.size(); ++i, it += cd->itemLen) {
      uint64_t pos = descendingPos ? 100 * (keys.size() - i) : 100 * i;
      SetItemPosition(it, pos);
      SetItemLength(it, 7);
      memcpy(it + kItemKeyOfs, keys[i].data(), cd->keyLen);
    }
    if (keys.size() < cd->itemsInMem) memset(it, 0xFF, cd->itemLen);
  }

  std::vector<st::Item> Sorted(uint32_t count) {
    std::vector<st::Item> v;
    for (uint32_t i = 0; i < count; ++i) v.push_back(st::ItemAt(cd->itemPtrArea[i] - kItemKeyOfs));
    return v;
  }

  static std::vector<st::Item> Reference(std::vector<st::Item> v) {
    std::sort(v.begin(), v.end(), [](const st::Item& a, const st::Item& b) {
      int d = memcmp(a.key.data(), b.key.data(), a.key.size());
      return d != 0 ? d < 0 : a.pos < b.pos;
    });
    return v;
  }

  std::vector<st::Item> Items(uint32_t count) {
    std::vector<st::Item> v;
    for (uint32_t i = 0; i < count; ++i) v.push_back(st::ItemAt(cd->sortMem + i * cd->itemLen));
    return v;
  }
};

TEST_F(ItemSortTest, FasterComparesUnsignedKeysThenPositions) {
  SetKeyRange(0, 2);
  uint8_t a[12] = {}, b[12] = {};
  SetItemPosition(a, 5);
  SetItemPosition(b, 9);
  a[10] = 0x7F;
  b[10] = 0x80;
  EXPECT_EQ(faster(a + 10, b + 10), -1);
  EXPECT_EQ(faster(b + 10, a + 10), 1);
  a[10] = b[10] = 0x41;
  EXPECT_EQ(faster(a + 10, b + 10), -1);  // equal keys: file order
  EXPECT_EQ(faster(b + 10, a + 10), 1);
  EXPECT_EQ(faster(a + 10, a + 10), -1);  // never 0
}

TEST_F(ItemSortTest, KeyOfAllOnesSortsBeforeTheEndOfRunItem) {
  SetKeyRange(0, 3);
  uint8_t real[13], eor[13];
  memset(real, 0xFF, sizeof real);
  memset(eor, 0xFF, sizeof eor);
  SetItemPosition(real, 12345);
  EXPECT_EQ(faster(real + 10, eor + 10), -1);
  EXPECT_EQ(faster(eor + 10, real + 10), 1);
}

TEST_F(ItemSortTest, BothMethodsGiveTheReferenceOrder) {
  SetKeyRange(0, 3);
  SetSortMemory(1 << 20);
  std::mt19937 rng(7);
  std::vector<std::string> keys;
  for (int i = 0; i < 5000; ++i) {
    std::string k(3, '\0');
    for (char& c : k)
      c = static_cast<char>(rng() % 6 + 0x7D);  // many equal keys, both sides of 0x80
    keys.push_back(k);
  }
  LayOut(keys, true);
  std::vector<st::Item> want = Reference(Items(5000));
  for (uint32_t method : {0u, 1u}) {
    cd->sortMethod = method;
    SortSubList();
    EXPECT_EQ(Sorted(5000), want) << "method " << method;
    EXPECT_TRUE(IsEndOfRun(cd->itemPtrArea[5000] - kItemKeyOfs));
  }
}

TEST_F(ItemSortTest, FullSubListWithoutEndOfRunItem) {
  SetKeyRange(0, 2);
  SetSortMemory(50 * (12 + 8));
  ASSERT_EQ(cd->itemsInMem, 49u);
  std::vector<std::string> keys;
  for (int i = 0; i < 49; ++i) keys.push_back(std::string(1, 'z' - i % 26) + "x");
  LayOut(keys);
  std::vector<st::Item> want = Reference(Items(49));
  cd->sortMethod = 1;
  SortSubList();
  EXPECT_EQ(Sorted(49), want);
}

TEST_F(ItemSortTest, QuicksortOfLongOrderedInputs) {
  SetKeyRange(0, 4);
  SetSortMemory(8 << 20);
  // Ascending, all-equal and descending inputs of 200,000 items.
  for (int pattern = 0; pattern < 3; ++pattern) {
    std::vector<std::string> keys;
    for (uint32_t i = 0; i < 200000; ++i) {
      uint32_t v = pattern == 0 ? i : pattern == 1 ? 7 : 200000 - i;
      std::string k(4, '\0');
      for (int b = 0; b < 4; ++b) k[b] = static_cast<char>(v >> (24 - 8 * b));
      keys.push_back(k);
    }
    LayOut(keys);
    std::vector<st::Item> want = Reference(Items(200000));
    cd->sortMethod = 1;
    SortSubList();
    EXPECT_EQ(Sorted(200000), want) << "pattern " << pattern;
  }
}

TEST_F(ItemSortTest, EmptyOrSingleSubListAndUnknownMethod) {
  SetKeyRange(0, 1);
  SetSortMemory(8192);
  LayOut({});
  SortSubList();
  EXPECT_EQ(cd->itemPtrArea[0], cd->sortMem + kItemKeyOfs);

  LayOut({"b", "a"});
  cd->sortMethod = 2;  // any other value leaves the order alone
  SortSubList();
  EXPECT_EQ(cd->itemPtrArea[0], cd->sortMem + kItemKeyOfs);
  EXPECT_EQ(cd->itemPtrArea[1], cd->sortMem + cd->itemLen + kItemKeyOfs);
}

}  // namespace
