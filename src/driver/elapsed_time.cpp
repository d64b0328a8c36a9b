// The elapsed-time text of the final report.
#include <cinttypes>
#include <cstdio>

#include "driver/cleanup.h"

void ctimex(int64_t seconds, char* out, size_t outSize) {
  if (out == nullptr || outSize == 0) return;
  // A clock set back during the run gives a negative difference; no time
  // has been measured then.
  if (seconds < 0) seconds = 0;
  snprintf(out, outSize, "%02" PRId64 ":%02" PRId64 ":%02" PRId64, seconds / 3600,
           seconds % 3600 / 60, seconds % 60);
}
