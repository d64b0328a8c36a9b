// The definition of an index: its defaults, the checks that finish it
// after the option scan, and the reading of a whole command text that
// builds an index (the line an index stores).
#include <cstring>

#include "core/definition_parse.h"

void DefinitionDefaults(IndexDefinition* d) {
  d->showRecCount = 1;
  d->maxFillPct = 100;
  d->spaceCompIsComp = 1;
  d->recNumMode = 1;
  d->eorLen = 1;
  d->isiEorLen = 1;
  d->eorIsiFlags = kFmtEorLf;
  d->eorChar1 = '\n';
  d->eorChar2 = 0;
}

Status CheckDefinition(IndexDefinition* d) {
  // The ISI header marks an extended selection in the last byte of the
  // tests: when the last p option was the expression.
  if (d->primarySelForm == 'P')
    d->primarySelTable[kMaxPrimaryTests - 1].matchChar = kSelExtendedMark;
  if (d->binaryData) {
    if (d->allowVarLen) return kErrConflictFsv;
    if (d->recLenSpec == 0) return kErrNeedRecLen;
    d->recLenFound = d->recLenSpec;
  }
  if (d->colCount == 0 && !d->showIndexInfo && !d->reindex && d->compactFlags == 0) {
    return kErrIncomplete;
  }
  d->colTable[d->colCount] = ColumnEntry{};
  d->colTable[d->colCount].keyPos = kColEnd;
  SortColumnTable(d);
  d->firstTestEntry = 0;
  while (d->firstTestEntry < d->colCount &&
         (d->colTable[d->firstTestEntry].flags & (kColExtended | kColEqual | kColNotEqual)) == 0) {
    ++d->firstTestEntry;
  }
  return kOk;
}

Status ParseDefinition(IndexDefinition* d, char* text) {
  char* cursor = text;
  Status st = ScanFileFields(d, &cursor);
  if (st == kOk) st = FindOptionMarker(&cursor);
  if (st == kOk) st = ScanOptions(d, cursor);
  if (st == kOk) st = CheckDefinition(d);
  if (st == kOk && (d->compactFlags != 0 || d->showIndexInfo || d->reindex)) st = kErrStoredLine;
  return st;
}
