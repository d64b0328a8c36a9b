// Turning a file specification as typed into a native path: name/ext with
// '/' before the extension, name/ext:volume with a volume standing for a
// directory, and names holding '|', which are left alone.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "core/text_util.h"
#include "driver/profile.h"
#include "driver/sys_io.h"
#include "options/file_names.h"

namespace {

uint32_t Fits(const char* name, uint32_t room) {
  size_t len = strlen(name);
  return len < room ? static_cast<uint32_t>(len) : 0;
}

// The directory of a volume: the first of QRXVOL_<volume>, QRX_<volume>,
// VEZOR_<volume> that is set and not empty, the volume in upper case. The
// keys are built in `scratch` (`room` bytes).
const char* VolumeDirectory(const char* volume, char* scratch, uint32_t room) {
  static const char* const kPrefixes[] = {"QRXVOL_", "QRX_", "VEZOR_"};
  for (const char* prefix : kPrefixes) {
    size_t prefixLen = strlen(prefix), volumeLen = strlen(volume);
    if (prefixLen + volumeLen >= room) return nullptr;
    memcpy(scratch, prefix, prefixLen);
    for (size_t i = 0; i <= volumeLen; ++i) scratch[prefixLen + i] = ToUpperC(volume[i]);
    const char* dir = CmdGetEnv(scratch);
    if (dir != nullptr && dir[0] != '\0') return dir;
  }
  return nullptr;
}

// Scanning back from the last character to the second, the first '/' met
// before any fmtChar becomes fmtChar (name/ext → name.ext).
void SlashToFmtChar(char* name, size_t len, char fmtChar) {
  for (size_t i = len; i-- > 1;) {
    if (name[i] == fmtChar) return;
    if (name[i] == '/') {
      name[i] = fmtChar;
      return;
    }
  }
}

// name/ext:volume with the volume's directory: directory + name.ext. The
// result is composed in `scratch` and copied back only when it fits.
uint32_t JoinVolume(char* name, char* colon, const char* dir, uint32_t room, char fmtChar,
                    char* scratch) {
  size_t nameLen = static_cast<size_t>(colon - name), dirLen = strlen(dir);
  if (dirLen >= room) return 0;
  bool slash = dir[dirLen - 1] != ':' && dir[dirLen - 1] != '/';
  size_t head = dirLen + (slash ? 1 : 0);
  if (head >= room || head + nameLen >= room) return 0;
  memcpy(scratch, dir, dirLen);
  if (slash) scratch[dirLen] = '/';
  memcpy(scratch + head, name, nameLen);
  scratch[head + nameLen] = '\0';
  SlashToFmtChar(scratch + head, nameLen, fmtChar);
  memcpy(name, scratch, head + nameLen + 1);
  return static_cast<uint32_t>(head + nameLen);
}

// Scanning back from the last character to the second: a fmtChar leaves the
// name as it is; at a '/' the text before it decides: an existing directory
// (or one that may not be examined) keeps the path, anything else makes the
// '/' the start of the extension.
void ConvertExtensionSlash(char* name, char fmtChar) {
  for (size_t i = strlen(name); i-- > 1;) {
    if (name[i] == fmtChar) return;
    if (name[i] != '/') continue;
    name[i] = '\0';
    struct stat st;
    bool examined = SysStat(name, &st) == 0;
    bool denied = !examined && errno == EACCES;
    name[i] = '/';
    if (!(examined && S_ISDIR(st.st_mode)) && !denied) name[i] = fmtChar;
    return;
  }
}

}  // namespace

uint32_t Dpt2KelFormatUtil(char* name, uint32_t room, char fmtChar, uint32_t) {
  char* scratch = name + room;
  if (name[0] == '\0') return 0;
  if (strchr(name, '|') != nullptr) return Fits(name, room);
  if (char* colon = strchr(name, ':')) {
    if (const char* dir = VolumeDirectory(colon + 1, scratch, room)) {
      return JoinVolume(name, colon, dir, room, fmtChar, scratch);
    }
    // No such volume: the name keeps its ':' part and only the '/' before an
    // extension is converted, however many '/' it holds.
    ConvertExtensionSlash(name, fmtChar);
    return Fits(name, room);
  }
  const char* slash = strchr(name, '/');
  if (slash != nullptr && strchr(slash + 1, '/') != nullptr) return Fits(name, room);
  ConvertExtensionSlash(name, fmtChar);
  return Fits(name, room);
}
