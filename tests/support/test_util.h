// Shared test helpers: a temporary directory, running the built programs
// in it (or kelindex in this process), and another program's lock.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/env.h"

namespace kt {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Writes the file `name`, making the folder it is in when there is none.
  void write(const std::string& name, const std::string& bytes) const;
  std::string read(const std::string& name) const;
  bool exists(const std::string& name) const;
  // Names of the entries of the directory, sorted.
  std::vector<std::string> list() const;

 private:
  std::string path_;
};

std::string ReadFileBytes(const std::string& path);
// Names of the entries of a directory, sorted (empty when it cannot be read).
std::vector<std::string> ListDirectory(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
// `text` with every `from` replaced by `to`.
std::string ReplaceAll(std::string text, const std::string& from, const std::string& to);

// A child process that holds a lock of `type` (F_RDLCK, F_WRLCK) on
// `length` bytes at `start` of the file at `path` for `seconds`, as another
// program would; returns its id once the lock is held.
int HoldLock(const std::string& path, short type, uint64_t start, uint64_t length, double seconds);

// The words of `text` between single blanks, "" standing for an empty one.
std::vector<std::string> Split(const std::string& text);

struct RunResult {
  int exitCode = -1;  // exit status, or 128 + signal
  std::string out;    // standard output
  std::string err;    // standard error
};

struct RunOptions {
  std::string cwd;                                       // working directory
  std::vector<std::pair<std::string, std::string>> env;  // set (value) in the child
  bool faultBinary = false;                              // run kelindex_fi
  std::string program;      // another program to run instead (its name is argv[0])
  bool closeStdin = false;  // the child starts with descriptor 0 closed
  // Run by the superuser, the child runs as nobody (65534), for whom a
  // read-only directory is read-only; its files must be open to it.
  bool notSuperuser = false;
  int timeoutSeconds = 120;
  // When not empty: as soon as standard output contains this text, wait
  // signalDelayMs and send signalNumber to the child, once.
  std::string signalWhenOutput;
  int signalNumber = 2;  // SIGINT
  int signalDelayMs = 0;
};

// Runs kelindex with `args` (argv[1..]) and waits for it. TMPDIR, TERM and
// the data-path variables are removed from the child's environment unless
// `opts.env` sets them, so that the machine's settings never leak in.
RunResult RunKelindex(const std::vector<std::string>& args, const RunOptions& opts);
// Starts the run RunKelindex makes, its output discarded, and returns the
// child's process id at once (negative when it could not start).
int StartKelindex(const std::vector<std::string>& args, const RunOptions& opts);
// The same with the defaults, in the directory `cwd`.
RunResult RunKelindex(const std::vector<std::string>& args, const std::string& cwd);

// kelindex run in this process on `env` (the operating system's when null)
// in the directory `cwd`, which is the current one again afterwards: its
// exit status, and its messages in *out when asked for.
int RunInProcess(std::vector<std::string> args, const std::string& cwd,
                 const kel::Env* env = nullptr, std::string* out = nullptr);

// Runs the built kelisi with `args` in `cwd` (the test's own directory when empty).
RunResult RunKelisi(const std::vector<std::string>& args, const std::string& cwd = "");

}  // namespace kt
