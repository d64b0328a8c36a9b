// What the benchmarks against SQLite and LMDB share: dying with a message,
// numbers with thousands separators, a scratch directory removed at the
// end (and on SIGINT/SIGTERM), running a tool of the build directory in it,
// the line that names the machine, the directory of the program, and a
// console reporter that keeps each benchmark's median rate for a summary.
#pragma once

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace bench {

inline const char*& ProgramName() {
  static const char* name = "bench";
  return name;
}

[[noreturn]] inline void Die(const std::string& what) {
  fprintf(stderr, "%s: %s\n", ProgramName(), what.c_str());
  exit(1);
}

inline std::string Thousands(uint64_t v) {
  std::string digits = std::to_string(v), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
    out.push_back(digits[i]);
  }
  return out;
}

// ---- the scratch directory ----------------------------------------------------

inline std::string& ScratchDir() {
  static std::string dir;
  return dir;
}

inline std::string ScratchPath(const std::string& name) {
  return ScratchDir() + "/" + name;
}

inline int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

inline void RemoveScratch() {
  if (ScratchDir().empty()) return;
  nftw(ScratchDir().c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  ScratchDir().clear();
}

// A signal handler may only make system calls: the tree is removed by the
// same walk, which is good enough for a benchmark's scratch files.
inline void OnSignal(int sig) {
  RemoveScratch();
  _exit(128 + sig);
}

// Makes the scratch directory in $TMPDIR (else /tmp), removed at exit.
inline void MakeScratch() {
  const char* tmp = getenv("TMPDIR");
  std::string tmpl = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" +
                     ProgramName() + ".XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) {
    Die("cannot make a scratch directory in " + tmpl + ": " + strerror(errno));
  }
  ScratchDir() = tmpl;
  atexit(RemoveScratch);
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
}

// Runs args[0] in the scratch directory with its output in tool.log; dies
// showing that output when it fails.
inline void RunTool(const std::vector<std::string>& args) {
  std::string log = ScratchPath("tool.log");
  pid_t pid = fork();
  if (pid < 0) Die(std::string("cannot start a process: ") + strerror(errno));
  if (pid == 0) {
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0 || chdir(ScratchDir().c_str()) != 0) _exit(126);
    dup2(fd, 1);
    dup2(fd, 2);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return;
  std::string cmd;
  for (const std::string& a : args) cmd += (cmd.empty() ? "" : " ") + a;
  if (FILE* f = fopen(log.c_str(), "r")) {
    char line[512];
    while (fgets(line, sizeof line, f) != nullptr) fputs(line, stderr);
    fclose(f);
  }
  Die("failed: " + cmd);
}

// ---- the machine ----------------------------------------------------------------

inline std::string MachineLine() {
  std::string cpu = "unknown CPU";
  if (FILE* f = fopen("/proc/cpuinfo", "r")) {
    char line[512];
    while (fgets(line, sizeof line, f) != nullptr) {
      if (strncmp(line, "model name", 10) == 0) {
        const char* colon = strchr(line, ':');
        if (colon != nullptr) {
          cpu = colon + 2;
          cpu.erase(cpu.find_last_not_of("\n") + 1);
        }
        break;
      }
    }
    fclose(f);
  }
  double load[3] = {0, 0, 0};
  getloadavg(load, 3);
  struct utsname u;
  uname(&u);
  char when[64];
  time_t now = time(nullptr);
  strftime(when, sizeof when, "%Y-%m-%d %H:%M UTC", gmtime(&now));
  char text[1024];
  snprintf(text, sizeof text, "machine: %s, %ld cores, %s %s, load %.2f %.2f %.2f, %s", cpu.c_str(),
           sysconf(_SC_NPROCESSORS_ONLN), u.sysname, u.release, load[0], load[1], load[2], when);
  return text;
}

// The directory this program lies in (the build directory, beside the tools).
inline std::string OwnDirectory() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  path[n] = '\0';
  char* slash = strrchr(path, '/');
  if (slash != nullptr) *slash = '\0';
  return path;
}

// The arguments for Google Benchmark: its flags behind these defaults (the
// repetitions given, interleaved, aggregates only), so that the same flags
// on the command line win. --tools=DIR is taken (made absolute: the tools
// run in the scratch directory); every other flag goes to own(flag), which
// returns false for one it does not know. *repetitions: as asked for.
template <typename Own>
std::vector<char*> BenchmarkArguments(int argc, char** argv, const char* defaultRepetitions,
                                      std::string* tools, std::string* repetitions, Own own) {
  static std::string defaults[] = {std::string("--benchmark_repetitions=") + defaultRepetitions,
                                   "--benchmark_enable_random_interleaving=true",
                                   "--benchmark_display_aggregates_only=true"};
  std::vector<char*> args{argv[0]};
  for (std::string& d : defaults) args.push_back(d.data());
  *repetitions = defaultRepetitions;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (strncmp(a, "--tools=", 8) == 0) {
      char* full = realpath(a + 8, nullptr);
      if (full == nullptr) Die(std::string(a + 8) + ": " + strerror(errno));
      *tools = full;
      free(full);
    } else if (strncmp(a, "--benchmark_", 12) == 0) {
      if (strncmp(a, "--benchmark_repetitions=", 24) == 0) *repetitions = a + 24;
      args.push_back(argv[i]);
    } else if (!own(a)) {
      Die(std::string("unknown flag ") + a);
    }
  }
  args.push_back(nullptr);
  return args;
}

inline std::string Ratio(double a, double b) {
  if (a <= 0 || b <= 0) return "-";
  char text[32];
  snprintf(text, sizeof text, "%.2f", a / b);
  return text;
}

// One target line, judged on the ratio as shown, to two places.
inline void Target(const char* label, double kel, double peer, double atLeast) {
  std::string ratio = Ratio(kel, peer);
  const char* verdict = ratio == "-"                                ? "not measured"
                        : strtod(ratio.c_str(), nullptr) >= atLeast ? "met"
                                                                    : "MISSED";
  printf("  %-44s %6s  (at least %4.2g)  %s\n", label, ratio.c_str(), atLeast, verdict);
}

// Keeps the median rate (items per second) of each benchmark while the
// console reporter prints as usual.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal: a log or a pipe gets plain text.
  SummaryReporter() : ConsoleReporter(isatty(1) ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      auto it = run.counters.find("items_per_second");
      if (run.error_occurred || it == run.counters.end()) continue;
      const std::string& name = run.run_name.function_name;
      if (run.run_type == Run::RT_Aggregate) {
        if (run.aggregate_name == "median") median_[name] = it->second.value;
      } else {
        each_[name].push_back(it->second.value);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // The median rate of a benchmark; 0 when it did not run.
  double Rate(const std::string& name) const {
    if (auto m = median_.find(name); m != median_.end()) return m->second;
    auto e = each_.find(name);
    if (e == each_.end() || e->second.empty()) return 0;
    std::vector<double> v = e->second;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  }

 private:
  std::map<std::string, double> median_;
  std::map<std::string, std::vector<double>> each_;
};

}  // namespace bench
