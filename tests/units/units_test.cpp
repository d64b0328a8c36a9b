// The pieces no run of the program reaches from outside in reasonable time.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>

#include "driver/cleanup.h"
#include "sort/key_compare.h"
#include "sort/shell_sort.h"
#include "support/model.h"

namespace {

// The time line of a run of 100 hours or more, and of a clock set back.
TEST(ElapsedTime, HoursKeepAllTheirDigitsAndNegativeIsZero) {
  const struct {
    int64_t seconds;
    const char* text;
  } cases[] = {{0, "00:00:00"},      {59, "00:00:59"},          {3599, "00:59:59"},
               {3600, "01:00:00"},   {359999, "99:59:59"},      {360000, "100:00:00"},
               {-5, "00:00:00"},     {INT64_MAX, "2562047788015215:30:07"}};
  for (const auto& c : cases) {
    char text[kElapsedTextSize];
    ctimex(c.seconds, text, sizeof text);
    EXPECT_STREQ(text, c.text) << c.seconds;
  }
}
// Each kind of Shell sort this processor runs orders the words as their
// items do (the vector kinds run here on the program's data only when they
// are the widest): every gap's pass, keys that repeat a lot or not at all.
TEST(ShellSort, EveryKindOrdersAsTheItems) {
  constexpr uint32_t kKeyLen = 3, kItemLen = kItemKeyOfs + kKeyLen;
  kt::Rng rng(5);
  for (uint32_t n : {2, 9, 448, 640, 768, 5000})
    for (uint32_t symbols : {2, 256}) {
      std::vector<uint8_t> items(size_t{n} * kItemLen);
      WordForm f{items.data() + kItemKeyOfs, kItemLen, kKeyLen,
                 (uint64_t{1} << std::bit_width(n - 1)) - 1};
      std::vector<uint64_t> words(n);
      for (uint32_t i = 0; i < n; ++i) {
        uint8_t* item = items.data() + size_t{i} * kItemLen;
        SetItemPosition(item, n - i);
        for (uint32_t b = 0; b < kKeyLen; ++b) item[kItemKeyOfs + b] = uint8_t(rng.Below(symbols));
        words[i] = (keycmp::LoadShort(item + kItemKeyOfs, kKeyLen) << 40) | i;
      }
      std::vector<uint64_t> sorted(words);
      std::sort(sorted.begin(), sorted.end(),
                [&](uint64_t a, uint64_t b) { return WordAfter(f, b, a); });
      for (ShellLanes lanes : {ShellLanes::kScalar, ShellLanes::kAvx2, ShellLanes::kAvx512}) {
        if (lanes > ShellLanesHere()) break;
        std::vector<uint64_t> w(words);
        ShellSort(w.data(), n, f, lanes);
        EXPECT_EQ(w, sorted) << n << " words, " << symbols << " symbols, kind " << int(lanes);
      }
    }
}

}  // namespace
