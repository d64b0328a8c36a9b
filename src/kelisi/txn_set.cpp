// txn_set: what a change over several indexes of one data file needs
// besides a change of one: where its journal lies, found again by an
// opener of any of the indexes, and the entries the last insert gave in
// each index.
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

// Where the header of `ix` leads to the data file `data`: the paths of
// its name that are that file.
std::vector<std::string> PathsToData(kelisi* ix, const FileId& data) {
  char candidates[3][kIsiJournalNameMax];
  size_t n = IsiDataFileCandidates(ix->hdr.data_name, ix->isiPath.c_str(), candidates);
  std::vector<std::string> paths;
  for (size_t k = 0; k < n; ++k) {
    FileId id;
    if (FileIdAt(ix->io, candidates[k], &id) && id == data) paths.emplace_back(candidates[k]);
  }
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
  std::vector<std::string> mine = PathsToData(lead, data);
  if (mine.empty()) return KELISI_E_DATA_OTHER;
  for (size_t k = 1; k < n; ++k) {
    bool found = false;
    for (const std::string& p : PathsToData(ixs[k], data))
      found = found || SameEntry(lead->io, p, mine[0]);
    if (!found) return KELISI_E_DATA_OTHER;
  }
  char journal[kIsiJournalNameMax];
  if (!JournalPathForData(mine[0].c_str(), journal, sizeof journal)) return KELISI_E_DATA_OTHER;
  *dataPath = mine[0];
  *journalPath = journal;
  return KELISI_OK;
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
