// Small text helpers (text_util.h).
#include "core/text_util.h"

#include <cstring>

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
