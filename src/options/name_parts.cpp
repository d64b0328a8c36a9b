// Splitting a file name into drive, directory, base name and extension, and
// joining them again. The parts have fixed rooms (3, 250, 60, 6 bytes); a
// name whose part does not fit is refused, never cut.
#include <cstring>
#include <initializer_list>

#include "core/text_util.h"
#include "driver/cmd_data.h"
#include "options/file_names.h"

namespace {

void CopyPart(char* out, const char* from, size_t len) {
  memcpy(out, from, len);
  out[len] = '\0';
}

}  // namespace

bool _splitpath(const char* path, char* drive, char* dir, char* base, char* ext) {
  const char* slash = strrchr(path, '/');
  const char* rest = slash != nullptr ? slash + 1 : path;
  const char* dot = strrchr(rest, '.');
  size_t dirLen = static_cast<size_t>(rest - path);
  size_t baseLen = dot != nullptr ? static_cast<size_t>(dot - rest) : strlen(rest);
  size_t extLen = dot != nullptr ? strlen(dot) : 0;
  drive[0] = dir[0] = base[0] = ext[0] = '\0';
  if (dirLen >= kDirSize || baseLen >= kBaseSize || extLen >= kExtSize) return false;
  CopyPart(dir, path, dirLen);
  CopyPart(base, rest, baseLen);
  CopyPart(ext, rest + baseLen, extLen);
  return true;
}

bool _makepath(char* dest, const char* drive, const char* dir, const char* base, const char* ext) {
  // Composed aside, so that `dest` may be the buffer a part came from.
  char joined[kNameSize];
  size_t n = 0;
  for (const char* part : {drive, dir, base, ext}) {
    size_t len = strlen(part);
    if (n + len >= sizeof joined) return false;
    memcpy(joined + n, part, len);
    n += len;
  }
  joined[n] = '\0';
  memcpy(dest, joined, n + 1);
  if (pCmdData->lowerCaseNames) ToLower(dest);
  return true;
}
