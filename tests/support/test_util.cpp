// The shared test helpers: temporary directories and runs of the built programs.
#include "support/test_util.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "driver/cmd_data.h"
#include "driver/driver.h"
#include "driver/sys_io.h"

namespace kt {

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kt_XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void TempDir::write(const std::string& name, const std::string& bytes) const {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(file(name)).parent_path(), ignored);
  WriteFileBytes(file(name), bytes);
}

std::string TempDir::read(const std::string& name) const {
  return ReadFileBytes(file(name));
}

bool TempDir::exists(const std::string& name) const {
  struct stat st;
  return stat(file(name).c_str(), &st) == 0;
}

std::vector<std::string> TempDir::list() const {
  return ListDirectory(path_);
}

std::vector<std::string> ListDirectory(const std::string& path) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(path, ec)) {
    names.push_back(e.path().filename());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
    text.replace(at, from.size(), to);
  }
  return text;
}

int HoldLock(const std::string& path, short type, uint64_t start, uint64_t length, double seconds) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(path.c_str(), O_RDWR);
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(start);
    fl.l_len = static_cast<off_t>(length);
    if (fd < 0 || fcntl(fd, F_SETLKW, &fl) != 0) _exit(1);
    (void)!write(ready[1], "x", 1);
    usleep(static_cast<useconds_t>(seconds * 1e6));
    _exit(0);
  }
  char c;
  (void)!read(ready[0], &c, 1);
  close(ready[0]);
  close(ready[1]);
  return pid;
}

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string w; std::getline(in, w, ' ');) words.push_back(w == "\"\"" ? "" : w);
  return words;
}

namespace {

// In a child process: its descriptors 1 and 2 set up by the caller, the
// program of `opts` with `args`, as RunKelindex describes it.
[[noreturn]] void ExecProgram(const std::vector<std::string>& args, const RunOptions& opts) {
  std::string bin = !opts.program.empty() ? opts.program
                    : opts.faultBinary    ? KELINDEX_FI_BIN
                                          : KELINDEX_BIN;
  std::string name = opts.program.empty() ? "kelindex" : bin.substr(bin.find_last_of('/') + 1);
  int devnull = open("/dev/null", O_RDONLY);
  if (devnull >= 0) dup2(devnull, 0);
  if (opts.closeStdin) close(0);
  if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0) _exit(127);
  if (opts.notSuperuser && geteuid() == 0 &&
      (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
    _exit(127);
  }
  for (const char* name : {"TMPDIR", "TERM", "QRX_TERM", "VEZOR_TERM", "QRX_PATH", "VEZOR_DBPATH",
                           "DBPATH", "QRX_FNC", "VEZOR_FNC", "QRX_SYSTEM", "VEZOR_DBC", "DBC",
                           "QRX_NOPATH", "KELINDEX_FAULT"}) {
    unsetenv(name);
  }
  for (const auto& [name, value] : opts.env) setenv(name.c_str(), value.c_str(), 1);
  const char* exe = bin.c_str();
  std::vector<char*> argv;
#ifdef KEL_TEST_EMULATOR
  // A cross build's programs run under the emulator that runs the tests,
  // which hands them their argv[0].
  std::string emulator = KEL_TEST_EMULATOR, nameFlag = "-0";
  argv.insert(argv.end(), {emulator.data(), nameFlag.data(), name.data(), bin.data()});
  exe = emulator.c_str();
#else
  argv.push_back(name.data());
#endif
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(exe, argv.data());
  _exit(127);
}

}  // namespace

int StartKelindex(const std::vector<std::string>& args, const RunOptions& opts) {
  pid_t pid = fork();
  if (pid == 0) {
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) dup2(devnull, 1), dup2(devnull, 2);
    ExecProgram(args, opts);
  }
  return pid;
}

RunResult RunKelindex(const std::vector<std::string>& args, const RunOptions& opts) {
  int outPipe[2], errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) throw std::runtime_error("pipe failed");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    close(outPipe[0]);
    close(outPipe[1]);
    close(errPipe[0]);
    close(errPipe[1]);
    ExecProgram(args, opts);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  RunResult result;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(opts.timeoutSeconds);
  bool killed = false, signalled = false;
  while (open > 0) {
    int ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count());
    if (ms <= 0) {
      kill(pid, SIGKILL);
      killed = true;
      break;
    }
    if (poll(fds, 2, ms) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP)) != 0) {
        char buf[65536];
        ssize_t n = read(fds[i].fd, buf, sizeof buf);
        if (n > 0) {
          sinks[i]->append(buf, static_cast<size_t>(n));
          if (!opts.signalWhenOutput.empty() && !signalled &&
              result.out.find(opts.signalWhenOutput) != std::string::npos) {
            if (opts.signalDelayMs > 0) usleep(static_cast<useconds_t>(opts.signalDelayMs) * 1000);
            kill(pid, opts.signalNumber);
            signalled = true;
          }
        } else {
          close(fds[i].fd);
          fds[i].fd = -1;
          --open;
        }
      }
    }
  }
  for (pollfd& p : fds) {
    if (p.fd >= 0) close(p.fd);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (killed) {
    result.exitCode = -2;
  } else if (WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.exitCode = 128 + WTERMSIG(status);
  }
  return result;
}

RunResult RunKelindex(const std::vector<std::string>& args, const std::string& cwd) {
  RunOptions opts;
  opts.cwd = cwd;
  return RunKelindex(args, opts);
}

int RunInProcess(std::vector<std::string> args, const std::string& cwd, const kel::Env* env,
                 std::string* out) {
  char here[4096];
  if (getcwd(here, sizeof here) == nullptr || chdir(cwd.c_str()) != 0) return -1;
  args.insert(args.begin(), "kelindex");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  memset(static_cast<void*>(&gCmdData), 0, sizeof gCmdData);
  pCmdData = &gCmdData;
  FILE* sink = out != nullptr ? tmpfile() : fopen("/dev/null", "w");
  SysUseEnv(env);
  int status = FhSortIndex(static_cast<int>(argv.size()), argv.data(), sink);
  SysUseEnv(nullptr);
  if (out != nullptr) {
    out->assign(static_cast<size_t>(ftell(sink)), '\0');
    rewind(sink);
    out->resize(fread(out->data(), 1, out->size(), sink));
  }
  fclose(sink);
  return chdir(here) == 0 ? status : -1;
}

#ifdef KELISI_BIN
RunResult RunKelisi(const std::vector<std::string>& args, const std::string& cwd) {
  RunOptions opts;
  opts.cwd = cwd;
  opts.program = KELISI_BIN;
  return RunKelindex(args, opts);
}
#endif

}  // namespace kt
