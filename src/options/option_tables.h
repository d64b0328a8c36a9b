// The tables the option parser builds and the scanner reads: the column
// table and the terms of an extended selection expression. (The key
// specifications and primary-record tests it also builds are records of
// the ISI header, isi/isi_format.h.)
#pragma once

#include <cstddef>
#include <cstdint>

// The key specifications and primary-record tests are stored in the ISI
// header as they are built here: their records are the format's.
#include "isi/isi_format.h"

// Column table limits.
constexpr int kMaxColumns = 150;  // entries in use; one more holds the terminator
constexpr int kMaxSelTerms = 24;  // one more slot holds the end mark

// ColumnEntry flag bits.
enum : uint16_t {
  kColExtended = 4,               // column of an extended selection expression
  kColKey = 8,                    // key byte
  kColNotEqual = kSelOpNotEqual,  // selection: must differ from matchChar
  kColEqual = kSelOpEqual,        // selection: must equal matchChar
  kColUpper = 64,                 // key byte folded to upper case
  kColDescending = 128            // reserved; no option sets it
};
constexpr uint16_t kColEnd = 0xFFFF;  // keyPos of the entry after the last

// One record column that takes part in the key or in record selection.
struct ColumnEntry {
  uint16_t column;  // 0-based record column
  uint16_t keyPos;  // 0-based key position (key bytes only); kColEnd ends the table
  uint16_t flags;
  uint8_t matchChar;  // character compared by a selection test, 0 if none
};

// Term kinds and operators of an extended selection expression.
enum : uint8_t { kTermFirst = 1, kTermAnd = 2, kTermOr = 3, kTermEnd = 4 };
enum : uint32_t { kOpLess = 1, kOpGreater, kOpEqual, kOpNotEqual, kOpLessEq, kOpGreaterEq };

// One comparison of an extended selection expression.
struct SelTerm {
  uint8_t kind;      // kTermFirst, kTermAnd, kTermOr; kTermEnd after the last
  uint16_t numeric;  // bit 1: numeric comparison
  uint32_t column;   // 0-based record column where the field starts
  uint32_t length;   // literal length; the field compared has the same length
  const char* text;  // the literal, inside the command text
  uint32_t op;       // kOpLess ... kOpGreaterEq
  uint32_t result;   // 0 not evaluated, 1 false, 2 true
  double value;      // the literal as a number (numeric terms)
};
