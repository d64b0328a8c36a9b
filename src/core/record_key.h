// The key a data record carries, extracted one way for the index build's
// scanner and for the reader library (kelisi_record_key):
//   - key byte i comes from the record column its key specification names;
//     a reversed range (10-1) takes its columns in descending order;
//   - a text record ends at its end-of-record mark; columns past its end
//     are blanks;
//   - where tabs stand for blanks (space compression), a tab covers the
//     columns up to the next multiple of 8, each a blank;
//   - under option u, letters a-z of the key are folded to upper case, as
//     the C locale's toupper does.
// No run context here: the scanner and the library each describe their key
// as a KeyLayout and hand over a record's bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/definition.h"

constexpr uint32_t kTabStop = 8;
constexpr uint8_t kKeyBlank = ' ';
// A text data file's end of data: at the start of a record, or as the
// file's last byte, which is then no part of a record.
constexpr uint8_t kEofMark = 0x1A;

// The columns a tab at `column` (0-based) stands for.
inline uint32_t TabColumns(uint64_t column) {
  return kTabStop - static_cast<uint32_t>(column % kTabStop);
}

inline uint8_t FoldKeyByte(uint8_t c) {
  return (c >= 'a' && c <= 'z') ? static_cast<uint8_t>(c - 'a' + 'A') : c;
}

// True when a record's end-of-record mark starts at p: its first byte, and
// for a two-byte mark (mark2 non-zero) the second at p[1], which must be
// readable.
inline bool AtRecordMark(const uint8_t* p, uint8_t mark1, uint8_t mark2) {
  return p[0] == mark1 && (mark2 == 0 || p[1] == mark2);
}

// The key bytes of the key specification first-last (1-based columns).
inline uint32_t KeyRangeLength(uint32_t first, uint32_t last) {
  return first <= last ? last - first + 1 : first - last + 1;
}
// The 0-based record column of byte k of the key specification first-last.
inline uint32_t KeyRangeColumn(uint32_t first, uint32_t last, uint32_t k) {
  return first <= last ? first - 1 + k : first - 1 - k;
}

// A run of consecutive record columns that go to consecutive key positions.
struct KeyRun {
  uint16_t column;  // 0-based first record column
  uint16_t keyPos;  // the key position of its byte
  uint16_t length;  // columns in the run
  uint8_t upper;    // folded to upper case
};

// Where every key byte comes from, as runs in column order.
struct KeyLayout {
  uint32_t runCount;
  KeyRun runs[kMaxKeyBytes];
};

// Starts an empty layout.
void KeyLayoutClear(KeyLayout* layout);
// Key position `keyPos` takes record column `column`. Bytes may be added in
// any order; false when the layout is full or a position is beyond any key.
bool KeyLayoutAdd(KeyLayout* layout, uint32_t column, uint32_t keyPos, bool upper);
// After the last KeyLayoutAdd: orders the bytes by column and joins them
// into runs.
void KeyLayoutFinish(KeyLayout* layout);

// The layout of the first `keyLen` key bytes of a column table (ended by
// its kColEnd entry).
void KeyLayoutOfColumns(const ColumnEntry* table, uint32_t keyLen, KeyLayout* layout);

// Walks a record's text by column, forward only, a tab covering the columns
// up to the next tab stop.
class ColumnWalk {
 public:
  ColumnWalk(const uint8_t* text, size_t length) : text_(text), length_(length) {}
  // The index of the byte that covers `column` (never below the column
  // asked before), or the text's length when the column lies past its end.
  size_t ByteIndex(uint64_t column) {
    for (; index_ != length_; ++index_) {
      uint64_t width = text_[index_] == '\t' ? TabColumns(column_) : 1;
      if (column < column_ + width) break;
      column_ += width;
    }
    return index_;
  }
  // What `column` shows: the record byte, or a blank under a tab or past
  // the end.
  uint8_t ByteAt(uint64_t column) {
    size_t i = ByteIndex(column);
    return i < length_ && text_[i] != '\t' ? text_[i] : kKeyBlank;
  }

 private:
  const uint8_t* text_;
  size_t length_;
  size_t index_ = 0;     // the byte being looked at
  uint64_t column_ = 0;  // the first column it covers
};

// One record as a scanner found it, whole, in memory.
struct RecordSpan {
  const uint8_t* text;  // its first byte
  uint64_t bytes;       // its bytes before the end-of-record mark (text data), or all of them
  uint64_t columns;     // its columns: bytes, a tab counting for the columns it stands for
  bool tabs;            // a tab in it stands for blanks
  bool ended;           // the data ends inside it: no mark follows
  uint64_t readable;    // bytes in memory from text on: the record, its mark and what follows
};

// Writes the key of a record into `key` (every position the layout names).
// `text` holds the record's bytes up to its end-of-record mark, `length` of
// them; `tabs` says that tabs among them stand for blanks (otherwise a tab
// is a key byte like any other).
void ExtractKey(const KeyLayout& layout, const uint8_t* text, size_t length, bool tabs,
                uint8_t* key);
