// Shared test helpers: a temporary directory, running the built kelindex
// binary in it, resetting the in-process run context and capturing its
// messages.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

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

struct RunResult {
  int exitCode = -1;        // exit status, or 128 + signal
  std::string out;          // standard output
  std::string err;          // standard error
  bool signalSent = false;  // RunOptions::signalWhenOutput was met
};

struct RunOptions {
  std::string cwd;                                       // working directory
  std::vector<std::pair<std::string, std::string>> env;  // set (value) in the child
  std::vector<std::string> unsetEnv;                     // removed in the child
  bool faultBinary = false;                              // run kelindex_fi
  std::string program;      // another program to run instead (its name is argv[0])
  bool closeStdin = false;  // the child starts with descriptor 0 closed
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

// Path of the built binaries.
std::string KelindexPath();
std::string KelindexFaultPath();

// Zero-fills the run context, points pCmdData at it and applies the defaults.
void ResetRunContext();

// A temporary file standing in for the message stream (a file, so that what
// a forked child writes reaches the parent too). It lets go of the run
// context's msgOut when it goes.
class MsgCapture {
 public:
  MsgCapture();
  ~MsgCapture();
  MsgCapture(const MsgCapture&) = delete;
  MsgCapture& operator=(const MsgCapture&) = delete;

  FILE* file() const { return file_; }
  // Points the run context's msgOut here.
  void Attach() const;
  // Everything written so far.
  std::string text() const;

 private:
  FILE* file_;
};

}  // namespace kt
