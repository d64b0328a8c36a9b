// The pieces no run of the program reaches from outside in reasonable time.
#include <gtest/gtest.h>

#include <cstdint>

#include "driver/cleanup.h"

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
}  // namespace
