// File name resolution: the name/ext and volume conversions, splitting and
// joining names, the data-path search and creating output files.
#pragma once

#include <cstdint>

// Converts `name` in place (its buffer must hold 2 × room bytes). Returns the
// resulting length, 0 when the name cannot be resolved.
uint32_t Dpt2KelFormatUtil(char* name, uint32_t room, char fmtChar, uint32_t flags);

// Splits `path` into drive (3), dir (250), base (60) and ext (6). Returns
// false, leaving the parts empty, when a part does not fit its room.
bool _splitpath(const char* path, char* drive, char* dir, char* base, char* ext);

// dest = drive + dir + base + ext, lower-cased when lowerCaseNames is on.
// `dest` holds 512 bytes; returns false when the name does not fit.
bool _makepath(char* dest, const char* drive, const char* dir, const char* base, const char* ext);

// Looks for `name` along `pathList`; returns the directory length written to
// `dirOut` ('/' included), or 0.
uint32_t FindFile(const char* name, char* dirOut, const char* pathList);

// Copies the first directory of `list` (up to ':' or the end) into `out`
// without a terminator; returns its length.
uint32_t getDBPATH(const char* list, char* out);

// Opens `path` as a new file, or truncates an existing one. -1 on failure.
int CreateExclusive(const char* path);
int CreateExclusiveEx(const char* path, int unused);
