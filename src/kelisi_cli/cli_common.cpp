// What the subcommands share: reading their arguments, the failure line,
// the texts of library statuses, opening an index, buffered output.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kelisi_cli/cli.h"
#include "kelisi_cli/text_escape.h"

namespace kelisi_cli {

namespace {

std::string gOut;  // standard output, written in large blocks
bool gWriteFailed = false;

void WriteOut() {
  if (!gOut.empty() && !gWriteFailed) {
    if (fwrite(gOut.data(), 1, gOut.size(), stdout) != gOut.size()) gWriteFailed = true;
  }
  gOut.clear();
}

// Why a file cannot be opened (for reading, or for update), as the
// system says it.
std::string OpenFailure(const std::string& path, bool update) {
  int fd = open(path.c_str(), update ? O_RDWR : O_RDONLY);
  if (fd >= 0) {
    close(fd);
    return "";
  }
  return strerror(errno);
}

// The directory a file is in, as a path.
std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Why the rollback journal beside an index cannot be made there.
std::string JournalFailure(const std::string& isiPath) {
  std::string dir = DirectoryOf(isiPath);
  std::string text =
      "cannot create or write the journal " + isiPath + "-journal in the directory " + dir;
  if (access(dir.c_str(), W_OK | X_OK) != 0) text += ": " + std::string(strerror(errno));
  return text;
}

}  // namespace

int Fail(const std::string& text) {
  WriteOut();
  fflush(stdout);
  fprintf(stderr, "kelisi: %s\n", text.c_str());
  return kExitFail;
}

bool ReadArgs(int argc, char** argv, int first, const std::set<std::string>& flags,
              const std::set<std::string>& valued, size_t minPositional, size_t maxPositional,
              const char* command, Args* out) {
  bool optionsEnded = false;
  for (int i = first; i < argc; ++i) {
    std::string a = argv[i];
    if (optionsEnded || a.size() < 2 || a[0] != '-') {
      out->positional.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsEnded = true;
      continue;
    }
    std::string name = a, value;
    size_t eq = a.find('=');
    bool hasValue = eq != std::string::npos && a.compare(0, 2, "--") == 0;
    if (hasValue) {
      name = a.substr(0, eq);
      value = a.substr(eq + 1);
    }
    if (flags.count(name) != 0 && !hasValue) {
      out->flags.insert(name);
    } else if (valued.count(name) != 0) {
      if (!hasValue) {
        if (i + 1 >= argc) {
          Fail(std::string(command) + ": option " + name + " needs a value");
          return false;
        }
        value = argv[++i];
      }
      out->values[name] = value;
    } else {
      Fail(std::string(command) + ": unknown option " + a + " (kelisi -h shows the usage)");
      return false;
    }
  }
  if (out->positional.size() < minPositional || out->positional.size() > maxPositional) {
    Fail(std::string(command) + ": " +
         (out->positional.size() < minPositional ? "missing arguments" : "too many arguments") +
         " (kelisi -h shows the usage)");
    return false;
  }
  return true;
}

std::string StatusText(int status, const std::string& isiPath, const std::string& dataPath,
                       bool update) {
  std::string why;
  switch (status) {
    case KELISI_E_OPEN:
      why = OpenFailure(isiPath, update);
      return "cannot open " + isiPath + (why.empty() ? "" : ": " + why);
    case KELISI_E_READ:
      return "cannot read " + isiPath;
    case KELISI_E_NOT_ISI:
      return "not an ISI file: " + isiPath;
    case KELISI_E_BUILDING:
      return isiPath + " has no header yet: kelindex is building it, or its build did not finish";
    case KELISI_E_HEADER:
      return "damaged ISI header: " + isiPath;
    case KELISI_E_CORRUPT:
      return "damaged ISI structure: " + isiPath;
    case KELISI_E_DATA_OPEN:
      why = OpenFailure(dataPath, update);
      return "cannot open the data file " + dataPath + (why.empty() ? "" : ": " + why);
    case KELISI_E_DATA_READ:
      return "cannot read the record from the data file " + dataPath +
             " (a read failed, or the record lies past its end)";
    case KELISI_E_KEYSPEC:
      return "the key specifications in the header of " + isiPath + " do not describe its key";
    case KELISI_E_NOMEM:
      return "out of memory";
    case KELISI_E_LOCK:
      return "cannot lock the data file of " + isiPath;
    case KELISI_E_JOURNAL_WRITE:
      return JournalFailure(isiPath);
    default:
      return std::string(kelisi_strerror(status)) + ": " + isiPath;
  }
}

bool KeyArgument(const char* command, const std::string& text, kelisi* ix, const kelisi_header& h,
                 const std::string& isiPath, bool pad, std::string* key, bool* padded) {
  std::string error;
  if (!Unescape(text, key, &error)) {
    Fail(std::string(command) + ": " + error + ": " + text);
    return false;
  }
  if (key->size() > h.key_length) {
    Fail(std::string(command) + ": the key " + text + " is longer than the keys of " + isiPath +
         " (" + std::to_string(h.key_length) + " bytes)");
    return false;
  }
  kelisi_fold_key(ix, key->data(), key->size());
  bool shorter = key->size() < h.key_length;
  if (padded != nullptr) *padded = pad && shorter;
  if (pad) key->resize(h.key_length, ' ');
  return true;
}

void RecoverAndSay(const std::string& isiPath) {
  // A rollback that cannot be made now is told by the command's own open.
  int recovered = 0;
  char journal[4200];
  if (kelisi_recover_journal(isiPath.c_str(), nullptr, &recovered, journal, sizeof journal) !=
          KELISI_OK ||
      !recovered) {
    return;
  }
  fprintf(stderr, "kelisi: Recovered interrupted change from journal %s\n", journal);
}

kelisi* OpenOrFail(const std::string& isiPath, const std::string& dataPath) {
  kelisi* ix = nullptr;
  int st = kelisi_open(isiPath.c_str(), dataPath.empty() ? nullptr : dataPath.c_str(), 0, &ix);
  if (st != KELISI_OK) {
    Fail(StatusText(st, isiPath, dataPath));
    return nullptr;
  }
  return ix;
}

void Out(const std::string& text) {
  gOut += text;
  if (gOut.size() >= (1u << 16)) WriteOut();
}

int Flush(int status) {
  WriteOut();
  if (fflush(stdout) != 0) gWriteFailed = true;
  if (gWriteFailed) {
    fprintf(stderr, "kelisi: cannot write the output: %s\n", strerror(errno));
    return kExitFail;
  }
  return status;
}

}  // namespace kelisi_cli
