// Messages of compaction.
#include "compact/compact_messages.h"

#include <cstdarg>
#include <cstdio>

#include "driver/cmd_data.h"
#include "driver/messages.h"

void CompactShowNamed(const char* storedText, const char* name) {
  const char* format = CmdBuildFormat(storedText);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  CmdShowf(format, name);
#pragma GCC diagnostic pop
}

Status CompactRefuseDamaged(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  CmdVShowf(format, ap);
  va_end(ap);
  return kErrCorruptIsi;
}
