// Two-step formatting of the compaction messages that name a file.
#include "compact/named_message.h"

#include "driver/messages.h"

void CompactShowNamed(const char* storedText, const char* name) {
  const char* format = CmdBuildFormat(storedText);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  CmdShowf(format, name);
#pragma GCC diagnostic pop
}
