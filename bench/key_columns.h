// Key column lists of the benchmark tools: the "1-10,20,30-40" text that
// kelindex takes as key specifications, turned into the 0-based data columns
// that make up a key, in key order. A range written high to low ("10-1")
// takes its columns in reverse order, as kelindex does. Header only because
// every bench/*.cpp is a program of its own.
#pragma once

#include <cstdint>

namespace bench {

constexpr int kMaxKeyBytes = 150;
constexpr int kMaxKeyRanges = 32;

struct KeyRange {
  uint32_t first;  // 1-based, as typed
  uint32_t last;   // 1-based, as typed; below first for a reversed range
};

struct KeyColumns {
  int rangeCount;
  KeyRange ranges[kMaxKeyRanges];
  int length;                     // key bytes
  uint16_t column[kMaxKeyBytes];  // 0-based data column of each key byte
  uint32_t maxColumn;             // highest 0-based column used, + 1
};

// Reads a decimal column number of at most 5 digits at *p; 0 when none.
inline uint32_t ParseColumnNumber(const char** p) {
  uint32_t value = 0;
  int digits = 0;
  while (**p >= '0' && **p <= '9' && digits < 6) {
    value = value * 10 + static_cast<uint32_t>(**p - '0');
    ++*p;
    ++digits;
  }
  return digits == 0 || digits > 5 ? 0 : value;
}

// Appends the columns of one range; false when the key would pass 150 bytes.
inline bool AddKeyRange(KeyColumns* keys, uint32_t first, uint32_t last) {
  if (keys->rangeCount == kMaxKeyRanges) return false;
  keys->ranges[keys->rangeCount++] = KeyRange{first, last};
  int step = first <= last ? 1 : -1;
  for (int64_t c = first;; c += step) {
    if (keys->length == kMaxKeyBytes) return false;
    keys->column[keys->length++] = static_cast<uint16_t>(c - 1);
    if (static_cast<uint32_t>(c) > keys->maxColumn) keys->maxColumn = static_cast<uint32_t>(c);
    if (c == static_cast<int64_t>(last)) break;
  }
  return true;
}

// Parses "[-]A[-B][,C[-D]...]" (',' or ' ' between ranges, columns 1 to
// 65535). Returns false on any other text or on more than 32 ranges or 150
// key bytes; *keys is then unusable.
inline bool ParseKeyColumns(const char* text, KeyColumns* keys) {
  *keys = KeyColumns{};
  const char* p = text;
  if (*p == '-') ++p;
  while (true) {
    uint32_t first = ParseColumnNumber(&p);
    if (first == 0 || first > 65535) return false;
    uint32_t last = first;
    if (*p == '-') {
      ++p;
      last = ParseColumnNumber(&p);
      if (last == 0 || last > 65535) return false;
    }
    if (!AddKeyRange(keys, first, last)) return false;
    if (*p == '\0') return true;
    if (*p != ',' && *p != ' ') return false;
    ++p;
  }
}

}  // namespace bench
