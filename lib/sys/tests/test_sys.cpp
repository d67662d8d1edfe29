// Process runtime: base directory, configuration lookup, start-up (pid file, single-instance
// check against real processes, account switch), sleep, exit. Types: 1 root, 2 mgt-svr, 3 device, 4/5 /tmp.
#include <grp.h>
#include <pwd.h>
#include <string.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using kelv::sys::fault::Op;
using namespace kelv::test;
using namespace std::string_literals;

std::string Text(int err) { return strerror(err); }

// Runs body in a child, lines bare on the screen: "<exit status>|<stdout>|<stderr>".
std::string Outcome(const std::function<int()> &body) {
  const ChildResult r = RunLogged(body);
  return (r.exited ? std::to_string(r.exit_code) : "signal") + "|" + r.out + "|" + r.err;
}

// In a child: "NAME=value" words set, "NAME" words unset, "input=dir" sets the override.
void Apply(const std::string &words) {
  std::istringstream in(words);
  for (std::string w; in >> w;) {
    if (w.rfind("input=", 0) == 0) sc_basedir_from_input = strdup(w.c_str() + 6);
    else if (const size_t eq = w.find('='); eq == std::string::npos) unsetenv(w.c_str());
    else setenv(w.substr(0, eq).c_str(), w.c_str() + eq + 1, 1);
  }
}

// Each row: the directory, or nullptr for -1 with the buffer untouched, and the lines.
TEST(BaseDir, ResolutionRules) {
  struct Case { int type; std::string env; unsigned size; const char *dir; std::string err; };
  const auto room = [](const char *n) { return "Not enough room in `buf' (need "s + n + ")\n"; };
  const std::string over = "sc_get_basedir: use base directory '/srv/o/' from input\n";
  const Case cases[] = {
      {0, "VORNDIR=/v input=/o", 512, nullptr, "sc_get_basedir: sc_sys_init() was never called\n"},
      {4, "VORNDIR=/v TARLENDIR=/t input=/o", 5, "/tmp", ""},
      {5, "", 4, nullptr, room("5, have 4")},
      {3, "VORNDIR=/opt/x TARLENDIR=/t", 14, "/opt/x/device", ""},
      // The separator counts even after a trailing slash; the root alone loses one.
      {3, "VORNDIR=/opt/x/", 14, nullptr, room("15, have 14")},
      {2, "VORNDIR=/opt/x/", 16, "/opt/x/mgt-svr", ""},
      {2, "VORNDIR=", 9, "/mgt-svr", ""},
      {1, "VORNDIR=/opt/x//", 9, "/opt/x/", ""},
      {-1, "VORNDIR=/v TARLENDIR=/t", 512, nullptr, "Unknown app_type -1\n"},
      // The obsolete variable, then the override, take any type and append nothing.
      {6, "TARLENDIR=/t/", 4, "/t", "VORNDIR environment variable not defined; using TARLENDIR (obsolete)\n"},
      {3, "", 512, nullptr, "environment variable VORNDIR not defined\n"},
      {-1, "VORNDIR=/v TARLENDIR=/t input=/srv/o/", 8, "/srv/o", over},
      {3, "input=/srv/o/", 7, nullptr, over + room("8, have 7")},
  };
  for (const Case &c : cases) {
    const std::string out = Outcome([&] {
      kelv::sys::internal::set_app_type(c.type);
      unsetenv("VORNDIR"), unsetenv("TARLENDIR"), Apply(c.env);
      std::string buf(600, '#');
      const int rc = sc_get_basedir(buf.data(), c.size);
      return printf("%s", rc == 0 ? buf.c_str() : buf == std::string(600, '#') ? "" : "?"), -rc;
    });
    EXPECT_EQ(out, (c.dir != nullptr ? "0|"s + c.dir : "1|") + "|" + c.err) << c.type << " " << c.env;
  }
}

// Each row: content (none: no file), key, buffer size, value (nullptr: -1, buffer untouched), lines.
TEST(CfgLookup, ContentCases) {
  ScratchDir dir;
  const std::string cfg = dir / "x.cfg", user = "global.user", v128(128, 'w'), v512(512, 'w'), n512(512, 'n');
  const auto missing = [&](const std::string &key) { return "\"" + key + "\" is missing in " + cfg + "!\n"; };
  const auto big = [](auto v) { return "Parse error: property val('" + v + "') larger then passed buf\n"; };
  const std::string layout = "\n   \n# note\n\t  # note\n\0junk line\nother.key  x\n"s +
                             " \t global.user \t\v\f no#body  second # remark\r\nglobal.pidDir /run/x\r\n";
  struct Case { std::string content, key; unsigned size; const char *value; std::string err; };
  const Case cases[] = {
      {layout, user, 128, "no#body", ""},
      {layout, "global.pidDir", 128, "/run/x", ""},
      {"global.user nobody\n", "global.pidDir", 128, nullptr, missing("global.pidDir")},
      // The first entry ends the search; a broken line after it is never read.
      {"global.user first\nglobal.user second\nglobal.user\nbroken", user, 128, "first", ""},
      // Names match in full and by case; bytes above 0x7f are never white space.
      {"Global.user a\nglobal.user=b\nglobal.users c\nglobal.use d\nglobal.user\xa0x y\n", user, 128, nullptr,
       missing(user)},
      {"global.user nobody", user, 128, nullptr, "Parse error: Expected property val\n"},
      {"global.user  \t \n", user, 128, nullptr,
       "Parse error: Expected value for key('global.user') in cfg file\n"},
      // Lines are read in pieces of 1023 bytes.
      {std::string(1023, 'a') + "\n", user, 128, nullptr, "Parse error: Expected property name\n"},
      {"#" + std::string(1022, 'c') + "global.user bob\n", user, 128, "bob", ""},
      // A value must be shorter than the buffer and than 512; a name of 512 never matches.
      {"global.user " + v128 + "\n", user, 128, nullptr, big(v128)},
      {"k " + v512 + "\n", "k", 1024, nullptr, big(v512)},
      {n512 + " found\n", n512, 128, nullptr, missing(n512)},
      {"", user, 128, nullptr, "fopen(" + cfg + ") failed [errno=2, " + Text(ENOENT) + "]\n"},
      // Only a regular file is read: a FIFO never blocks the lookup.
      {"FIFO", user, 128, nullptr, "fopen(" + cfg + ") failed [errno=22, " + Text(EINVAL) + "]\n"},
      {"DIR", user, 128, nullptr, "fopen(" + cfg + ") failed [errno=21, " + Text(EISDIR) + "]\n"},
  };
  for (const Case &c : cases) {
    RemoveTree(cfg);
    if (c.content == "FIFO") mkfifo(cfg.c_str(), 0644);
    else if (c.content == "DIR") mkdir(cfg.c_str(), 0755);
    else if (!c.content.empty()) WriteFileOrDie(cfg, c.content);
    const std::string out = Outcome([&] {
      std::string value(c.size, '#');
      const int rc = kelv::sys::internal::getCfgFileVal(cfg.c_str(), c.key.c_str(), value.data(), c.size);
      return printf("%s", rc == 0 ? value.c_str() : value == std::string(c.size, '#') ? "" : "?"), -rc;
    });
    EXPECT_EQ(out, (c.value != nullptr ? "0|"s + c.value : "1|") + "|" + c.err) << c.content.substr(0, 40);
  }
}

// A base tree open to any account, also its pid directory: device/cfg/vorn.cfg names this
// account and the tree, mgt-svr/cfg/mgt-svr.cfg no pid directory. Children start up as a device.
class StartUp : public ::testing::Test {
 protected:
  void SetUp() override {
    const struct passwd *pw = getpwuid(getuid());
    if (pw == nullptr) GTEST_SKIP() << "the current user id has no account name";
    user_ = pw->pw_name;
    for (const char *d : {"device", "device/cfg", "mgt-svr", "mgt-svr/cfg"}) mkdir((root_ / d).c_str(), 0755);
    ASSERT_EQ(chmod(root_.path().c_str(), 0777), 0);
    WriteCfg("global.user " + user_ + "\nglobal.pidDir " + root_.path() + "\n");
    WriteFileOrDie(root_ / "mgt-svr/cfg/mgt-svr.cfg", "global.user " + user_ + "\n");
    Apply("TARLENDIR SC_DEBUG_LEVEL SC_DEBUG_DETAIL SC_DEBUG_WHERE SO_PRINTER_WHERE VORNDIR=" + root_.path());
  }
  std::string pid_file() const { return root_ / program_ + ".pid"; }
  void WriteCfg(const std::string &content) const { WriteFileOrDie(root_ / "device/cfg/vorn.cfg", content); }
  int Init() const { return sc_sys_init(program_.c_str(), SC_APP_DEVICE); }

  ScratchDir root_;
  std::string user_, program_ = UniqueName("kelv-sys-test");
};

// Start-up by type, environment and destination, ended by sc_sys_exit(7): result and settings,
// lines, name and type recorded in any case, and the pid file made, and removed at exit.
TEST_F(StartUp, TypesSettingsAndPidFile) {
  const std::string no_cfg = root_ / "device/mgt-svr/cfg/mgt-svr.cfg";
  const std::string unset = "environment variable VORNDIR not defined\n";
  struct Case { int type; std::string env; int where; std::string out; };
  const Case cases[] = {
      // Words in any case; SC_DEBUG_WHERE wins over SO_PRINTER_WHERE.
      {3, "SC_DEBUG_LEVEL=WARN SC_DEBUG_DETAIL=Line SC_DEBUG_WHERE=sCREEN SO_PRINTER_WHERE=both", 1,
       "0 3 3 2|"},
      {3, "SC_DEBUG_LEVEL=verbose SC_DEBUG_DETAIL=full SO_PRINTER_WHERE=loud", 2,
       "sc_sys_init: Unknown SC_DEBUG_LEVEL verbose\nsc_sys_init: Unknown SC_DEBUG_DETAIL full\n"
       "sc_sys_init: Unknown SC_DEBUG_WHERE loud\n0 2 0 2|"},
      {1, "", 2, "0 2 0 2|"},  // no account switch, no configuration
      {2, "VORNDIR=" + root_ / "device", 2,
       "0 2 0 2|fopen(" + no_cfg + ") failed [errno=2, " + Text(ENOENT) + "]\ngetCfgFileVal('" + no_cfg +
           "', 'global.user') failed\nsc_sys_init: set uid/gid failed - ignoring...\n"},
      {2, "", 2, "-1 2 0 2|\"global.pidDir\" is missing in " + root_ / "mgt-svr/cfg/mgt-svr.cfg!\n"},
      {1, "VORNDIR=/", 2, "-1 2 0 2|sc_sys_init: sc_get_basedir failed\n"},
      // No base directory: no setting applies; the error line reaches the screen, or no log.
      {3, "VORNDIR SC_DEBUG_LEVEL=debug", 2, "-1 2 0 2|" + unset + "sc_sys_init: sc_get_basedir() failed\n"},
      {3, "VORNDIR SC_DEBUG_LEVEL=debug", 1, "-1 2 0 1|" + unset + unset},
  };
  const std::string name = "/usr/sbin/" + program_;  // the pid file takes the last part
  for (const Case &c : cases) {
    const std::string pid = c.out[0] != '0' ? "" : c.type == 3 ? pid_file() : "/tmp/" + program_ + ".pid";
    const std::string out = Outcome([&]() -> int {
      Apply(c.env);
      __sc_debug_where = c.where;
      const int rc = sc_sys_init(name.c_str(), c.type);
      printf("%d %d %d %d", rc, __sc_debug_level, __sc_debug_detail, __sc_debug_where);
      const bool pid_ok = pid.empty() || ReadFileOrDie(pid) == std::to_string(getpid()) + '\0';  // no newline
      sc_sys_exit(sc_get_apptype() == c.type && sc_process_name == name.c_str() && pid_ok ? 7 : 1);
    });
    EXPECT_EQ(out, "7|" + c.out) << c.type << " " << c.env;
    EXPECT_TRUE(pid.empty() || !PathExists(pid)) << c.type << " " << c.env;
  }
}

// The pid file found is claimed (rewritten, removed at exit) or kept. The program is named after
// the executable of this test's parent, another instance; this test process is one of another name.
// The file is free, or no lock can be taken (kNoLocks), or this test process holds its lock.
TEST_F(StartUp, SingleInstanceCheck) {
  std::error_code ec;
  program_ = std::filesystem::read_symlink("/proc/" + std::to_string(getppid()) + "/exe", ec).filename();
  if (program_.empty()) GTEST_SKIP() << "the parent's executable cannot be read";
  const std::string same = std::to_string(getppid()), other = std::to_string(getpid()) + "\n";
  const std::string unwritable = "255||sc_sys_init: error writing pid to file '" + pid_file() + "'\n";
  const std::string another = "255||sc_sys_init: another instance of this process exists (";
  enum Lock { kFree, kNoLocks, kHeld };
  struct Case { std::string stored; Op op; unsigned skip, count; Lock lock; bool kept; std::string out; };
  const Case cases[] = {
      {"4294967295\n", Op::kOpen, 0, 0, kNoLocks, false, "0||"},  // no such process
      {other, Op::kOpen, 0, 0, kFree, false, "0||"},
      {other, Op::kOpen, 0, 0, kHeld, true, another + std::to_string(getpid()) + ")\n"},  // /proc aside
      {other, Op::kReadlink, 0, 1, kFree, false, "0||"},  // its link cannot be read, but the lock was free
      {other, Op::kReadlink, 0, 1, kNoLocks, true, "0||"},
      {"abc\n", Op::kOpen, 0, 0, kNoLocks, false, "0||"},  // no id (0), or one below: no other process
      {"-1\n", Op::kOpen, 0, 0, kNoLocks, false, "0||"},
      {"SELF", Op::kOpen, 0, 0, kFree, true, "0||"},  // the own id and another line
      {same + "\n", Op::kOpen, 0, 0, kNoLocks, true, another + same + ")\n"},
      {other, Op::kOpen, 2, 1, kFree, true, unwritable},   // the pid file's open
      {"LINK", Op::kOpen, 0, 0, kFree, true, unwritable},  // a planted link to a file is never followed
  };
  for (const Case &c : cases) {
    kelv::sys::UniqueFd holder(c.lock == kHeld ? open(pid_file().c_str(), O_RDWR | O_CREAT, 0644) : -1);
    ASSERT_TRUE(c.lock != kHeld || flock(holder.get(), LOCK_EX) == 0);
    const std::string out = Outcome([&] {
      const std::string before = c.stored == "SELF" ? std::to_string(getpid()) + "\nmore\n" : c.stored;
      WriteFileOrDie(c.stored == "LINK" ? root_ / "file" : pid_file(), before);
      if (c.stored == "LINK") symlink((root_ / "file").c_str(), pid_file().c_str());
      FaultGuard fail(c.op, c.skip, c.count, EACCES);
      if (c.lock == kNoLocks) kelv::sys::fault::arm(Op::kFlock, 0, 1, ENOLCK);
      const int rc = Init();
      return ReadFileOrDie(pid_file()) == (c.kept ? before : std::to_string(getpid()) + '\0') ? rc : 1;
    });
    EXPECT_EQ(out, c.out) << c.stored << " " << c.lock;
    EXPECT_EQ(PathExists(pid_file()), c.kept) << c.stored << " " << c.lock;
    unlink(pid_file().c_str());
  }
}

// Two real instances, the first switched to nobody as root (its /proc entry is then closed to the
// second): the first one's lock refuses the second. The first may start up twice, its forked
// worker's exit leaves the file, and its own exit removes it, but not a file put in its place.
TEST_F(StartUp, TheLockKeepsOneInstance) {
  if (IsRoot() && getpwnam("nobody")) WriteCfg("global.user nobody\nglobal.pidDir " + root_.path() + "\n");
  int ready[2], done[2];
  ASSERT_TRUE(pipe(ready) == 0 && pipe(done) == 0);
  const pid_t first = fork();
  if (first == 0) {
    close(done[1]);
    const char ok = Init() == 0 && Init() == 0 && RunInChild([] { return 0; }).ok() && PathExists(pid_file());
    exit(write(ready[1], &ok, 1) == 1 && read(done[0], done, 1) == 0 ? 0 : 1);
  }
  close(ready[1]), close(done[0]);
  char ok = 0;
  EXPECT_TRUE(read(ready[0], &ok, 1) == 1 && ok);
  EXPECT_EQ(Outcome([&] { return Init(); }),
            "255||sc_sys_init: another instance of this process exists (" + std::to_string(first) + ")\n");
  close(done[1]), close(ready[0]);
  int status = -1;
  EXPECT_TRUE(waitpid(first, &status, 0) == first && WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_FALSE(PathExists(pid_file()));
  // A file put in place of the one claimed is not the claimer's to remove.
  WriteFileOrDie(root_ / "new", "");
  EXPECT_EQ(Outcome([&] { return Init() || rename((root_ / "new").c_str(), pid_file().c_str()); }), "0||");
  EXPECT_TRUE(PathExists(pid_file()));
}

// Where others can write the base directory, its cfg/ or the file, the file names the account and
// the pid directory only when it is root's or this user's and writable by no other.
TEST_F(StartUp, ConfigurationTrust) {
  const std::string base = root_ / "device", cfg = base + "/cfg/vorn.cfg";
  const std::string not_trusted = "getCfgFileVal: " + cfg + " not trusted: ";
  const std::string others = not_trusted + "owned by uid 1, and ";
  struct Case { mode_t base, cfg_dir, file; uid_t owner; std::string why; };
  const Case cases[] = {
      {0777, 0755, 0666, getuid(), not_trusted + "writable by others\n"},
      {0777, 0755, 0644, getuid(), ""},
      {0777, 0755, 0644, 1, others + base + " is writable by others\n"},
      {0755, 01777, 0644, 1, others + base + "/cfg is writable by others\n"},
      {0755, 0755, 0644, 1, ""},  // a deployment no other account can write: as before
  };
  for (const Case &c : cases) {
    if (c.owner != getuid() && !IsRoot()) continue;
    ASSERT_EQ(chmod(base.c_str(), c.base) | chmod((base + "/cfg").c_str(), c.cfg_dir) |
                  chmod(cfg.c_str(), c.file) | chown(cfg.c_str(), c.owner, -1), 0);
    const std::string lines = c.why + "getCfgFileVal('" + cfg + "', 'global.user') failed\n" +
                              "sc_sys_init: set uid/gid failed - ignoring...\n" + c.why;
    EXPECT_EQ(Outcome([&] { return Init(); }), c.why.empty() ? "0||" : "255||" + lines) << c.why;
  }
}

TEST_F(StartUp, MissingPidDirectoryIsNotMade) {
  WriteCfg("global.user " + user_ + "\nglobal.pidDir " + root_ / "none\n");
  EXPECT_EQ(Outcome([&] { return Init(); }),
            "255||sc_sys_init: error writing pid to file '" + root_ / "none/" + program_ + ".pid'\n");
  EXPECT_FALSE(PathExists(root_ / "none"));
}

// As root: only CAP_SETUID and CAP_SETGID left, effective, under user id 1; with `all`, real and
// saved ids 1 as well (the capabilities kept), else those stay 0.
bool OnlySwitchCaps(bool all) {
#ifdef __linux__
  __user_cap_header_struct head = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct caps[2] = {};
  caps[0].effective = caps[0].permitted = 1u << CAP_SETUID | 1u << CAP_SETGID;
  const uid_t others = all ? 1 : 0;
  return prctl(PR_SET_KEEPCAPS, all) == 0 && setresuid(others, 1, others) == 0 &&
         syscall(SYS_capset, &head, caps) == 0;
#else
  return (void)all, false;
#endif
}

// As root to nobody, else to the own account. The ids change unless a step before them fails; the
// groups are replaced whenever they may be (root, or CAP_SETGID), and nothing leads back to root.
TEST_F(StartUp, AccountSwitch) {
  const bool root = IsRoot();
  const std::string account = root && getpwnam("nobody") != nullptr ? "nobody" : user_;
  const struct passwd pw = *getpwnam(account.c_str());
  const std::string gid = std::to_string(pw.pw_gid), eperm = " failed [errno=1, " + Text(EPERM) + "]\n";
  const std::string ignored = "sc_sys_init: set uid/gid failed - ignoring...\n";
  const std::string no_groups = "initgroups('" + account + "', '" + gid + "')" + eperm;
  enum Caps { kRoot, kEffective, kAll };  // as root, or OnlySwitchCaps(caps == kAll) first
  struct Case {
    std::string user; Op op; unsigned count; Caps caps; uid_t uid; gid_t gid; bool root_group;
    std::string err;
  };
  const Case cases[] = {
      {account, Op::kSetuid, 0, kRoot, pw.pw_uid, pw.pw_gid, false, ""},
      {"kelv-no-such-account", Op::kSetgid, 0, kRoot, getuid(), getgid(), true,
       "getpwnam('kelv-no-such-account') failed\n" + ignored},
      {account, Op::kSetgid, 1, kRoot, getuid(), getgid(), false, "setgid('" + gid + "')" + eperm + ignored},
      {account, Op::kSetuid, 1, kRoot, getuid(), pw.pw_gid, false,
       "setuid('" + std::to_string(pw.pw_uid) + "')" + eperm + ignored},
      // No group list (a user namespace): the account's group alone, else the ids all the same.
      {account, Op::kSetgroups, 1, kRoot, pw.pw_uid, pw.pw_gid, false, no_groups},
      {account, Op::kSetgroups, 2, kRoot, pw.pw_uid, pw.pw_gid, true,
       no_groups + "setgroups(1, '" + gid + "')" + eperm + ignored},
      {account, Op::kSetuid, 0, kEffective, pw.pw_uid, pw.pw_gid, false, ""},
      {account, Op::kSetuid, 0, kAll, pw.pw_uid, pw.pw_gid, false,
       "setuid('" + std::to_string(pw.pw_uid) + "') does not drop root: setuid('0') succeeded\n" + ignored},
  };
  for (const Case &c : cases) {
    if ((c.op == Op::kSetgroups || c.caps != kRoot) && (!root || pw.pw_uid == 0)) continue;
    WriteCfg("global.user " + c.user + "\nglobal.pidDir " + root_.path() + "\n");
    const std::string out = Outcome([&] {
      const gid_t root_group = 0;
      if (root && (setgroups(1, &root_group) != 0 || (c.caps != kRoot && !OnlySwitchCaps(c.caps == kAll))))
        return 3;
      FaultGuard fail(c.op, 0, c.count, EPERM);
      struct stat st;  // the account made the pid file, and cannot come back
      if (Init() != 0 || stat(pid_file().c_str(), &st) != 0 || st.st_uid != c.uid) return 1;
      const bool ids = getuid() == c.uid && geteuid() == c.uid && getgid() == c.gid && getegid() == c.gid;
      gid_t groups[64];
      const int n = getgroups(64, groups);
      const bool root_group_kept = n >= 0 && std::find(groups, groups + n, 0u) != groups + n;
      return ids && (c.uid == 0 || setuid(0) != 0) && (!root || root_group_kept == c.root_group) ? 0 : 2;
    });
    EXPECT_EQ(out, "0||" + c.err);
    EXPECT_FALSE(PathExists(pid_file()));  // removed at exit, by the account
  }
}

TEST(Sleep, WaitsOnceAndEndsOnAFailure) {
  const auto start = std::chrono::steady_clock::now();
  sc_sleep(0, 200000);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(190));
  // A failed wait (a signal, say) is reported and not resumed (99 s outlast the child).
  EXPECT_EQ(Outcome([] { return sc_sleep(0, -1), FaultGuard(Op::kSelect, 0, 1, EINTR), sc_sleep(99, 0), 0; }),
            "0||sc_sleep: select() failed\t[22, " + Text(EINVAL) + "]\nsc_sleep: select() failed\t[4, " +
                Text(EINTR) + "]\n");
}

}  // namespace
