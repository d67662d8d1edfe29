// Diagnostics: a suppressed SC_LOG ("log_off"), a line to the error log
// against the floor of its system calls ("log_file"), and a line to the
// screen against one fprintf of the same text ("log_screen").
//
// The error-log benchmarks start the process with sc_sys_init as a device
// whose base directory is made in the scratch directory; the log is
// /var/log/kelv-bench_err (so they need a writable /var/log), the floor's
// /var/log/kelv-bench-floor_err. Both are removed at exit. Standard error is
// sent to /dev/null while a screen benchmark runs.
#include <fcntl.h>
#include <kelv/sys.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "bench.h"

namespace kelv_bench {
namespace {

constexpr const char *kProcessName = "kelv-bench";
constexpr const char *kLogPath = "/var/log/kelv-bench_err";
constexpr const char *kFloorPath = "/var/log/kelv-bench-floor_err";
constexpr off_t kRotateAt = 1048576;

void RemoveLogs() {
  for (const char *path : {kLogPath, kFloorPath}) {
    unlink(path);
    unlink((std::string(path) + ".1").c_str());
  }
}

bool WriteText(const std::string &path, const std::string &text) {
  FILE *f = fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  const bool ok = fputs(text.c_str(), f) >= 0;
  return fclose(f) == 0 && ok;
}

// Starts the process once: a device with its base directory in the scratch
// directory, whose configuration names the current account and a pid
// directory there. False when the log cannot be written.
bool StartProcess() {
  static const bool started = [] {
    const std::string &root = ScratchDir();  // removed after the library's exit handlers
    if (access("/var/log", W_OK) != 0) return false;
    const struct passwd *pw = getpwuid(getuid());
    if (pw == nullptr || mkdir((root + "/device").c_str(), 0777) != 0 ||
        mkdir((root + "/device/cfg").c_str(), 0777) != 0 ||
        mkdir((root + "/run").c_str(), 0777) != 0 ||
        !WriteText(root + "/device/cfg/vorn.cfg", std::string("global.user ") + pw->pw_name +
                                                      "\nglobal.pidDir " + root + "/run\n")) {
      return false;
    }
    setenv("VORNDIR", root.c_str(), 1);
    RemoveLogs();
    atexit(RemoveLogs);
    return sc_sys_init(kProcessName, SC_APP_DEVICE) == 0;
  }();
  return started;
}

// Standard error goes to /dev/null for the life of this object.
class QuietStderr {
 public:
  QuietStderr() : saved_(dup(STDERR_FILENO)) {
    fflush(stderr);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, STDERR_FILENO);
    close(null);
  }
  ~QuietStderr() {
    fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
  }
  QuietStderr(const QuietStderr &) = delete;
  QuietStderr &operator=(const QuietStderr &) = delete;

 private:
  int saved_;
};

// Never called while the level test fails; the loop shows it.
__attribute__((noinline)) int Expensive() {
  static int calls = 0;
  return ++calls;
}

void Suppressed(benchmark::State &state) {
  __sc_debug_level = SC_LOG_ERROR;
  for (auto _ : state) {
    SC_LOG(SC_LOG_DEBUG, "kelv_bench: never written %d\n", Expensive());
    benchmark::ClobberMemory();  // the level is read again at every line
  }
  state.SetItemsProcessed(state.iterations());
}

// The settings of one benchmark; the defaults afterwards.
class Settings {
 public:
  Settings(int where, int detail) {
    __sc_debug_level = SC_LOG_ERROR;
    __sc_debug_where = where;
    __sc_debug_detail = detail;
  }
  ~Settings() {
    __sc_debug_where = SC_WHERE_FILE;
    __sc_debug_detail = SC_DETAIL_TYPE;
  }
  Settings(const Settings &) = delete;
  Settings &operator=(const Settings &) = delete;
};

void LogFileLine(benchmark::State &state) {
  if (!StartProcess()) return state.SkipWithError("needs a writable /var/log");
  Settings settings(SC_WHERE_FILE, SC_DETAIL_TYPE);
  int i = 0;
  for (auto _ : state) SC_LOG(SC_LOG_ERROR, "kelv_bench: line %d\n", ++i);
  state.SetItemsProcessed(state.iterations());
}

// "hh:mm:ss" of the local time, as the prefix shows it.
void FormatNow(char (&out)[32]) {
  const time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  snprintf(out, sizeof out, "%02u:%02u:%02u", static_cast<unsigned>(tm.tm_hour),
           static_cast<unsigned>(tm.tm_min), static_cast<unsigned>(tm.tm_sec));
}

// What the error log needs at the least per line, by hand: close the log,
// open it read-only, fstat, close (rename at 1 MiB), open for appending,
// then the prefix and the message, each written at once. The same bytes as
// the library's file.
void LogFileFloor(benchmark::State &state) {
  if (!StartProcess()) return state.SkipWithError("needs a writable /var/log");
  const std::string rotated = std::string(kFloorPath) + ".1";
  int fd = open(kFloorPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  int i = 0;
  for (auto _ : state) {
    char now[32], prefix[1024], message[1024];
    FormatNow(now);
    close(fd);
    const int probe = open(kFloorPath, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (probe < 0 || fstat(probe, &st) != 0) return state.SkipWithError("floor: open/fstat");
    close(probe);
    if (st.st_size >= kRotateAt) rename(kFloorPath, rotated.c_str());
    fd = open(kFloorPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    const int n = snprintf(prefix, sizeof prefix, "[%s] %s: ", now, "Error");
    const int m = snprintf(message, sizeof message, "kelv_bench: line %d\n", ++i);
    if (write(fd, prefix, static_cast<size_t>(n)) != n ||
        write(fd, message, static_cast<size_t>(m)) != m) {
      return state.SkipWithError("floor: write");
    }
  }
  close(fd);
  state.SetItemsProcessed(state.iterations());
}

void LogScreenLine(benchmark::State &state) {
  Settings settings(SC_WHERE_SCREEN, SC_DETAIL_TYPE);
  QuietStderr quiet;
  int i = 0;
  for (auto _ : state) SC_LOG(SC_LOG_ERROR, "kelv_bench: line %d\n", ++i);
  state.SetItemsProcessed(state.iterations());
}

// One fprintf of the same text; the time is formatted once, before the loop.
void FprintfLine(benchmark::State &state) {
  QuietStderr quiet;
  char now[32];
  FormatNow(now);
  int i = 0;
  for (auto _ : state) fprintf(stderr, "[%s] %s: kelv_bench: line %d\n", now, "Error", ++i);
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

void RegisterLogBenchmarks() {
  benchmark::RegisterBenchmark(Name("log_off", "suppressed", "sc_log").c_str(), Suppressed);
  benchmark::RegisterBenchmark(Name("log_file", "line", "sc_log").c_str(), LogFileLine);
  benchmark::RegisterBenchmark(Name("log_file", "line", "floor").c_str(), LogFileFloor);
  benchmark::RegisterBenchmark(Name("log_screen", "line", "sc_log").c_str(), LogScreenLine);
  benchmark::RegisterBenchmark(Name("log_screen", "line", "fprintf").c_str(), FprintfLine);
}

// For counting the system calls of logged lines (scripts/dev bench runs it
// under strace): writes `lines` lines with SC_LOG to the destination `where`.
int LogLines(int lines, int where) {
  if (where & SC_WHERE_FILE && !StartProcess()) return 1;
  Settings settings(where, SC_DETAIL_TYPE);
  for (int i = 1; i <= lines; ++i) SC_LOG(SC_LOG_ERROR, "kelv_bench: line %d\n", i);
  return 0;
}

}  // namespace kelv_bench
