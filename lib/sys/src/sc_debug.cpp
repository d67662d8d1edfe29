// Diagnostics: the level/detail/destination settings, the line writers behind
// SC_LOG and SC_LOG_ERRNO, and the per-process error log they write to.
#include <stdarg.h>
#include <string.h>
#include <time.h>

#include "sc_debug_internal.h"
#include "sc_os.h"
#include "sc_string_internal.h"

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

// "hh:mm:ss" of `now` in local time, as "%02u:%02u:%02u" prints it (by hand:
// the parts of a broken-down time are below 100, and snprintf would cost more
// than the rest of a screen line's prefix).
void format_local_time(time_t now, char (&out)[32]) {
  struct tm tm;
  if (localtime_r(&now, &tm) == nullptr) memset(&tm, 0, sizeof tm);
  const unsigned parts[] = {static_cast<unsigned>(tm.tm_hour), static_cast<unsigned>(tm.tm_min),
                            static_cast<unsigned>(tm.tm_sec)};
  if (parts[0] >= 100 || parts[1] >= 100 || parts[2] >= 100) {
    snprintf(out, sizeof out, "%02u:%02u:%02u", parts[0], parts[1], parts[2]);
    return;
  }
  char *p = out;
  for (unsigned part : parts) {
    if (p != out) *p++ = ':';
    *p++ = static_cast<char>('0' + part / 10);
    *p++ = static_cast<char>('0' + part % 10);
  }
  *p = '\0';
}

// The time of the line. The local time is converted once per second: lines
// of the same second share it (localtime_r costs as much as the rest of a
// screen line). A time-zone change made with tzset() shows from the next
// second on.
time_t g_time_second = static_cast<time_t>(-1);
char g_time_text[32];

void format_time(char (&out)[32]) {
  const time_t now = time(nullptr);
  if (now != g_time_second) {
    format_local_time(now, g_time_text);
    g_time_second = now;
  }
  memcpy(out, g_time_text, sizeof out);
}

// Text cut as snprintf cuts it: at most kSize - 1 bytes, then a NUL.
template <size_t kSize>
class BoundedText {
 public:
  BoundedText() { buf_[0] = '\0'; }
  bool empty() const { return len_ == 0; }
  size_t size() const { return len_; }
  const char *c_str() const { return buf_; }
  void clear() {
    len_ = 0;
    buf_[0] = '\0';
  }
  void assign(const BoundedText &other) {
    len_ = other.len_;
    memcpy(buf_, other.buf_, len_ + 1);
  }
  void add(const char *s) {
    while (*s != '\0' && len_ < kSize - 1) buf_[len_++] = *s++;
    buf_[len_] = '\0';
  }
  void add(int value) {
    char digits[16];
    snprintf(digits, sizeof digits, "%d", value);
    add(digits);
  }
  template <class First, class Second, class... Rest>
  void add(First first, Second second, Rest... rest) {
    add(first);
    add(second, rest...);
  }

 private:
  char buf_[kSize];
  size_t len_ = 0;
};

constexpr size_t kPrefixSize = 1024;
using Prefix = BoundedText<kPrefixSize>;

// A line for the screen is built here when it fits: prefix, message and the
// error suffix of __sc_print_pmsg.
constexpr size_t kScreenLineSize = 2048;

// The prefix of the line being written to the screen. Standard error is
// unbuffered, so writing the prefix and then the message costs two writes;
// the prefix waits here instead and goes out with its message in one write.
// A prefix whose message never comes is written by the next prefix, or at
// exit.
Prefix g_screen_prefix;
bool g_screen_flush_registered = false;

void write_waiting_prefix() {
  if (g_screen_prefix.empty()) return;
  fputs(g_screen_prefix.c_str(), stderr);
  g_screen_prefix.clear();
}

void hold_for_screen(const Prefix &prefix) {
  g_screen_prefix.assign(prefix);
  if (!g_screen_flush_registered) {
    g_screen_flush_registered = true;
    atexit(write_waiting_prefix);
  }
}

// Writes the waiting prefix, the message and (for __sc_print_pmsg, when
// `err_text` is not null) "\t[<err>, <err_text>]\n" to standard error: in one
// write when the whole line fits kScreenLineSize bytes, else piece by piece.
// The bytes are the same either way.
void write_screen_line(const char *fmt, va_list args, int err, const char *err_text) {
  char line[kScreenLineSize];
  size_t len = g_screen_prefix.size();
  memcpy(line, g_screen_prefix.c_str(), len);
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(line + len, sizeof line - len, fmt, copy);
  va_end(copy);
  if (n >= 0 && static_cast<size_t>(n) < sizeof line - len) {
    len += static_cast<size_t>(n);
    if (err_text != nullptr) {
      n = snprintf(line + len, sizeof line - len, "\t[%d, %s]\n", err, err_text);
      len = n >= 0 ? len + static_cast<size_t>(n) : sizeof line;
    }
    if (len < sizeof line) {
      g_screen_prefix.clear();
      fwrite(line, 1, len, stderr);
      return;
    }
  }
  write_waiting_prefix();
  vfprintf(stderr, fmt, args);
  if (err_text != nullptr) fprintf(stderr, "\t[%d, %s]\n", err, err_text);
}

bool to_screen() { return (__sc_debug_where & SC_WHERE_SCREEN) != 0; }
FILE *to_log() { return (__sc_debug_where & SC_WHERE_FILE) != 0 ? g_log : nullptr; }

// The message writers: the formatted message and, when `err_text` is not
// null, "\t[<err>, <err_text>]\n", to each destination of __sc_debug_where.
void write_message(const char *fmt, va_list args, int err, const char *err_text) {
  va_list copy;
  if (to_screen()) {
    va_copy(copy, args);
    write_screen_line(fmt, copy, err, err_text);
    va_end(copy);
  } else {
    write_waiting_prefix();
  }
  if (FILE *log = to_log()) {
    va_copy(copy, args);
    vfprintf(log, fmt, copy);
    va_end(copy);
    if (err_text != nullptr) fprintf(log, "\t[%d, %s]\n", err, err_text);
    fflush(log);
  }
}

// The log's stream buffer: one stream is open at a time.
char g_log_buffer[BUFSIZ];

// The log opened for appending, as fopen(path, "ae") opens it (created with
// mode 0666 less the umask, close-on-exec), without the two calls stdio adds
// on every reopen: the descriptor carries O_APPEND from its open, so no seek
// to the end is made, and the stream writes through g_log_buffer, so no fstat
// sizes a buffer. fdopen's own fcntl(F_GETFL) remains. The seam sees the
// whole as one fopen.
FILE *open_for_append(const char *path) {
  if (fault::should_fail(fault::Op::kFopen)) return nullptr;
  UniqueFd fd(os::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
  if (!fd.valid()) return nullptr;
  FILE *stream = os::fdopen(fd.get(), "a");
  if (stream == nullptr) {
    const int err = errno;
    fd.reset();
    errno = err;
    return nullptr;
  }
  fd.release();
  setvbuf(stream, g_log_buffer, _IOFBF, sizeof g_log_buffer);
  return stream;
}

// Opens the log for appending from the closed state. On failure the process
// falls back to the screen, at once and for good (until a program sets the
// file bit again).
int open_log(const char *path) {
  g_log = open_for_append(path);
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
// with 64-bit offsets, so that even a huge log rotates on 32-bit systems). `fd`
// is the log opened read-only (closed before the rename); the log stream must
// be closed. -1 (printed) when it cannot be examined or renamed.
int rotate_if_full(UniqueFd &fd, const char *path) {
  struct stat st;
  if (os::fstat(fd.get(), &st) != 0) {
    printf("sc_check_debug_file:: fstat(%s) failed: %s\n", path, internal::error_text(errno));
    return -1;
  }
  fd.reset();
  if (st.st_size < kRotateAt) return 0;
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

// How long a log renamed away keeps taking lines before the library makes a
// new one itself: logrotate makes it within moments of its rename.
constexpr long kRenamedGraceMs = 1000;

// Set while the open log is found renamed away, since g_renamed_since.
bool g_renamed_away = false;
struct timespec g_renamed_since;

long ms_since(const struct timespec &then) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - then.tv_sec) * 1000L + (now.tv_nsec - then.tv_nsec) / 1000000L;
}

// True when the open log's file still has a name (renamed, not deleted).
bool open_log_still_named() {
  struct stat st;
  return os::fstat(fileno(g_log), &st) == 0 && st.st_nlink > 0;
}

// The check of an open log, before every line. The log is examined through a
// read-only descriptor taken while the stream is still open, so that a log
// gone from its path loses no line. A log renamed away (logrotate, between
// its rename and its create) goes on taking the lines where it now is until a
// new log appears, or for a second, after which a new log is made; a deleted
// log is made anew for the line. The vanishing is reported once on standard
// output.
int reopen_log(const char *path) {
  UniqueFd fd(os::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    const int err = errno;
    if (g_renamed_away && err == ENOENT) {
      if (ms_since(g_renamed_since) < kRenamedGraceMs) return -1;
    } else {
      printf("%s: open(%s) failed: %s\n", "sc_check_debug_file", path, internal::error_text(err));
      if (err == ENOENT && open_log_still_named()) {
        g_renamed_away = true;
        clock_gettime(CLOCK_MONOTONIC, &g_renamed_since);
        return -1;
      }
    }
    g_renamed_away = false;
    internal::sc_close_debug_file();
    return err == ENOENT ? open_log(path) : -1;
  }
  g_renamed_away = false;
  internal::sc_close_debug_file();
  if (rotate_if_full(fd, path) != 0) return -1;
  return open_log(path);
}

}  // namespace

namespace internal {

#if KELV_SYS_TESTING
FILE *debug_log_stream() { return g_log; }
#endif

// Reopens (and when due rotates) the log before every line, so that an
// outside rename, truncation or deletion is noticed at the next line. Runs
// only while the base directory resolves: before start-up nothing is opened,
// and an open log is kept as it is.
int sc_check_debug_file() {
  char basedir[128];
  if (sc_get_basedir(basedir, sizeof basedir) != 0) return -1;
  BoundedText<kLogPathSize> path;  // "/var/log/%s_err", cut at 511 bytes
  path.add("/var/log/", printable(sc_process_name), "_err");
  if (g_log == nullptr) return open_log(path.c_str());
  return reopen_log(path.c_str());
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
  write_waiting_prefix();  // its message never came
  file = internal::skip_dots_and_slashes(file);

  char now[32];
  format_time(now);

  if ((__sc_debug_where & SC_WHERE_FILE) != 0) (void)internal::sc_check_debug_file();

  Prefix prefix;
  switch (__sc_debug_detail) {
    case SC_DETAIL_NONE:
      break;
    case SC_DETAIL_TYPE:
      prefix.add("[", now, "] ", level_name(level), ": ");
      break;
    case SC_DETAIL_FILE:
      prefix.add("[", now, "] ", level_name(level), ": ", file, ": ");
      break;
    case SC_DETAIL_LINE:
      prefix.add("[", now, "] ", level_name(level), ": ", file, ":", line, ": ");
      break;
    default:
      prefix.add("[", now, "] <Unknown Detail>: ", file, ":", line, ": ");
      break;
  }
  if (prefix.empty()) return 0;

  if (to_screen()) hold_for_screen(prefix);
  if (FILE *log = to_log()) {
    fputs(prefix.c_str(), log);
    fflush(log);
  }
  return 0;
}

int __sc_print_msg(const char *fmt, ...) {
  const ErrnoGuard keep_errno;
  va_list args;
  va_start(args, fmt);
  write_message(fmt, args, 0, nullptr);
  va_end(args);
  return 0;
}

int __sc_print_pmsg(const char *fmt, ...) {
  const ErrnoGuard keep_errno;
  const int err = keep_errno.saved();
  va_list args;
  va_start(args, fmt);
  write_message(fmt, args, err, internal::error_text(err));
  va_end(args);
  return 0;
}
