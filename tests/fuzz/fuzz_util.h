// Shared pieces of the fuzz targets: a private directory for the files an
// input becomes, a fresh run context per input, and the checks that an
// input left no descriptor and no file behind.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "driver/cleanup.h"
#include "driver/cmd_data.h"
#include "driver/driver.h"
#include "driver/run_steps.h"
#include "kelisi.h"

namespace fz {

// Ends the process with a report the fuzzer keeps with the input.
#define FZ_CHECK(cond)                                                         \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                                 \
    }                                                                          \
  } while (0)

// The target's own directory under $TMPDIR or /tmp, made on first use and
// removed when the process ends. The current directory is moved into it,
// so that relative names an input makes up land there too.
inline const std::string& WorkDir() {
  static std::string dir = [] {
    const char* base = getenv("TMPDIR");
    std::string tmpl =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kfz_XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr || chdir(tmpl.c_str()) != 0) abort();
    static std::string made = tmpl;
    atexit([] { std::filesystem::remove_all(made); });
    return tmpl;
  }();
  return dir;
}

inline std::string PathIn(const char* name) {
  return WorkDir() + "/" + name;
}

// Sends kelindex's own work files (which follow TMPDIR) into a folder "w"
// of the target's directory, where a leak check can see them.
inline void UseOwnTmpDir() {
  setenv("TMPDIR", PathIn("w").c_str(), 1);
  mkdir(PathIn("w").c_str(), 0700);
}

inline void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = fopen(path.c_str(), "wb");
  FZ_CHECK(f != nullptr);
  if (size > 0) FZ_CHECK(fwrite(data, 1, size, f) == size);
  fclose(f);
}

inline std::string ReadFile(const std::string& path) {
  std::string bytes;
  if (FILE* f = fopen(path.c_str(), "rb")) {
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
    fclose(f);
  }
  return bytes;
}

// The entries of a directory (the descriptors of /proc/self/fd less the
// one that reads it).
inline int CountEntries(const std::string& dir) {
  std::error_code ec;
  auto it = std::filesystem::directory_iterator(dir, ec);
  return static_cast<int>(std::distance(it, std::filesystem::directory_iterator()));
}

inline int CountOpenFds() {
  return CountEntries("/proc/self/fd") - 1;
}

// Messages go nowhere: a stream on /dev/null, opened once.
inline FILE* Quiet() {
  static FILE* f = fopen("/dev/null", "w");
  return f;
}

// A zero-filled run context with its defaults and the three fixed buffers,
// as the driver has it when it hands the command text to the parser.
inline void StartRun() {
  pCmdData = &gCmdData;
  memset(static_cast<void*>(&gCmdData), 0, sizeof gCmdData);
  CmdSetDefaults();
  gCmdData.msgOut = Quiet();
  gCmdData.progressOn = 0;
  FZ_CHECK(AllocRunBuffers() == 0);
}

// Closes and removes what the run still holds, as the driver does at its end.
inline void EndRun() {
  CmdCloseAllFiles(0);
  CmdFreeBuffers();
}

// One input's bookkeeping: the descriptors, and the entries of the
// directory where its work files go, before it; checked again when it is
// done.
class LeakGuard {
 public:
  explicit LeakGuard(std::string dir = WorkDir())
      : dir_(std::move(dir)), fds_((Quiet(), CountOpenFds())), entries_(CountEntries(dir_)) {}
  ~LeakGuard() {
    FZ_CHECK(CountOpenFds() == fds_);
    FZ_CHECK(CountEntries(dir_) == entries_);
  }
  LeakGuard(const LeakGuard&) = delete;
  LeakGuard& operator=(const LeakGuard&) = delete;

 private:
  std::string dir_;
  int fds_;
  int entries_;
};

// The keys of the index at `path` in the order the reader library walks
// them; aborts when the library cannot read it or its check finds a
// problem whose message holds none of `tolerated`.
inline std::vector<std::string> IndexKeys(const std::string& path,
                                          std::vector<std::string> tolerated = {}) {
  kelisi* ix = nullptr;
  kelisi_cursor* c = nullptr;
  FZ_CHECK(kelisi_open(path.c_str(), nullptr, 0, &ix) == KELISI_OK);
  auto report = [](void* ctx, const kelisi_problem* p) {
    for (const std::string& t : *static_cast<std::vector<std::string>*>(ctx)) {
      if (strstr(p->message, t.c_str()) != nullptr) return 0;
    }
    fprintf(stderr, "unsound index: %s\n", p->message);
    abort();
  };
  FZ_CHECK(kelisi_check(ix, 0, report, &tolerated) >= 0);
  FZ_CHECK(kelisi_cursor_open(ix, &c) == KELISI_OK);
  std::vector<std::string> keys;
  kelisi_entry e;
  int st;
  for (st = kelisi_first(c, &e); st == KELISI_OK; st = kelisi_next(c, &e)) {
    keys.emplace_back(reinterpret_cast<const char*>(e.key), e.key_length);
  }
  FZ_CHECK(st == KELISI_NOTFOUND);
  kelisi_cursor_close(c);
  kelisi_close(ix);
  return keys;
}

}  // namespace fz
