// Placeholders for the option routines until they are written.
#include "options/file_names.h"
#include "options/parser.h"
#include "options/primary_select.h"
#include "options/stored_cmd_line.h"

Status parseMain(char*) {
  return kErrIncomplete;
}
int AddKeyRange(uint32_t, uint32_t) {
  return 2;
}
void StripDirectory(char*) {}
int strcmpi(const char*, const char*) {
  return 1;
}
void swap(void*, void*, uint32_t) {}
int ParsePrimaryOption(char**) {
  return 0;
}
ColumnEntry* GetPopt(char**) {
  return nullptr;
}
uint32_t GetCol(char**) {
  return 0;
}
int ChkPopt(const uint8_t*, uint32_t) {
  return 0;
}
int GetState() {
  return 0;
}
uint32_t Dpt2KelFormatUtil(char*, uint32_t, char, uint32_t) {
  return 0;
}
bool _splitpath(const char*, char*, char*, char*, char*) {
  return false;
}
bool _makepath(char*, const char*, const char*, const char*, const char*) {
  return false;
}
uint32_t FindFile(const char*, char*, const char*) {
  return 0;
}
uint32_t getDBPATH(const char*, char*) {
  return 0;
}
int CreateExclusive(const char*) {
  return -1;
}
int CreateExclusiveEx(const char*, int) {
  return -1;
}
int KelStrCmp(const char*, const char*) {
  return 1;
}
void ToLower(char*) {}
char ToUpperC(char c) {
  return c;
}
Status WriteCmdLine() {
  return kErrOpenIsi;
}
