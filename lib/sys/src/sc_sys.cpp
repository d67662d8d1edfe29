// Process runtime: application type and base directory, the configuration
// lookup, start-up with account switch and single-instance pid file, the pid
// file's removal at exit, sleep and exit.
//
// The lookups below write their complaints straight to standard error: they
// run before the diagnostic settings are applied, and beneath the error log.
#include <limits.h>
#include <pwd.h>
#include <signal.h>
#include <stdarg.h>
#include <string.h>
#include <strings.h>
#include <sys/time.h>

#include "sc_os.h"
#include "sc_string_internal.h"
#include "sc_sys_internal.h"

char *sc_basedir_from_input = nullptr;
const char *sc_process_name = nullptr;

namespace kelv::sys {
namespace {

// 0 until sc_sys_init records the caller's type.
int sc_app_type = 0;

struct AppTypeDir {
  int type;
  const char *subdir;  // nullptr ends the table
};
constexpr AppTypeDir sc_app_type_dirs[] = {
    {SC_APP_ROOT, ""}, {SC_APP_MGT_SVR, "mgt-svr"}, {SC_APP_DEVICE, "device"}, {0, nullptr}};

constexpr const char *kRootVar = "VORNDIR";
constexpr const char *kObsoleteRootVar = "TARLENDIR";
constexpr const char *kUserKey = "global.user";
constexpr const char *kPidDirKey = "global.pidDir";
constexpr const char *kDefaultPidDir = "/tmp";

// Buffer sizes that show outside: paths are cut to them, never overrun.
constexpr unsigned kBaseDirSize = 512;
constexpr unsigned kPathSize = 1024;
constexpr unsigned kUserCfgPathSize = 256;
constexpr unsigned kUserNameSize = 128;
constexpr unsigned kCfgLineSize = 1024;
constexpr unsigned kCfgWorkSize = 512;  // longest name or value: kCfgWorkSize - 1
constexpr unsigned kProcExePathSize = 512;

bool is_temp_type(int type) { return type == SC_APP_TOOL || type == SC_APP_TEST; }

// The subdirectory of `type` below VORNDIR, or nullptr when it has none.
const char *type_subdir(int type) {
  for (const AppTypeDir *entry = sc_app_type_dirs; entry->subdir != nullptr; ++entry) {
    if (entry->type == type) return entry->subdir;
  }
  return nullptr;
}

// Chooses root and subdirectory; false (complaint written) when there is none.
bool choose_root(int type, const char **root, const char **subdir) {
  *subdir = "";
  if (is_temp_type(type)) {
    *root = "/tmp";
  } else if (sc_basedir_from_input != nullptr) {
    fprintf(stderr, "sc_get_basedir: use base directory '%s' from input\n", sc_basedir_from_input);
    *root = sc_basedir_from_input;
  } else if ((*root = getenv(kRootVar)) != nullptr) {
    *subdir = type_subdir(type);
    if (*subdir == nullptr) {
      fprintf(stderr, "Unknown app_type %d\n", type);
      return false;
    }
  } else if ((*root = getenv(kObsoleteRootVar)) != nullptr) {
    fprintf(stderr, "%s environment variable not defined; using TARLENDIR (obsolete)\n", kRootVar);
  } else {
    fprintf(stderr, "environment variable %s not defined\n", kRootVar);
    return false;
  }
  return true;
}

// Joins root and subdirectory into buf, which the caller has checked is large
// enough.
void join_basedir(char *buf, unsigned size, const char *root, const char *subdir) {
  const size_t root_len = strlen(root);
  const bool root_ends_in_slash = root_len > 0 && root[root_len - 1] == '/';
  if (*subdir != '\0') {
    sc_snprintf(buf, size, root_ends_in_slash ? "%s%s" : "%s/%s", root, subdir);
    return;
  }
  sc_snprintf(buf, size, "%s", root);
  if (root_ends_in_slash) buf[root_len - 1] = '\0';
}

// Prints "<call> failed [errno=<n>, <text>]\n" on standard error, in one
// write, for the errno of the call that just failed.
void print_call_failure(const char *call_fmt, ...) SC_PRINTF(1, 2);
void print_call_failure(const char *call_fmt, ...) {
  const int err = errno;
  char call[kPathSize];
  va_list args;
  va_start(args, call_fmt);
  vsnprintf(call, sizeof call, call_fmt, args);
  va_end(args);
  fprintf(stderr, "%s failed [errno=%d, %s]\n", call, err, internal::error_text(err));
}

// Replaces the supplementary groups with the account's: its own list, else
// its group alone. True when replaced, or when the process may not replace
// them (EPERM when not root: no CAP_SETGID either); false, after the failure
// lines, when a process that may could not.
bool replace_groups(const char *user, gid_t gid) {
  if (os::initgroups(user, gid) == 0 || (errno == EPERM && geteuid() != 0)) return true;
  print_call_failure("initgroups('%s', '%u')", user, static_cast<unsigned>(gid));
  if (os::setgroups(1, &gid) == 0) return true;
  print_call_failure("setgroups(1, '%u')", static_cast<unsigned>(gid));
  return false;
}

// --- configuration lookup -------------------------------------------------

// The six ASCII white-space characters; no byte >= 0x80 is white space.
bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
const char *skip_space(const char *p) {
  while (is_space(*p)) ++p;
  return p;
}
const char *skip_word(const char *p) {
  while (*p != '\0' && !is_space(*p)) ++p;
  return p;
}

enum class LineResult { kNoMatch, kFound, kError };

// Parses one line piece. A name or value that does not fit the 512-byte work
// size is handled without copying: such a name never matches, such a value is
// refused as larger than the caller's buffer.
LineResult parse_cfg_line(const char *line, const char *key, char *value, unsigned size) {
  const char *name = skip_space(line);
  if (*name == '\0' || *name == '#') return LineResult::kNoMatch;
  const char *name_end = skip_word(name);
  if (*name_end == '\0') {
    fputs("Parse error: Expected property name\n", stderr);
    return LineResult::kError;
  }
  const size_t name_len = static_cast<size_t>(name_end - name);
  if (name_len >= kCfgWorkSize || strncmp(name, key, name_len) != 0 || key[name_len] != '\0') {
    return LineResult::kNoMatch;
  }
  const char *val = skip_space(name_end);
  if (*val == '\0') {
    fprintf(stderr, "Parse error: Expected value for key('%s') in cfg file\n", key);
    return LineResult::kError;
  }
  const char *val_end = skip_word(val);
  if (*val_end == '\0') {
    fputs("Parse error: Expected property val\n", stderr);
    return LineResult::kError;
  }
  const size_t val_len = static_cast<size_t>(val_end - val);
  if (val_len >= kCfgWorkSize || val_len >= size) {
    fprintf(stderr, "Parse error: property val('%.*s') larger then passed buf\n",
            static_cast<int>(val_len), val);
    return LineResult::kError;
  }
  memcpy(value, val, val_len);
  value[val_len] = '\0';
  return LineResult::kFound;
}

// Opens a configuration file without blocking (a FIFO or a device never
// hangs start-up): the descriptor, or -1 with errno set. Anything but a
// regular file is refused, a directory with EISDIR, the rest with EINVAL.
int open_cfg(const char *path, struct stat *st) {
  UniqueFd fd(os::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.valid() || os::fstat(fd.get(), st) != 0) return -1;
  if (!S_ISREG(st->st_mode)) {
    errno = S_ISDIR(st->st_mode) ? EISDIR : EINVAL;
    return -1;
  }
  return fd.release();
}

bool writable_by_others(const char *dir) {
  struct stat st;
  return os::stat(dir, &st) != 0 || (st.st_mode & S_IWOTH) != 0;
}

// Whether the opened file `path` (`st`, from its descriptor) under `basedir`
// may choose the account or the pid directory. Where others can write the
// file, the base directory or its cfg/, it must be owned by root or by the
// real user and not be writable by others; else one line says why.
bool cfg_trusted(const char *path, const struct stat &st, const char *basedir) {
  if ((st.st_mode & S_IWOTH) != 0) {
    fprintf(stderr, "getCfgFileVal: %s not trusted: writable by others\n", path);
    return false;
  }
  if (st.st_uid == 0 || st.st_uid == getuid()) return true;
  const char *base = *basedir != '\0' ? basedir : "/";
  char cfg_dir[kPathSize];
  sc_snprintf(cfg_dir, sizeof cfg_dir, "%s/cfg", basedir);
  const char *open_dir = writable_by_others(base)      ? base
                         : writable_by_others(cfg_dir) ? cfg_dir
                                                       : nullptr;
  if (open_dir == nullptr) return true;
  fprintf(stderr, "getCfgFileVal: %s not trusted: owned by uid %u, and %s is writable by others\n",
          path, static_cast<unsigned>(st.st_uid), open_dir);
  return false;
}

// --- start-up ---------------------------------------------------------------

// The environment's diagnostic settings, read at start-up and applied later.
struct EnvSettings {
  const char *level;
  const char *detail;
  const char *where;
};

struct SettingWord {
  const char *word;
  int value;
};
constexpr SettingWord kLevelWords[] = {{"none", SC_LOG_NONE},   {"fatal", SC_LOG_FATAL},
                                       {"error", SC_LOG_ERROR}, {"warn", SC_LOG_WARN},
                                       {"debug", SC_LOG_DEBUG}, {nullptr, 0}};
constexpr SettingWord kDetailWords[] = {{"none", SC_DETAIL_NONE}, {"type", SC_DETAIL_TYPE},
                                        {"file", SC_DETAIL_FILE}, {"line", SC_DETAIL_LINE},
                                        {nullptr, 0}};
constexpr SettingWord kWhereWords[] = {
    {"file", SC_WHERE_FILE}, {"screen", SC_WHERE_SCREEN}, {"both", SC_WHERE_BOTH}, {nullptr, 0}};

EnvSettings read_env_settings() {
  EnvSettings env;
  env.level = getenv("SC_DEBUG_LEVEL");
  env.detail = getenv("SC_DEBUG_DETAIL");
  env.where = getenv("SC_DEBUG_WHERE");
  if (env.where == nullptr) env.where = getenv("SO_PRINTER_WHERE");
  return env;
}

// Sets *setting from a word of `words` (any case); an unknown word is printed
// on standard output with `variable` and changes nothing.
void apply_setting(const char *value, const SettingWord *words, int *setting,
                   const char *variable) {
  if (value == nullptr) return;
  for (; words->word != nullptr; ++words) {
    if (strcasecmp(value, words->word) == 0) {
      *setting = words->value;
      return;
    }
  }
  printf("sc_sys_init: Unknown %s %s\n", variable, value);
}

void apply_env_settings(const EnvSettings &env) {
  apply_setting(env.level, kLevelWords, &__sc_debug_level, "SC_DEBUG_LEVEL");
  apply_setting(env.detail, kDetailWords, &__sc_debug_detail, "SC_DEBUG_DETAIL");
  apply_setting(env.where, kWhereWords, &__sc_debug_where, "SC_DEBUG_WHERE");
}

// The part of the process name after its last '/'.
const char *program_name(const char *process_name) {
  if (process_name == nullptr) return "";
  const char *slash = strrchr(process_name, '/');
  return slash != nullptr ? slash + 1 : process_name;
}

// The pid directory of the recorded type into out (kPathSize bytes): the
// global.pidDir of the type's configuration file when that is a regular file
// (types 2 and 3), else /tmp. -1 when that lookup fails.
int find_pid_dir(const char *basedir, char *out) {
  const char *cfg_name = sc_app_type == SC_APP_MGT_SVR ? "mgt-svr.cfg"
                         : sc_app_type == SC_APP_DEVICE ? "vorn.cfg"
                                                        : nullptr;
  char cfg_path[kPathSize];
  struct stat st;
  if (cfg_name != nullptr) sc_snprintf(cfg_path, sizeof cfg_path, "%s/cfg/%s", basedir, cfg_name);
  if (cfg_name == nullptr || os::stat(cfg_path, &st) != 0 || !S_ISREG(st.st_mode)) {
    sc_snprintf(out, kPathSize, "%s", kDefaultPidDir);
    return 0;
  }
  return internal::getCfgFileVal(cfg_path, kPidDirKey, out, kPathSize, basedir);
}

// The pid file path of this process into out (kPathSize bytes); -1 when the
// pid directory cannot be found.
int pid_file_path(const char *basedir, char *out) {
  char pid_dir[kPathSize];
  if (find_pid_dir(basedir, pid_dir) != 0) return -1;
  sc_snprintf(out, kPathSize, "%s/%s.pid", pid_dir, program_name(sc_process_name));
  return 0;
}

// The pid file this process holds: its descriptor, which keeps the lock for
// the life of the process (forked children share it; it is closed on exec),
// and the id of the process that claimed the file, the only one that removes
// it at exit.
int g_pid_fd = -1;
pid_t g_pid_claimer = 0;

// kTaken: this start-up locked the file; kOurs: this process held the lock
// already (a second start-up); kHeldElsewhere: another instance holds it;
// kUnavailable: the file system has no locks, the stored id decides alone.
enum class PidLock { kTaken, kOurs, kHeldElsewhere, kUnavailable };

PidLock lock_pid_file(int fd) {
  if (os::flock(fd, LOCK_EX | LOCK_NB) == 0) return PidLock::kTaken;
  if (errno != EWOULDBLOCK) return PidLock::kUnavailable;
  struct stat mine;
  struct stat held;
  const bool ours = g_pid_fd >= 0 && os::fstat(fd, &mine) == 0 &&
                    os::fstat(g_pid_fd, &held) == 0 && same_file(mine, held);
  return ours ? PidLock::kOurs : PidLock::kHeldElsewhere;
}

// The id stored in the pid file: the leading decimal number of its first
// bytes as atoi reads it, 0 without one; out-of-range numbers saturate to
// the int range on every word size.
int stored_pid(int fd) {
  char line[kPathSize];
  const ssize_t got = pread(fd, line, sizeof line - 1, 0);
  line[got > 0 ? got : 0] = '\0';
  const long parsed = strtol(line, nullptr, 10);
  return parsed > INT_MAX ? INT_MAX : parsed < INT_MIN ? INT_MIN : static_cast<int>(parsed);
}

// True when the link text (not terminated) ends in "/<name>" or is <name>.
bool link_names_program(const char *link, size_t len, const char *name) {
  const char *base = link;
  for (size_t i = 0; i < len; ++i) {
    if (link[i] == '/') base = link + i + 1;
  }
  const size_t base_len = len - static_cast<size_t>(base - link);
  return base_len == strlen(name) && memcmp(base, name, base_len) == 0;
}

enum class PidCheck { kClaim, kKeep, kOtherInstance };

// What the stored id says: this process's own (kKeep), none (0 or less) or
// gone (kClaim), or a live process judged by its executable's file name.
// When /proc cannot tell, a process that holds the lock claims the file (an
// instance would hold the lock); without locks the file is left alone.
PidCheck judge_stored_pid(int id, pid_t self, const char *program, bool locked) {
  if (id == self) return PidCheck::kKeep;
  // Signal 0 only probes.
  if (id <= 0 || kill(id, 0) != 0) return PidCheck::kClaim;
  char exe_path[kProcExePathSize];
  char link[kPathSize];
  sc_snprintf(exe_path, sizeof exe_path, "/proc/%u/exe", static_cast<unsigned>(id));
  const ssize_t len = os::readlink(exe_path, link, sizeof link);
  if (len < 0) return locked ? PidCheck::kClaim : PidCheck::kKeep;
  return link_names_program(link, static_cast<size_t>(len), program) ? PidCheck::kOtherInstance
                                                                     : PidCheck::kClaim;
}

// Whether this process may take the pid file over (kClaim), must leave its
// content alone but may run (kKeep), or must not run (kOtherInstance,
// logged): a lock held by another instance decides first, whatever /proc
// says, then the stored id.
PidCheck check_pid_file(int fd, pid_t self, const char *program, PidLock lock) {
  const int id = stored_pid(fd);
  const PidCheck verdict =
      lock == PidLock::kHeldElsewhere
          ? PidCheck::kOtherInstance
          : judge_stored_pid(id, self, program, lock != PidLock::kUnavailable);
  if (verdict == PidCheck::kOtherInstance) {
    SC_LOG(SC_LOG_ERROR, "sc_sys_init: another instance of this process exists (%u)\n",
           static_cast<unsigned>(id));
  }
  return verdict;
}

// Writes "<pid>" and one NUL byte over the pid file, through the locked
// descriptor. The result is not examined: the file only informs later
// start-ups and the tools that read it.
void write_pid_file(int fd, pid_t self) {
  char text[16];
  sc_snprintf(text, sizeof text, "%u", static_cast<unsigned>(self));
  const int truncated = ftruncate(fd, 0);
  const ssize_t written = pwrite(fd, text, strlen(text) + 1, 0);
  (void)truncated, (void)written;
}

// The single-instance check on the locked file (never opened through a
// symbolic link, never inherited by exec'd programs), then the id written
// and the removal at exit registered.
int claim_pid_file(const char *path, const char *program) {
  const pid_t self = getpid();
  UniqueFd fd(os::open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd.valid()) {
    SC_LOG(SC_LOG_ERROR, "sc_sys_init: error writing pid to file '%s'\n", path);
    return -1;
  }
  const PidLock lock = lock_pid_file(fd.get());
  const PidCheck verdict = check_pid_file(fd.get(), self, program, lock);
  if (verdict == PidCheck::kOtherInstance) return -1;
  if (verdict == PidCheck::kClaim) write_pid_file(fd.get(), self);
  if (lock != PidLock::kOurs) {
    if (g_pid_fd >= 0) ::close(g_pid_fd);
    g_pid_fd = fd.release();
  }
  if (verdict == PidCheck::kClaim) {
    g_pid_claimer = self;
    atexit(internal::sc_cleanup_pidfile);
  }
  return 0;
}

}  // namespace

namespace internal {

#if KELV_SYS_TESTING
void set_app_type(int type) { sc_app_type = type; }
int held_pid_fd() { return g_pid_fd; }
#endif

int getCfgFileVal(const char *path, const char *key, char *value, unsigned int size,
                  const char *trust_base) {
  struct stat st;
  UniqueFd fd(open_cfg(path, &st));
  UniqueFile f(fd.valid() ? os::fdopen(fd.get(), "r") : nullptr);
  if (!f) {
    print_call_failure("fopen(%s)", path);
    return -1;
  }
  fd.release();
  if (trust_base != nullptr && !cfg_trusted(path, st, trust_base)) return -1;
  char line[kCfgLineSize];
  while (fgets(line, sizeof line, f.get()) != nullptr) {
    switch (parse_cfg_line(line, key, value, size)) {
      case LineResult::kFound:
        return 0;
      case LineResult::kError:
        return -1;
      case LineResult::kNoMatch:
        break;
    }
  }
  f.close();
  fprintf(stderr, "\"%s\" is missing in %s!\n", key, path);
  return -1;
}

int sc_set_uid_gid(const char *basedir) {
  char cfg_path[kUserCfgPathSize];
  char user[kUserNameSize];
  sc_snprintf(cfg_path, sizeof cfg_path, "%s/cfg/%s", basedir,
              sc_app_type == SC_APP_MGT_SVR ? "mgt-svr.cfg" : "vorn.cfg");
  if (getCfgFileVal(cfg_path, kUserKey, user, sizeof user, basedir) != 0) {
    fprintf(stderr, "getCfgFileVal('%s', '%s') failed\n", cfg_path, kUserKey);
    return -1;
  }
  const struct passwd *pw = getpwnam(user);
  if (pw == nullptr) {
    fprintf(stderr, "getpwnam('%s') failed\n", user);
    return -1;
  }
  const uid_t uid = pw->pw_uid;
  const gid_t gid = pw->pw_gid;
  // Root's supplementary groups must not outlive the switch. Groups that
  // cannot be replaced do not stop it: the ids still change.
  const bool groups_replaced = replace_groups(user, gid);
  if (os::setgid(gid) != 0) {
    print_call_failure("setgid('%u')", static_cast<unsigned>(gid));
    return -1;
  }
  if (os::setuid(uid) != 0) {
    print_call_failure("setuid('%u')", static_cast<unsigned>(uid));
    return -1;
  }
  // A process that kept CAP_SETUID could become root again.
  if (uid != 0 && os::setuid(0) == 0) {
    fprintf(stderr, "setuid('%u') does not drop root: setuid('0') succeeded\n",
            static_cast<unsigned>(uid));
    (void)os::setuid(uid);
    return -1;
  }
  return groups_replaced ? 0 : -1;
}

void sc_cleanup_pidfile() {
  if (getpid() != g_pid_claimer) return;  // a forked child's exit
  char basedir[kBaseDirSize];
  if (sc_get_basedir(basedir, sizeof basedir) != 0) {
    SC_LOG(SC_LOG_DEBUG, "sc_cleanup_pidfile: sc_get_basedir() failed\n");
    return;
  }
  char path[kPathSize];
  if (pid_file_path(basedir, path) != 0) {
    SC_LOG(SC_LOG_DEBUG, "sc_cleanup_pidfile: getCfgFileVal() failed\n");
    return;
  }
  // Only the file claimed: not one another instance put in its place.
  struct stat named;
  struct stat held;
  if (os::stat(path, &named) == 0 && os::fstat(g_pid_fd, &held) == 0 && same_file(named, held)) {
    (void)unlink(path);
  }
}

}  // namespace internal
}  // namespace kelv::sys

using namespace kelv::sys;

int sc_get_apptype(void) { return sc_app_type; }

int sc_get_basedir(char *buf, unsigned int size) {
  const int type = sc_get_apptype();
  if (type == 0) {
    fputs("sc_get_basedir: sc_sys_init() was never called\n", stderr);
    return -1;
  }
  const char *root;
  const char *subdir;
  if (!choose_root(type, &root, &subdir)) return -1;
  // The separator is counted whether or not the root already ends in '/'.
  size_t need = strlen(root) + 1;
  if (*subdir != '\0') need += strlen(subdir) + 1;
  if (need > size) {
    fprintf(stderr, "Not enough room in `buf' (need %d, have %d)\n", static_cast<int>(need),
            static_cast<int>(size));
    return -1;
  }
  join_basedir(buf, size, root, subdir);
  return 0;
}

int sc_sys_init(const char *process_name, int app_type) {
  const EnvSettings env = read_env_settings();
  sc_process_name = process_name;
  sc_app_type = app_type;
  char basedir[kBaseDirSize];
  if (sc_get_basedir(basedir, sizeof basedir) != 0) {
    SC_LOG(SC_LOG_ERROR, "sc_sys_init: sc_get_basedir() failed\n");
    return -1;
  }
  if (app_type != SC_APP_ROOT && internal::sc_set_uid_gid(basedir) != 0) {
    fputs("sc_sys_init: set uid/gid failed - ignoring...\n", stderr);
  }
  apply_env_settings(env);
  sc_kmalloc_init();
  if (basedir[0] == '\0') {
    SC_LOG(SC_LOG_ERROR, "sc_sys_init: sc_get_basedir failed\n");
    return -1;
  }
  char path[kPathSize];
  if (pid_file_path(basedir, path) != 0) {
    SC_LOG(SC_LOG_DEBUG, "sc_sys_init: getCfgFileVal() failed\n");
    return -1;
  }
  SC_LOG(SC_LOG_DEBUG, "sc_sys_init: save pid in file %s\n", path);
  return claim_pid_file(path, program_name(process_name));
}

void sc_sleep(int seconds, int microseconds) {
  struct timeval timeout;
  timeout.tv_sec = seconds;
  timeout.tv_usec = microseconds;
  if (os::select(0, nullptr, nullptr, nullptr, &timeout) < 0) {
    SC_LOG_ERRNO(SC_LOG_ERROR, "sc_sleep: select() failed");
  }
}

void sc_sys_exit(int status) { exit(status); }
