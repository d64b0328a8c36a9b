// Key extraction (see record_key.h).
#include "core/record_key.h"

#include <cstring>

#include "core/small_copy.h"

void KeyLayoutClear(KeyLayout* layout) {
  layout->runCount = 0;
}

bool KeyLayoutAdd(KeyLayout* layout, uint32_t column, uint32_t keyPos, bool upper) {
  if (layout->runCount == kMaxKeyBytes || keyPos >= kMaxKeyBytes || column > UINT16_MAX) {
    return false;
  }
  layout->runs[layout->runCount++] = KeyRun{
      static_cast<uint16_t>(column), static_cast<uint16_t>(keyPos), 1, static_cast<uint8_t>(upper)};
  return true;
}

void KeyLayoutFinish(KeyLayout* layout) {
  KeyRun* r = layout->runs;
  uint32_t n = layout->runCount;
  // At most 150 bytes, mostly already in column order.
  for (uint32_t i = 1; i < n; ++i) {
    KeyRun x = r[i];
    uint32_t j = i;
    for (; j > 0 && r[j - 1].column > x.column; --j) r[j] = r[j - 1];
    r[j] = x;
  }
  uint32_t out = 0;
  for (uint32_t i = 0; i < n; ++i) {
    if (out > 0) {
      KeyRun& last = r[out - 1];
      if (r[i].column == last.column + last.length && r[i].keyPos == last.keyPos + last.length &&
          r[i].upper == last.upper) {
        ++last.length;
        continue;
      }
    }
    r[out++] = r[i];
  }
  layout->runCount = out;
}

void KeyLayoutOfColumns(const ColumnEntry* table, uint32_t keyLen, KeyLayout* layout) {
  KeyLayoutClear(layout);
  for (int i = 0; i < kMaxColumns && table[i].keyPos != kColEnd; ++i) {
    const ColumnEntry& e = table[i];
    if ((e.flags & kColKey) && e.keyPos < keyLen) {
      KeyLayoutAdd(layout, e.column, e.keyPos, (e.flags & kColUpper) != 0);
    }
  }
  KeyLayoutFinish(layout);
}

namespace {

void FoldRun(uint8_t* key, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) key[i] = FoldKeyByte(key[i]);
}

}  // namespace

void ExtractKey(const KeyLayout& layout, const uint8_t* text, size_t length, bool tabs,
                uint8_t* key) {
  const KeyRun* end = layout.runs + layout.runCount;
  if (tabs) {
    ColumnWalk walk(text, length);
    for (const KeyRun* r = layout.runs; r < end; ++r) {
      uint8_t* k = key + r->keyPos;
      for (uint32_t i = 0; i < r->length; ++i) k[i] = walk.ByteAt(r->column + i);
      if (r->upper) FoldRun(k, r->length);
    }
    return;
  }
  for (const KeyRun* r = layout.runs; r < end; ++r) {
    uint8_t* k = key + r->keyPos;
    size_t have = r->column < length ? length - r->column : 0;
    if (have >= r->length) {
      CopyFew(k, text + r->column, r->length);
    } else {
      if (have > 0) memcpy(k, text + r->column, have);
      memset(k + have, kKeyBlank, r->length - have);
    }
    if (r->upper) FoldRun(k, r->length);
  }
}
