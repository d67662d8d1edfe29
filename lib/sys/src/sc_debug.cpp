// Diagnostics: the level/detail/destination settings, the line writers behind
// SC_LOG and SC_LOG_ERRNO, and the per-process error log they write to.
#include <stdarg.h>
#include <string.h>
#include <time.h>

#include "sc_internal.h"

int __sc_debug_level = SC_LOG_ERROR;
int __sc_debug_detail = SC_DETAIL_TYPE;
int __sc_debug_where = SC_WHERE_FILE;
int __sc_print_val = 0;
int __sc_debug_assert = 0;

namespace kelv::sys {
namespace {

// The open error log, or nullptr. Opened, rotated and closed by the log check.
FILE *g_log = nullptr;
// Whether sc_close_debug_file is registered with atexit (at most once).
bool g_close_registered = false;

// The log is renamed to "<log>.1" when it has reached this size.
constexpr off_t kRotateAt = 1048576;
constexpr size_t kLogPathSize = 512;

constexpr const char *kLevelNames[] = {"", "Fatal", "Error", "Warn", "Debug"};
constexpr size_t kLevelCount = sizeof kLevelNames / sizeof kLevelNames[0];

const char *level_name(int level) {
  return static_cast<unsigned>(level) < kLevelCount ? kLevelNames[level] : "Unknown";
}

// "hh:mm:ss" of the local time.
void format_time(char (&out)[32]) {
  const time_t now = time(nullptr);
  struct tm tm;
  if (localtime_r(&now, &tm) == nullptr) memset(&tm, 0, sizeof tm);
  snprintf(out, sizeof out, "%02u:%02u:%02u", static_cast<unsigned>(tm.tm_hour),
           static_cast<unsigned>(tm.tm_min), static_cast<unsigned>(tm.tm_sec));
}

bool to_screen() { return (__sc_debug_where & SC_WHERE_SCREEN) != 0; }
FILE *to_log() { return (__sc_debug_where & SC_WHERE_FILE) != 0 ? g_log : nullptr; }

// Opens the log for appending from the closed state. On failure the process
// falls back to the screen, at once and for good (until a program sets the
// file bit again).
int open_log(const char *path) {
  g_log = os::fopen(path, "ae");
  if (g_log == nullptr) {
    const int err = errno;
    printf("sc_check_debug_file: fopen(%s) failed: %s\n", path, internal::error_text(err));
    printf("sc_check_debug_file: user (%u) errno %u: %s\n", static_cast<unsigned>(getuid()),
           static_cast<unsigned>(err), internal::error_text(err));
    __sc_debug_where = SC_WHERE_SCREEN;
    return -1;
  }
  if (!g_close_registered) {
    g_close_registered = true;
    atexit(internal::sc_close_debug_file);
  }
  return 0;
}

// Renames the log to its ".1" name once it has reached kRotateAt bytes (sized
// with 64-bit offsets, so that even a huge log rotates on 32-bit systems). The log
// must be closed. -1 (printed) when it cannot be examined or renamed.
int rotate_if_full(const char *path) {
  off_t size;
  {
    UniqueFd fd(os::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
      printf("%s: open(%s) failed: %s\n", "sc_check_debug_file", path, internal::error_text(errno));
      return -1;
    }
    struct stat st;
    if (os::fstat(fd.get(), &st) != 0) {
      printf("sc_check_debug_file:: fstat(%s) failed: %s\n", path, internal::error_text(errno));
      return -1;
    }
    size = st.st_size;
  }
  if (size < kRotateAt) return 0;
  // Room for the suffix even after a cut log path: the rename never targets
  // the log itself.
  char old_path[kLogPathSize + 2];
  snprintf(old_path, sizeof old_path, "%s.1", path);
  if (os::rename(path, old_path) != 0) {
    printf("sc_check_debug_file: rename() %s failed\n", old_path);
    return -1;
  }
  return 0;
}

}  // namespace

namespace internal {

const char *error_text(int err) {
  const char *text = strerror(err);
  return text != nullptr ? text : "Unknown error";
}

FILE *debug_log_stream() { return g_log; }

// Reopens (and when due rotates) the log before every line, so that an
// outside rename, truncation or deletion is noticed at the next line. Runs
// only while the base directory resolves: before start-up nothing is opened,
// and an open log is kept as it is.
int sc_check_debug_file() {
  char basedir[128];
  if (sc_get_basedir(basedir, sizeof basedir) != 0) return -1;
  char path[kLogPathSize];
  snprintf(path, sizeof path, "/var/log/%s_err", printable(sc_process_name));
  if (g_log == nullptr) return open_log(path);
  sc_close_debug_file();
  if (rotate_if_full(path) != 0) return -1;
  return open_log(path);
}

void sc_close_debug_file() {
  if (g_log != nullptr) {
    fclose(g_log);
    g_log = nullptr;
  }
}

}  // namespace internal
}  // namespace kelv::sys

using namespace kelv::sys;

int __sc_print_prefix(int level, const char *file, int line) {
  const ErrnoGuard keep_errno;
  file = internal::skip_dots_and_slashes(file);

  char now[32];
  format_time(now);

  if ((__sc_debug_where & SC_WHERE_FILE) != 0) (void)internal::sc_check_debug_file();

  char prefix[1024] = {};
  switch (__sc_debug_detail) {
    case SC_DETAIL_NONE:
      break;
    case SC_DETAIL_TYPE:
      snprintf(prefix, sizeof prefix, "[%s] %s: ", now, level_name(level));
      break;
    case SC_DETAIL_FILE:
      snprintf(prefix, sizeof prefix, "[%s] %s: %s: ", now, level_name(level), file);
      break;
    case SC_DETAIL_LINE:
      snprintf(prefix, sizeof prefix, "[%s] %s: %s:%d: ", now, level_name(level), file, line);
      break;
    default:
      snprintf(prefix, sizeof prefix, "[%s] <Unknown Detail>: %s:%d: ", now, file, line);
      break;
  }
  if (prefix[0] == '\0') return 0;

  if (to_screen()) fputs(prefix, stderr);
  if (FILE *log = to_log()) {
    fputs(prefix, log);
    fflush(log);
  }
  return 0;
}

int __sc_print_msg(const char *fmt, ...) {
  const ErrnoGuard keep_errno;
  va_list args;
  if (to_screen()) {
    va_start(args, fmt);
    vfprintf(stderr, fmt, args);
    va_end(args);
  }
  if (FILE *log = to_log()) {
    va_start(args, fmt);
    vfprintf(log, fmt, args);
    va_end(args);
    fflush(log);
  }
  return 0;
}

int __sc_print_pmsg(const char *fmt, ...) {
  const ErrnoGuard keep_errno;
  const int err = keep_errno.saved();
  const char *text = internal::error_text(err);
  va_list args;
  if (to_screen()) {
    va_start(args, fmt);
    vfprintf(stderr, fmt, args);
    va_end(args);
    fprintf(stderr, "\t[%d, %s]\n", err, text);
  }
  if (FILE *log = to_log()) {
    va_start(args, fmt);
    vfprintf(log, fmt, args);
    va_end(args);
    fprintf(log, "\t[%d, %s]\n", err, text);
    fflush(log);
  }
  return 0;
}
