// The column table: finding and adding entries, ordering them by column for
// the record scanner, and showing them with -d.
#include <cstdio>
#include <cstring>
#include <utility>

#include "driver/cmd_data.h"
#include "driver/messages.h"
#include "options/parse_steps.h"
#include "options/parser.h"

ColumnEntry* FindOrAddColumn(uint32_t column, int32_t limit) {
  CmdData* cd = pCmdData;
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
void SortColumnTable() {
  CmdData* cd = pCmdData;
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

void ShowColumnTable() {
  CmdData* cd = pCmdData;
  static const struct {
    uint16_t flag;
    const char* text;
  } kFlagTexts[] = {{kColKey, "  Key;"},          {kColNotEqual, "  != match;"},
                    {kColEqual, "  = match;"},    {kColExtended, "  extended;"},
                    {kColUpper, "  Upper Case;"}, {kColDescending, "  Descending;"}};
  CmdOutInfoString("  Col   Pos Char  Other\n");
  for (int32_t i = 0; i < cd->colCount; ++i) {
    const ColumnEntry& e = cd->colTable[i];
    char* line = cd->msgBuf;  // diagnostic lines are formatted in the message buffer
    const size_t room = kMsgBufSize;
    int pos = (e.flags & kColKey) ? e.keyPos + 1 : 0;
    size_t n = static_cast<size_t>(snprintf(line, room, "%5d %5d", e.column + 1, pos));
    if (e.matchChar != 0) {
      n += static_cast<size_t>(snprintf(line + n, room - n, "  '%c'", e.matchChar));
    } else {
      n += static_cast<size_t>(snprintf(line + n, room - n, "     "));
    }
    for (const auto& f : kFlagTexts) {
      if (e.flags & f.flag) n += static_cast<size_t>(snprintf(line + n, room - n, "%s", f.text));
    }
    snprintf(line + n, room - n, "\n");
    CmdOutInfoString(line);
  }
}
