// Key specifications: accumulating their columns, adding their columns to
// the column table as key bytes, and keeping them in keySpecTable for the
// ISI header.
#include "core/key_specs.h"

#include "core/definition_parse.h"
#include "core/record_key.h"

Status KeySpecChar(const IndexDefinition* d, KeySpecState* ks, char c) {
  if (c == '-') {
    if (ks->dash) return kErrKeySyntax;
    ks->dash = true;
    return kOk;
  }
  uint32_t* column = ks->dash ? &ks->last : &ks->first;
  *column = *column * 10 + static_cast<uint32_t>(c - '0');
  if (*column > 65535u - d->eorLen) return kErrKeyTooLarge;
  return kOk;
}

Status CompleteKeySpec(IndexDefinition* cd, KeySpecState* ks) {
  // A specification that began with '-' or column 0 stays pending, so that
  // digits after it extend its last column and a further '-' is refused.
  if (ks->first == 0) return kOk;
  if (ks->last == 0) ks->last = ks->first;
  int added = AddKeyRange(cd, ks->first, ks->last);
  if (added == 1) return kErrKeyOverlap;
  if (added == 2) return kErrTooManyKeyBytes;
  if (ks->count == kMaxKeySpecs) return kErrTooManyKeySpecs;
  // A reversed range keeps its length in 16-bit arithmetic: 10-1 is (9, 65528).
  KeySpecEntry& e = cd->keySpecTable[ks->count++];
  e.first = static_cast<uint16_t>(ks->first - 1);
  e.length = static_cast<uint16_t>(ks->last - (ks->first - 1));
  ks->first = ks->last = 0;
  ks->dash = false;
  return kOk;
}

int AddKeyRange(IndexDefinition* cd, uint32_t first, uint32_t last) {
  uint16_t keyPos = 0;
  for (int32_t i = 0; i < cd->colCount; ++i) {
    if (cd->colTable[i].flags & kColKey) ++keyPos;
  }
  for (uint32_t k = 0, n = KeyRangeLength(first, last); k < n; ++k) {
    uint32_t col = KeyRangeColumn(first, last, k);
    for (int32_t i = 0; i < cd->colCount; ++i) {
      if (cd->colTable[i].column == col && (cd->colTable[i].flags & kColKey)) return 1;
    }
    // A column of a p option is reused; anything else takes a new entry.
    ColumnEntry* e = FindOrAddColumn(cd, col, kMaxColumns);
    if (e == nullptr) return 2;
    e->keyPos = keyPos++;
    e->flags |= kColKey;
    if (cd->upperCaseKeys) e->flags |= kColUpper;
    ++cd->keySpecLen;
  }
  return 0;
}
