// The column table: finding and adding entries, and ordering them by
// column for the record scanner.
#include <utility>

#include "core/definition_parse.h"

ColumnEntry* FindOrAddColumn(IndexDefinition* cd, uint32_t column, int32_t limit) {
  for (int32_t i = 0; i < cd->colCount; ++i) {
    if (cd->colTable[i].column == column) return &cd->colTable[i];
  }
  if (cd->colCount >= limit) return nullptr;
  ColumnEntry* e = &cd->colTable[cd->colCount++];
  *e = ColumnEntry{};
  e->column = static_cast<uint16_t>(column);
  return e;
}

// A selection sort that stops as soon as a pass finds the rest in order:
// each pass walks from the last entry back to the first unsorted one,
// keeping the smallest column.
void SortColumnTable(IndexDefinition* cd) {
  ColumnEntry* t = cd->colTable;
  for (int32_t first = 0; first < cd->colCount - 1; ++first) {
    int32_t min = cd->colCount - 1;
    bool unordered = false;
    for (int32_t i = cd->colCount - 2; i >= first; --i) {
      if (t[i].column < t[min].column) {
        min = i;
      } else {
        unordered = true;
      }
    }
    if (!unordered) return;
    if (min != first) std::swap(t[min], t[first]);
  }
}
