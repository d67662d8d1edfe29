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

}  // namespace

namespace internal {

const char *error_text(int err) {
  const char *text = strerror(err);
  return text != nullptr ? text : "Unknown error";
}

FILE *debug_log_stream() { return g_log; }

// The error log is not wired in yet: nothing is opened, so lines sent to the
// file destination are dropped.
int sc_check_debug_file() { return -1; }

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
