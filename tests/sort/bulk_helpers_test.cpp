// The small helpers of the scanner's and the tree build's fast paths: the
// 16-byte-wide search for the next byte that needs a closer look, and the
// copies and compares of a few bytes. Each is held against the plain loop
// it replaces; buffers are exactly as large as the helper may touch, so an
// overrun shows in the sanitizer build.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "sort/plain_run.h"
#include "sort/small_copy.h"

namespace {

size_t ReferenceRun(const uint8_t* p, size_t limit, uint8_t a, uint8_t b) {
  size_t i = 0;
  while (i < limit && p[i] != a && p[i] != b) ++i;
  return i;
}

TEST(PlainRunTest, FindsTheFirstOfEitherByteWithinTheLimit) {
  std::mt19937 rng(3);
  for (size_t limit = 0; limit <= 70; ++limit) {
    for (int round = 0; round < 50; ++round) {
      // The helper may read up to 15 bytes past the limit, never more.
      std::vector<uint8_t> buf(limit + kPlainRunOverRead);
      for (auto& c : buf) c = static_cast<uint8_t>('a' + rng() % 26);
      // Sometimes plant the bytes, also right at and beyond the limit.
      for (int k = 0; k < 2; ++k) {
        size_t at = rng() % buf.size();
        if (rng() % 2) buf[at] = rng() % 2 ? '\n' : '\t';
      }
      ASSERT_EQ(PlainRunPadded(buf.data(), limit, '\n', '\t'),
                ReferenceRun(buf.data(), limit, '\n', '\t'))
          << "limit " << limit;
    }
  }
}

TEST(PlainRunTest, BytesWithTheHighBitSet) {
  // The comparison is of equality only: 0x80 and above are found and
  // passed over like any other byte.
  std::vector<uint8_t> buf(40 + kPlainRunOverRead, 0xFF);
  buf[33] = 0x80;
  EXPECT_EQ(PlainRunPadded(buf.data(), 40, 0x80, 0x80), 33u);
  EXPECT_EQ(PlainRunPadded(buf.data(), 33, 0x80, 0x80), 33u);
  EXPECT_EQ(PlainRunPadded(buf.data(), 40, 0x0A, 0x09), 40u);
}

TEST(SmallCopyTest, CopiesExactlyTheBytesAsked) {
  std::mt19937 rng(5);
  for (size_t n = 0; n <= 70; ++n) {
    std::vector<uint8_t> src(n);
    for (auto& c : src) c = static_cast<uint8_t>(rng());
    // The destination has a guard byte on each side.
    std::vector<uint8_t> dst(n + 2, 0xA5);
    CopyFew(dst.data() + 1, src.data(), n);
    EXPECT_EQ(dst[0], 0xA5);
    EXPECT_EQ(dst[n + 1], 0xA5) << n;
    EXPECT_TRUE(std::equal(src.begin(), src.end(), dst.begin() + 1)) << n;
  }
}

TEST(SmallCopyTest, EqualFewMatchesMemcmpAtEveryLengthAndDifferencePosition) {
  for (size_t n = 0; n <= 70; ++n) {
    std::vector<uint8_t> a(n), b(n);
    for (size_t i = 0; i < n; ++i) a[i] = b[i] = static_cast<uint8_t>(i * 7);
    EXPECT_TRUE(EqualFew(a.data(), b.data(), n)) << n;
    for (size_t d = 0; d < n; ++d) {
      b[d] ^= 0x80;
      EXPECT_FALSE(EqualFew(a.data(), b.data(), n)) << n << " differs at " << d;
      b[d] ^= 0x80;
    }
  }
}

}  // namespace
