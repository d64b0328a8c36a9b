// Small text helpers of the option subsystem: directory stripping, the
// case-blind and byte-wise comparisons, ASCII case folding, and the output
// of lines too long for the message buffer.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "driver/messages.h"
#include "options/file_names.h"
#include "options/parse_steps.h"
#include "options/parser.h"

void StripDirectory(char* name) {
  char* slash = strrchr(name, '/');
  if (slash != nullptr) memmove(name, slash + 1, strlen(slash + 1) + 1);
}

bool SameTextIgnoringCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    if (ToUpperC(*a) != ToUpperC(*b)) return false;
    if (*a == '\0') return true;
  }
}

int KelStrCmp(const char* a, const char* b) {
  return strcmp(a, b);
}

void ToLower(char* text) {
  for (; *text != '\0'; ++text) {
    if (*text >= 'A' && *text <= 'Z') *text = static_cast<char>(*text + ('a' - 'A'));
  }
}

char ToUpperC(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c;
}

void ShowLongLine(const char* format, ...) {
  // Room for two whole file names or a whole command text and the words
  // around them.
  char line[1200];
  va_list ap;
  va_start(ap, format);
  vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  CmdOutInfoString(line);
}
