// txn_set: what a change over several indexes of one data file needs
// besides a change of one: where its journal lies, found again by an
// opener of any of the indexes, and the entries the last insert gave in
// each index.
#include <algorithm>
#include <cstring>

#include "core/journal.h"
#include "core/recovery.h"
#include "kelisi/txn_internal.h"

namespace kisi {

namespace {

const char* LastPart(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

std::string DirectoryPart(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

struct PathToData {
  std::string path;
  // Found wherever an opener of the index runs: the header's name is
  // absolute, or the path is beside the index (the name as written is
  // looked for from the opener's working directory).
  bool anywhere;
};

// Where the header of `ix` leads to the data file `data`: the paths of
// its name that are that file, those an opener finds from anywhere first.
std::vector<PathToData> PathsToData(kelisi* ix, const FileId& data) {
  char candidates[3][kIsiJournalNameMax];
  size_t n = IsiDataFileCandidates(ix->hdr.data_name, ix->isiPath.c_str(), candidates);
  bool besideAsWritten = strchr(ix->isiPath.c_str(), '/') == nullptr;
  std::vector<PathToData> paths;
  for (size_t k = 0; k < n; ++k) {
    FileId id;
    if (!FileIdAt(ix->io, candidates[k], &id) || !(id == data)) continue;
    bool anywhere = k > 0 || candidates[k][0] == '/' || besideAsWritten;
    paths.push_back({candidates[k], anywhere});
  }
  std::stable_partition(paths.begin(), paths.end(), [](const PathToData& p) { return p.anywhere; });
  return paths;
}

// Two names of one directory entry: the same last part in the same
// directory.
bool SameEntry(Io& io, const std::string& a, const std::string& b) {
  if (strcmp(LastPart(a.c_str()), LastPart(b.c_str())) != 0) return false;
  FileId da, db;
  return FileIdAt(io, DirectoryPart(a).c_str(), &da) &&
         FileIdAt(io, DirectoryPart(b).c_str(), &db) && da == db;
}

}  // namespace

int SetJournalPath(kelisi* const* ixs, size_t n, std::string* dataPath, std::string* journalPath) {
  kelisi* lead = ixs[0];
  FileId data;
  if (!FileIdOf(lead->io, lead->dataFd, &data)) return KELISI_E_DATA_READ;
  std::vector<PathToData> mine = PathsToData(lead, data);
  std::vector<std::vector<PathToData>> theirs;
  for (size_t k = 1; k < n; ++k) theirs.push_back(PathsToData(ixs[k], data));
  // The journal goes beside the first name of the lead's that every
  // index's header leads to, preferring one every index's opener finds
  // from anywhere.
  for (bool strict : {true, false}) {
    for (const PathToData& at : mine) {
      if (strict && !at.anywhere) continue;
      bool all = true;
      for (const std::vector<PathToData>& other : theirs) {
        bool found = false;
        for (const PathToData& p : other) {
          found = found || ((!strict || p.anywhere) && SameEntry(lead->io, p.path, at.path));
        }
        all = all && found;
      }
      if (!all) continue;
      char journal[kIsiJournalNameMax];
      if (!JournalPathForData(at.path.c_str(), journal, sizeof journal)) continue;
      *dataPath = at.path;
      *journalPath = journal;
      return KELISI_OK;
    }
  }
  return KELISI_E_DATA_OTHER;
}

int RecoverDataJournal(kelisi* ix) {
  char candidates[3][kIsiJournalNameMax];
  size_t n = IsiDataFileCandidates(ix->hdr.data_name, ix->isiPath.c_str(), candidates);
  std::vector<std::string> paths(candidates, candidates + n);
  paths.push_back(ix->dataPath);
  int given[2] = {ix->isiFd, ix->dataFd};
  int result = 0;
  for (const std::string& p : paths) {
    char journal[kIsiJournalNameMax];
    if (!JournalPathForData(p.c_str(), journal, sizeof journal)) continue;
    int r = JournalRecoverAt(ix->io.env, journal, given, 2);
    if (r < 0) return r;
    if (r > 0) result = 1;
  }
  return result;
}

}  // namespace kisi

extern "C" {

KELISI_API int kelisi_txn_entry(kelisi_txn* t, size_t i, kelisi_entry* out) {
  if (t == nullptr || out == nullptr) return KELISI_E_ARG;
  kelisi_txn* lead = t->lead;
  if (i >= lead->parts.size()) return KELISI_E_ARG;
  const kelisi_txn* part = lead->parts[i];
  if (part->entryStatus == KELISI_OK) *out = part->entry;
  return part->entryStatus;
}

}  // extern "C"
