// Diagnostics: the level/detail/destination settings, the line writers behind
// SC_LOG and SC_LOG_ERRNO, and the per-process error log they write to.
//
// A prefix waits in its own thread's buffer for its message; the whole line
// is then built on the stack and, under one process-wide lock, the log is
// checked and the line written to each destination in one write.
#include <stdarg.h>
#include <string.h>
#include <time.h>

#if defined(__has_include)
#if __has_include(<sys/single_threaded.h>)
#include <sys/single_threaded.h>
#define KELV_SYS_HAVE_SINGLE_THREADED 1
#endif
#endif

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

// The log is renamed to "<log>.1" when it has reached this size.
constexpr off_t kRotateAt = 1048576;
constexpr size_t kLogPathSize = 512;
constexpr size_t kPrefixSize = 1024;
// A line that fits is written in one write; a longer one piece by piece.
constexpr size_t kLineSize = 4096;
// How long a log renamed away keeps taking lines before the library makes a
// new one itself: logrotate makes it within moments of its rename.
constexpr long kRenamedGraceMs = 1000;

constexpr const char *kLevelNames[] = {"", "Fatal", "Error", "Warn", "Debug"};
constexpr size_t kLevelCount = sizeof kLevelNames / sizeof kLevelNames[0];

const char *level_name(int level) {
  return static_cast<unsigned>(level) < kLevelCount ? kLevelNames[level] : "Unknown";
}

// Text cut as snprintf cuts it: at most kSize - 1 bytes, then a NUL.
template <size_t kSize>
class BoundedText {
 public:
  bool empty() const { return len_ == 0; }
  size_t size() const { return len_; }
  const char *c_str() const { return buf_; }
  void clear() {
    len_ = 0;
    buf_[0] = '\0';
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
  char buf_[kSize] = {};
  size_t len_ = 0;
};

// The process-wide lock of a line's check and write, and the log state it
// guards. Fork handlers hold it across fork(), so that a child never inherits
// it taken by a thread that does not exist in the child.
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
int g_log_fd = -1;  // the open log (O_APPEND), or -1
bool g_renamed_away = false;  // the open log was found renamed away, at g_renamed_since
struct timespec g_renamed_since;
// The format of the check's last failure printed: the same failure again stays
// quiet until the log is found sound or a new one is opened.
const char *g_reported = nullptr;

// Per thread: the prefix waiting for its message, the local time of the
// current second, and whether the thread is inside a line (holds g_lock).
struct ThreadState {
  BoundedText<kPrefixSize> prefix;
  time_t second = 0;
  char clock[32] = {};
  bool in_line = false;
};
thread_local ThreadState t_state;

// The calling thread's state, out of line: callers keep its address instead
// of reaching the thread-local storage anew at every use.
__attribute__((noinline)) ThreadState &thread_state() { return t_state; }

// Whether another thread may be running: while the process has only ever had
// one thread, nothing can race a line, so the lock is not taken.
bool may_have_threads() {
#if KELV_SYS_HAVE_SINGLE_THREADED
  return !__libc_single_threaded;
#else
  return true;
#endif
}

// Holds g_lock for a scope, unless this thread already does: a line logged
// from inside a line (a signal handler) is then written without the lock and
// without the log check instead of deadlocking.
class LineLock {
 public:
  explicit LineLock(ThreadState &me) : me_(me), nested_(me.in_line), locked_(false) {
    if (nested_) return;
    me_.in_line = true;
    locked_ = may_have_threads();
    if (locked_) pthread_mutex_lock(&g_lock);
  }
  ~LineLock() {
    if (nested_) return;
    if (locked_) pthread_mutex_unlock(&g_lock);
    me_.in_line = false;
  }
  bool nested() const { return nested_; }

 private:
  ThreadState &me_;
  bool nested_;
  bool locked_;
};

// "hh:mm:ss" of `now` in local time, as "%02u:%02u:%02u" prints it, digits
// by hand (localtime_r gives hours below 24, minutes below 60, seconds up to
// 60).
void format_local_time(time_t now, char (&out)[32]) {
  struct tm tm;
  if (localtime_r(&now, &tm) == nullptr) memset(&tm, 0, sizeof tm);
  const unsigned parts[] = {static_cast<unsigned>(tm.tm_hour) % 100,  // two digits, whatever comes
                            static_cast<unsigned>(tm.tm_min) % 100,
                            static_cast<unsigned>(tm.tm_sec) % 100};
  char *p = out;
  for (unsigned part : parts) {
    if (p != out) *p++ = ':';
    *p++ = static_cast<char>('0' + part / 10);
    *p++ = static_cast<char>('0' + part % 10);
  }
  *p = '\0';
}

// The time of the line, converted once per second per thread. tzset() first,
// so that a TZ changed with setenv shows from the next second on (localtime_r
// alone never rereads it; localtime would, but into one struct shared by all
// threads). Under the lock, so that no child is forked mid-conversion and
// inherits the time zone's own lock taken.
const char *clock_text(ThreadState &me) {
  const time_t now = time(nullptr);
  if (now != me.second) {
    const LineLock lock(me);
    tzset();
    format_local_time(now, me.clock);
    me.second = now;
  }
  return me.clock;
}

// One line as written: the waiting prefix, the message and the error suffix
// of __sc_print_pmsg (none without `err_text`), `whole` when they fit `text`;
// else `text` holds the prefix and the writers format the rest straight to
// each destination. No `fmt`: a prefix alone.
struct Line {
  Line(const char *f, va_list *a, int e, const char *t) : fmt(f), args(a), err(e), err_text(t) {}
  const char *fmt;
  va_list *args;
  int err;
  const char *err_text;
  char text[kLineSize];
  size_t len = 0;
  bool whole = true;
};

// The suffix __sc_print_pmsg adds to its message, into `out` as snprintf
// writes it; its length as snprintf returns it.
int format_err_suffix(const Line &line, char *out, size_t size) {
  return snprintf(out, size, "\t[%d, %s]\n", line.err, line.err_text);
}

// Takes the thread's waiting prefix and formats the message after it.
void build_line(Line &line, BoundedText<kPrefixSize> &prefix) {
  const size_t prefix_len = line.len = prefix.size();
  memcpy(line.text, prefix.c_str(), line.len);
  prefix.clear();
  if (line.fmt == nullptr) return;
  va_list copy;
  va_copy(copy, *line.args);
  int n = vsnprintf(line.text + line.len, sizeof line.text - line.len, line.fmt, copy);
  va_end(copy);
  if (n >= 0 && static_cast<size_t>(n) < sizeof line.text - line.len) {
    line.len += static_cast<size_t>(n);
    if (line.err_text == nullptr) return;
    n = format_err_suffix(line, line.text + line.len, sizeof line.text - line.len);
    if (n >= 0 && static_cast<size_t>(n) < sizeof line.text - line.len) {
      line.len += static_cast<size_t>(n);
      return;
    }
  }
  line.whole = false;
  line.len = prefix_len;
}

// The two kinds of destination: standard error (a stream, so that a program's
// own use of it stays in order) and the log descriptor.
void put_bytes(FILE *out, const char *p, size_t n) { fwrite(p, 1, n, out); }
void put_bytes(int fd, const char *p, size_t n) {
  while (n > 0) {
    const ssize_t done = write(fd, p, n);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return;
    p += done;
    n -= static_cast<size_t>(done);
  }
}
void put_vformat(FILE *out, const char *fmt, va_list args) { vfprintf(out, fmt, args); }
void put_vformat(int fd, const char *fmt, va_list args) { vdprintf(fd, fmt, args); }

template <class Out>
void put_line(Out out, const Line &line) {
  put_bytes(out, line.text, line.len);
  if (line.whole) return;
  va_list copy;
  va_copy(copy, *line.args);
  put_vformat(out, line.fmt, copy);
  va_end(copy);
  char suffix[256];
  const int n = line.err_text != nullptr ? format_err_suffix(line, suffix, sizeof suffix) : 0;
  put_bytes(out, suffix, n > 0 ? static_cast<size_t>(n) : 0);
}

// Prints a failure of the check on standard output, unless it is the one
// printed last.
void report(const char *fmt, ...) SC_PRINTF(1, 2);
void report(const char *fmt, ...) {
  if (g_reported == fmt) return;
  g_reported = fmt;
  va_list args;
  va_start(args, fmt);
  vprintf(fmt, args);
  va_end(args);
}

void report_open_failure(const char *path, int err) {
  const char *text = internal::error_text(err);
  report("sc_check_debug_file: fopen(%s) failed: %s\nsc_check_debug_file: user (%u) errno %u: %s\n",
         path, text, static_cast<unsigned>(getuid()), static_cast<unsigned>(err), text);
}

long ms_since(const struct timespec &then) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - then.tv_sec) * 1000L + (now.tv_nsec - then.tv_nsec) / 1000000L;
}

// Makes the log at `path` the open one, created (mode 0666 less the umask)
// only with `create`: a log that logrotate is about to create is never made
// here first. When the open fails, a log still on disk keeps the lines
// (reported once); with none (first open, or a deleted log) the process falls
// back to the screen, at once and for good (until a program sets the file bit
// again).
int open_log(const char *path, int create, bool keep_on_failure) {
  const int fd = os::open(path, O_WRONLY | O_APPEND | O_CLOEXEC | create, 0666);
  if (fd < 0) {
    const int err = errno;
    if (!keep_on_failure) g_reported = nullptr;  // a fall-back is always told
    report_open_failure(path, err);
    if (keep_on_failure) return -1;
    __sc_debug_where = SC_WHERE_SCREEN;
  }
  const int old = g_log_fd;
  g_log_fd = fd;
  if (old >= 0) close(old);
  if (fd < 0) return -1;
  g_reported = nullptr;
  g_renamed_away = false;
  return 0;
}

// Renames the full log to "<log>.1" and starts a new one. Processes sharing
// the log take turns through a write lock on it, and the path is examined
// again under the lock: one that finds a new log there follows it instead
// (another process has just rotated), and so does one whose rename finds no
// log. When the rename fails otherwise (an account that may not rename in
// /var/log), the log goes on growing.
int rotate(const char *path, const struct stat &measured) {
  const int fd = g_log_fd;
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  (void)fcntl(fd, F_SETLKW, &lock);
  struct stat now;
  int rc;
  char old_path[kLogPathSize + 2];  // room for the suffix even after a cut log path
  snprintf(old_path, sizeof old_path, "%s.1", path);
  if (os::stat(path, &now) == 0 && !same_file(now, measured)) {
    rc = open_log(path, 0, true);
  } else if (os::rename(path, old_path) == 0 || errno == ENOENT) {
    rc = open_log(path, O_CREAT, true);
  } else {
    report("sc_check_debug_file: rename() %s failed\n", old_path);
    rc = -1;
  }
  lock.l_type = F_UNLCK;
  if (g_log_fd == fd) (void)fcntl(fd, F_SETLK, &lock);  // else released by the close
  return rc;
}

// The check before every line, examining the open log through its own
// descriptor and the path by device and inode, so that no line is lost while
// a log is open: a log found at the path in place of the open one (logrotate's
// create, another process's rotation) is followed; a log renamed away keeps
// taking the lines for a second while logrotate makes the new one, after which
// the library makes it; a deleted log is made anew for the line; a full log is
// rotated.
int check_log(const char *path) {
  if (g_log_fd < 0) return open_log(path, O_CREAT, false);
  struct stat open_st;
  struct stat path_st;
  if (os::fstat(g_log_fd, &open_st) != 0) {
    report("sc_check_debug_file:: fstat(%s) failed: %s\n", path, internal::error_text(errno));
    return -1;
  }
  if (os::stat(path, &path_st) == 0) {
    if (!same_file(open_st, path_st)) return open_log(path, 0, true);
    g_renamed_away = false;
    if (open_st.st_size >= kRotateAt) return rotate(path, open_st);
    g_reported = nullptr;
    return 0;
  }
  const int err = errno;
  const bool renamed_away = err == ENOENT && open_st.st_nlink > 0;
  if (renamed_away && g_renamed_away)
    return ms_since(g_renamed_since) < kRenamedGraceMs ? 0 : open_log(path, O_CREAT, true);
  report("%s: open(%s) failed: %s\n", "sc_check_debug_file", path, internal::error_text(err));
  if (renamed_away) {
    g_renamed_away = true;
    clock_gettime(CLOCK_MONOTONIC, &g_renamed_since);
    return 0;
  }
  return err == ENOENT ? open_log(path, O_CREAT, false) : -1;
}

// Writes the line to each destination of __sc_debug_where, the log checked
// first, all under the lock.
void write_line(ThreadState &me, const char *fmt, va_list *args, int err, const char *err_text) {
  Line line(fmt, args, err, err_text);
  build_line(line, me.prefix);
  if (line.len == 0 && fmt == nullptr) return;
  const LineLock lock(me);
  if (!lock.nested() && (__sc_debug_where & SC_WHERE_FILE) != 0) (void)internal::sc_check_debug_file();
  const int where = __sc_debug_where;
  if ((where & SC_WHERE_SCREEN) != 0) put_line(stderr, line);
  if ((where & SC_WHERE_FILE) != 0 && g_log_fd >= 0) put_line(g_log_fd, line);
}

// A prefix whose message never came: written alone by the thread's next
// prefix, or at exit.
void write_waiting_prefix(ThreadState &me) { write_line(me, nullptr, nullptr, 0, nullptr); }

void at_exit() {
  write_waiting_prefix(thread_state());
  internal::sc_close_debug_file();
}

void lock_for_fork() { pthread_mutex_lock(&g_lock); }
void unlock_after_fork() { pthread_mutex_unlock(&g_lock); }

__attribute__((constructor)) void register_handlers() {
  pthread_atfork(lock_for_fork, unlock_after_fork, unlock_after_fork);
  atexit(at_exit);
}

void write_message(const char *fmt, va_list args, int err, const char *err_text) {
  va_list copy;
  va_copy(copy, args);
  write_line(thread_state(), fmt, &copy, err, err_text);
  va_end(copy);
}

}  // namespace

namespace internal {

// Runs only while the base directory resolves: before start-up nothing is
// opened, and an open log is kept as it is.
int sc_check_debug_file() {
  char basedir[kLogPathSize];
  if (sc_get_basedir(basedir, sizeof basedir) != 0) return -1;
  BoundedText<kLogPathSize> path;  // "/var/log/%s_err", cut at 511 bytes
  path.add("/var/log/", internal::printable(sc_process_name), "_err");
  return check_log(path.c_str());
}

#if KELV_SYS_TESTING
int debug_log_fd() { return g_log_fd; }
#endif

void sc_close_debug_file() {
  const LineLock lock(thread_state());
  if (g_log_fd >= 0) close(g_log_fd);
  g_log_fd = -1;
}

}  // namespace internal
}  // namespace kelv::sys

using namespace kelv::sys;

int __sc_print_prefix(int level, const char *file, int line) {
  const ErrnoGuard keep_errno;
  ThreadState &me = thread_state();
  if (!me.prefix.empty()) write_waiting_prefix(me);
  file = internal::skip_dots_and_slashes(file);
  BoundedText<kPrefixSize> &prefix = me.prefix;
  switch (__sc_debug_detail) {
    case SC_DETAIL_NONE:
      break;
    case SC_DETAIL_TYPE:
      prefix.add("[", clock_text(me), "] ", level_name(level), ": ");
      break;
    case SC_DETAIL_FILE:
      prefix.add("[", clock_text(me), "] ", level_name(level), ": ", file, ": ");
      break;
    case SC_DETAIL_LINE:
      prefix.add("[", clock_text(me), "] ", level_name(level), ": ", file, ":", line, ": ");
      break;
    default:
      prefix.add("[", clock_text(me), "] <Unknown Detail>: ", file, ":", line, ": ");
      break;
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
