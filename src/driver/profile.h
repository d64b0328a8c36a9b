// Named settings: the INI profile's section "environment" first, then the
// process environment.
#pragma once

#include <cstdint>

// The value of a named setting, or nullptr when it is not set. A value found
// in the profile lives in envValue until the next call.
const char* CmdGetEnv(const char* name);

// Reads `key` of `section` from the profile `fileName` into `buffer`
// (`size` bytes with the terminator); the default when it is missing.
// Returns the length of the text left in `buffer`.
uint32_t GetQrxProfileStringUtil(const char* section, const char* key, const char* defaultText,
                                 char* buffer, uint32_t size, const char* fileName);

// Reads the next profile line from `fd` into iniLine; returns the bytes
// consumed (line end included), 0 at the end of the file.
uint32_t ReadProfileLine(int fd);
