// The indexes of one data file. An index keeps the name of its data file
// as the build was given it; the library takes a data file for the one an
// index describes when that name, as written, beside the index or by its
// last part beside the index, leads to the same file. Finding the other
// indexes of a data file follows the same rule, so that the indexes listed
// are those a change through them accepts.
#include "kelisi_cli/data_indexes.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "kelisi.h"

namespace kelisi_cli {

namespace {

std::string LastPart(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The directory of `path` with its slash ("" for a bare name).
std::string DirPrefix(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// The places the header's name leads to, in the order they are tried.
std::vector<std::string> Places(const std::string& isi, const std::string& dataName) {
  std::vector<std::string> places;
  if (dataName.empty()) return places;
  places.push_back(dataName);
  std::string dir = DirPrefix(isi);
  if (dataName[0] != '/' && !dir.empty()) places.push_back(dir + dataName);
  std::string last = LastPart(dataName);
  if (last != dataName) places.push_back(dir + last);
  return places;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool IsIsiName(const std::string& name) {
  if (name.size() < 5) return false;
  std::string suffix = name.substr(name.size() - 4);
  for (char& c : suffix) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return suffix == ".isi";
}

}  // namespace

std::vector<std::string> IndexList(const std::string& arg) {
  struct stat st;
  if (arg.find(',') == std::string::npos || stat(arg.c_str(), &st) == 0) return {arg};
  std::vector<std::string> names;
  size_t at = 0;
  while (at <= arg.size()) {
    size_t comma = arg.find(',', at);
    if (comma == std::string::npos) comma = arg.size();
    if (comma > at) names.push_back(arg.substr(at, comma - at));
    at = comma + 1;
  }
  return names;
}

bool NamesDataFile(const std::string& isi, const std::string& dataName,
                   const std::string& dataPath) {
  struct stat data;
  if (stat(dataPath.c_str(), &data) != 0) return false;
  if (dataName.empty()) return false;
  bool found = false;
  for (const std::string& p : Places(isi, dataName)) {
    struct stat st;
    if (stat(p.c_str(), &st) != 0) continue;
    if (SameFile(st, data)) return true;
    found = true;
  }
  return !found && LastPart(dataName) == LastPart(dataPath);
}

std::string HeaderDataFile(const std::string& isi, const std::string& dataName) {
  for (const std::string& p : Places(isi, dataName)) {
    struct stat st;
    if (stat(p.c_str(), &st) == 0) return p;
  }
  return dataName;
}

std::vector<std::string> IndexesBeside(const std::string& dataPath,
                                       const std::vector<std::string>& leaveOut) {
  std::vector<std::string> found;
  std::string dir = DirPrefix(dataPath);
  DIR* d = opendir(dir.empty() ? "." : dir.c_str());
  if (d == nullptr) return found;
  std::vector<std::string> names;
  while (const dirent* e = readdir(d)) {
    if (IsIsiName(e->d_name)) names.emplace_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  std::vector<struct stat> left;
  for (const std::string& l : leaveOut) {
    struct stat st;
    if (stat(l.c_str(), &st) == 0) left.push_back(st);
  }
  for (const std::string& name : names) {
    std::string path = dir + name;
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (std::any_of(left.begin(), left.end(),
                    [&](const struct stat& l) { return SameFile(l, st); })) {
      continue;
    }
    // Only the header is read: an index being built, damaged or of another
    // program is none that names the file.
    kelisi* ix = nullptr;
    kelisi_header h{};
    bool read = kelisi_open(path.c_str(), nullptr, 0, &ix) == KELISI_OK &&
                kelisi_get_header(ix, &h) == KELISI_OK;
    kelisi_close(ix);
    if (read && NamesDataFile(path, h.data_name, dataPath)) found.push_back(path);
  }
  return found;
}

std::string NameList(const std::vector<std::string>& names) {
  std::string s;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) s += i + 1 == names.size() ? " and " : ", ";
    s += names[i];
  }
  return s;
}

}  // namespace kelisi_cli
