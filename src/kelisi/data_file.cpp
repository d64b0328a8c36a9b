// data_file: the data file an index describes. Its header keeps the name
// the build was given (with the directories it was typed with), and the
// data's length as the build read it. The file is looked for under that
// name as written, then beside the index (a relative name), then by its
// last part beside the index, as a rebuild without the stored directories
// looks for it; a file is the one described when it is one of those files
// (device and inode, not just the name) and holds at least the data the
// header counts.
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "kelisi/kelisi_internal.h"

namespace kisi {

namespace {

const char* LastPart(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

bool IdOfStat(const struct stat& st, FileId* id) {
  id->dev = static_cast<uint64_t>(st.st_dev);
  id->ino = static_cast<uint64_t>(st.st_ino);
  return true;
}

}  // namespace

bool FileIdOf(Io& io, int fd, FileId* id) {
  struct stat st;
  return io.env->statFile(io.env, fd, &st) == 0 && IdOfStat(st, id);
}

bool FileIdAt(Io& io, const char* path, FileId* id) {
  struct stat st;
  return io.env->statPath(io.env, path, &st) == 0 && IdOfStat(st, id);
}

std::vector<std::string> HeaderDataPaths(const char* dataName, const char* isiPath) {
  std::vector<std::string> paths;
  if (dataName[0] == '\0') return paths;
  paths.emplace_back(dataName);
  const char* slash = strrchr(isiPath, '/');
  std::string dir = slash != nullptr ? std::string(isiPath, slash + 1) : "";
  if (dataName[0] != '/' && !dir.empty()) paths.push_back(dir + dataName);
  const char* last = LastPart(dataName);
  if (last != dataName) paths.push_back(dir + last);
  return paths;
}

int CheckDataFile(kelisi* ix, const char* isiPath, int fd, const char* path) {
  const kelisi_header& h = ix->hdr;
  FileId given;
  uint64_t size = 0;
  if (!FileIdOf(ix->io, fd, &given) || !IoFileSize(ix->io, fd, &size)) return KELISI_E_DATA_READ;
  uint64_t counted = uint64_t{h.data_length} * (ix->recNum ? ix->recordStride : 1);
  if (size < counted) return KELISI_E_DATA_OTHER;
  if (h.data_name[0] == '\0') return KELISI_OK;  // another program's index names none
  bool found = false;
  for (const std::string& p : HeaderDataPaths(h.data_name, isiPath)) {
    FileId id;
    if (!FileIdAt(ix->io, p.c_str(), &id)) continue;
    if (id == given) return KELISI_OK;
    found = true;
  }
  // None of the files named is there: they moved, keeping the data's name.
  return !found && strcmp(LastPart(h.data_name), LastPart(path)) == 0 ? KELISI_OK
                                                                      : KELISI_E_DATA_OTHER;
}

}  // namespace kisi
