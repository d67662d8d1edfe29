// Process runtime: base directory rules, the configuration lookup, start-up
// with its pid file and single-instance check (against real processes), the
// account switch, sleep and exit.
#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using kelv::sys::fault::Op;
using kelv::sys::internal::getCfgFileVal;
using kelv::sys::internal::set_app_type;
using kelv::test::ChildResult;
using kelv::test::FaultGuard;
using kelv::test::IsRoot;
using kelv::test::PathExists;
using kelv::test::ReadFileOrDie;
using kelv::test::RunInChild;
using kelv::test::ScratchDir;
using kelv::test::UniqueName;
using kelv::test::WriteFileOrDie;

std::string CurrentUser() {
  const struct passwd *pw = getpwuid(getuid());
  return pw != nullptr ? pw->pw_name : "";
}

std::string Text(int err) { return strerror(err); }

std::string PidText(pid_t pid) { return std::to_string(pid); }

// The pid file content this process would write: digits and one NUL byte.
std::string PidFileContent(pid_t pid) { return PidText(pid) + std::string(1, '\0'); }

// No base-directory source at all: no override, no root variable.
void ClearRootSources() {
  unsetenv("VORNDIR");
  unsetenv("TARLENDIR");
  sc_basedir_from_input = nullptr;
}

// Resolves into a buffer pre-filled with '#', and prints the outcome on
// standard output: "0 [dir]", or "-1 [untouched]" when the buffer kept its fill.
void Resolve(unsigned size) {
  char buf[600];
  memset(buf, '#', sizeof buf);
  buf[sizeof buf - 1] = '\0';
  const int rc = sc_get_basedir(buf, size);
  const bool untouched = strspn(buf, "#") == sizeof buf - 1;
  printf("%d [%s]\n", rc, rc == 0 ? buf : untouched ? "untouched" : "WRITTEN");
}

// ---------------------------------------------------------------------------
// Base directory

TEST(BaseDir, BeforeStartUpFailsWithoutTouchingTheBuffer) {
  ChildResult r = RunInChild([] {
    Resolve(512);
    return sc_get_apptype();
  });
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.out, "-1 [untouched]\n");
  EXPECT_EQ(r.err, "sc_get_basedir: sc_sys_init() was never called\n");
}

TEST(BaseDir, TemporaryTypesAlwaysUseTmpSilently) {
  ChildResult r = RunInChild([] {
    static char override_dir[] = "/srv/override";
    setenv("VORNDIR", "/opt/x", 1);
    setenv("TARLENDIR", "/opt/old", 1);
    sc_basedir_from_input = override_dir;
    for (int type : {SC_APP_TOOL, SC_APP_TEST}) {
      set_app_type(type);
      Resolve(512);
    }
    Resolve(5);
    Resolve(4);
    Resolve(0);
    return 0;
  });
  EXPECT_EQ(r.out, "0 [/tmp]\n0 [/tmp]\n0 [/tmp]\n-1 [untouched]\n-1 [untouched]\n");
  EXPECT_EQ(r.err,
            "Not enough room in `buf' (need 5, have 4)\n"
            "Not enough room in `buf' (need 5, have 0)\n");
}

TEST(BaseDir, RequiredSizeCountsTheSeparatorEvenAfterATrailingSlash) {
  ChildResult r = RunInChild([] {
    ClearRootSources();
    set_app_type(SC_APP_DEVICE);
    setenv("VORNDIR", "/opt/x", 1);
    Resolve(14);
    Resolve(13);
    setenv("VORNDIR", "/opt/x/", 1);
    Resolve(14);
    Resolve(15);
    return 0;
  });
  EXPECT_EQ(r.out, "0 [/opt/x/device]\n-1 [untouched]\n-1 [untouched]\n0 [/opt/x/device]\n");
  EXPECT_EQ(r.err,
            "Not enough room in `buf' (need 14, have 13)\n"
            "Not enough room in `buf' (need 15, have 14)\n");
}

TEST(BaseDir, RootTypeDropsOneTrailingSlash) {
  ChildResult r = RunInChild([] {
    ClearRootSources();
    set_app_type(SC_APP_ROOT);
    for (const char *root : {"/opt/x/", "/opt/x//", "/", ""}) {
      setenv("VORNDIR", root, 1);
      Resolve(512);
    }
    setenv("VORNDIR", "", 1);
    set_app_type(SC_APP_MGT_SVR);
    Resolve(512);
    Resolve(9);
    Resolve(8);
    return 0;
  });
  EXPECT_EQ(r.out,
            "0 [/opt/x]\n0 [/opt/x/]\n0 []\n0 []\n0 [/mgt-svr]\n0 [/mgt-svr]\n-1 [untouched]\n");
  EXPECT_EQ(r.err, "Not enough room in `buf' (need 9, have 8)\n");
}

TEST(BaseDir, UnknownTypesNeedTheObsoleteVariableOrTheOverride) {
  ChildResult r = RunInChild([] {
    ClearRootSources();
    setenv("VORNDIR", "/v", 1);
    for (int type : {6, -1}) {
      set_app_type(type);
      Resolve(512);
    }
    unsetenv("VORNDIR");
    setenv("TARLENDIR", "/t", 1);
    for (int type : {6, SC_APP_MGT_SVR, SC_APP_DEVICE}) {
      set_app_type(type);
      Resolve(512);
    }
    setenv("TARLENDIR", "", 1);
    Resolve(512);
    unsetenv("TARLENDIR");
    Resolve(512);
    return 0;
  });
  EXPECT_EQ(r.out, "-1 [untouched]\n-1 [untouched]\n0 [/t]\n0 [/t]\n0 [/t]\n0 []\n-1 [untouched]\n");
  const std::string obsolete = "VORNDIR environment variable not defined; using TARLENDIR (obsolete)\n";
  EXPECT_EQ(r.err, "Unknown app_type 6\nUnknown app_type -1\n" + obsolete + obsolete + obsolete +
                       obsolete + "environment variable VORNDIR not defined\n");
}

TEST(BaseDir, OverrideWinsAndIsAnnouncedOnEveryCall) {
  ChildResult r = RunInChild([] {
    static char override_dir[] = "/srv/o/";
    static char empty[] = "";
    setenv("VORNDIR", "/v", 1);
    set_app_type(SC_APP_DEVICE);
    sc_basedir_from_input = override_dir;
    for (int i = 0; i < 10; ++i) Resolve(512);
    sc_basedir_from_input = empty;
    Resolve(1);
    return 0;
  });
  std::string out, err;
  for (int i = 0; i < 10; ++i) {
    out += "0 [/srv/o]\n";
    err += "sc_get_basedir: use base directory '/srv/o/' from input\n";
  }
  EXPECT_EQ(r.out, out + "0 []\n");
  EXPECT_EQ(r.err, err + "sc_get_basedir: use base directory '' from input\n");
}

// ---------------------------------------------------------------------------
// Configuration lookup

struct Lookup {
  int rc = 0;
  std::string value;  // "(untouched)" when the lookup left the buffer alone
  std::string err;    // standard error, the file's path replaced by <cfg>
};

std::string ReplaceAll(std::string text, const std::string &from, const std::string &to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
    text.replace(at, from.size(), to);
  }
  return text;
}

Lookup LookUpIn(const std::string &path, const std::string &key, unsigned size) {
  ChildResult r = RunInChild([&] {
    std::vector<char> value(size + 1, '#');
    value[size] = '\0';
    const int rc = getCfgFileVal(path.c_str(), key.c_str(), value.data(), size);
    const bool untouched = strspn(value.data(), "#") == size;
    fputs(rc == 0 ? value.data() : untouched ? "(untouched)" : "(written)", stdout);
    return rc == 0 ? 0 : 1;
  });
  Lookup result;
  result.rc = r.ok() ? 0 : -1;
  result.value = r.out;
  result.err = ReplaceAll(r.err, path, "<cfg>");
  return result;
}

Lookup LookUp(const std::string &content, const std::string &key, unsigned size = 128) {
  ScratchDir dir;
  WriteFileOrDie(dir / "x.cfg", content);
  return LookUpIn(dir / "x.cfg", key, size);
}

std::string Missing(const std::string &key) { return "\"" + key + "\" is missing in <cfg>!\n"; }
std::string TooLarge(const std::string &value) {
  return "Parse error: property val('" + value + "') larger then passed buf\n";
}

// Each case: file content, key and buffer size, then the outcome. A failed
// lookup always leaves the buffer untouched.
TEST(CfgLookup, ContentCases) {
  const std::string layout = std::string("\n   \n# comment\n\t  # indented comment\n") +
                             std::string("\0junk line\n", 11) + "other.key  x y z\n" +
                             " \t global.user \t\t no#body  second word # remark\r\n" +
                             "global.pidDir /run/x\r\n";
  const std::string v127(127, 'v'), v128(128, 'w'), v511(511, 'v'), v512(512, 'w'), v1000(1000, 'z');
  const std::string n511(511, 'n'), n512(512, 'm');
  const std::string user = "global.user", no_name = "Parse error: Expected property name\n";
  struct Case {
    std::string content, key;
    unsigned size;
    std::string value, err;  // value "(untouched)": the lookup failed
  };
  const Case cases[] = {
      {"global.user nobody\n", user, 128, "nobody", ""},
      {"global.user nobody\n", "global.pidDir", 128, "(untouched)", Missing("global.pidDir")},
      // The first entry ends the search; a broken line after it is never read.
      {"global.user first\nglobal.user second\nglobal.user\nbroken", user, 128, "first", ""},
      {layout, user, 128, "no#body", ""},
      {layout, "global.pidDir", 128, "/run/x", ""},  // no carriage return
      // Names match in full and by case.
      {"Global.user a\nglobal.user=b\nglobal.users c\nglobal.use d\n", user, 128, "(untouched)",
       Missing(user)},
      // Bytes above 0x7f are never white space.
      {"global.user \xa0x\xc2\x85\n", user, 128, "\xa0x\xc2\x85", ""},
      {"global.user\xa0x y\n", user, 128, "(untouched)", Missing(user)},
      {"global.user nobody", user, 128, "(untouched)", "Parse error: Expected property val\n"},
      // A last word without a newline breaks every lookup that reaches it.
      {"global.user nobody\nlonely", "global.pidDir", 128, "(untouched)", no_name},
      {"global.user  \t \n", user, 128, "(untouched)",
       "Parse error: Expected value for key('global.user') in cfg file\n"},
      // A 1023-byte word fills a whole line piece: its name runs to the end.
      {std::string(1023, 'a') + "\nglobal.user x\n", user, 128, "(untouched)", no_name},
      // The comment's first 1023 bytes are one piece; the rest is a line of its own.
      {"#" + std::string(1022, 'c') + "global.user bob\n", user, 128, "bob", ""},
      // The value must be shorter than the caller's buffer...
      {"global.user " + v127 + "\n", user, 128, v127, ""},
      {"global.user " + v128 + "\n", user, 128, "(untouched)", TooLarge(v128)},
      // ... and than 512 even when the caller's buffer would hold it.
      {"k " + v511 + "\n", "k", 1024, v511, ""},
      {"k " + v512 + "\n", "k", 1024, "(untouched)", TooLarge(v512)},
      {"k " + v1000 + "\n", "k", 1024, "(untouched)", TooLarge(v1000)},
      // A name beyond 511 characters never matches, not even a key equal to it.
      {n511 + " found\n", n511, 128, "found", ""},
      {n512 + " found\n", n512, 128, "(untouched)", Missing(n512)},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i));
    const Lookup l = LookUp(c.content, c.key, c.size);
    EXPECT_EQ(l.rc, c.value == "(untouched)" ? -1 : 0);
    EXPECT_EQ(l.value, c.value);
    EXPECT_EQ(l.err, c.err);
  }
}

TEST(CfgLookup, OpenFailuresNameTheErrno) {
  ScratchDir dir;
  Lookup l = LookUpIn(dir / "absent.cfg", "global.user", 128);
  EXPECT_EQ(l.rc, -1);
  EXPECT_EQ(l.err, "fopen(<cfg>) failed [errno=2, " + Text(ENOENT) + "]\n");

  WriteFileOrDie(dir / "x.cfg", "global.user nobody\n");
  ChildResult r = RunInChild([&] {
    FaultGuard fail(Op::kFopen, 0, 1, EMFILE);
    char value[128];
    return getCfgFileVal((dir / "x.cfg").c_str(), "global.user", value, sizeof value) == -1 ? 0 : 1;
  });
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.err, "fopen(" + dir / "x.cfg" + ") failed [errno=24, " + Text(EMFILE) + "]\n");
}

TEST(CfgLookup, EveryPathClosesTheFile) {
  ScratchDir dir;
  WriteFileOrDie(dir / "ok.cfg", "global.user nobody\n");
  WriteFileOrDie(dir / "bad.cfg", "global.user");
  ChildResult r = RunInChild([&] {
    const int before = kelv::test::CountOpenFds();
    char value[128];
    for (int i = 0; i < 50; ++i) {
      for (const char *key : {"global.user", "global.pidDir"}) {
        getCfgFileVal((dir / "ok.cfg").c_str(), key, value, sizeof value);
        getCfgFileVal((dir / "bad.cfg").c_str(), key, value, sizeof value);
      }
    }
    return kelv::test::CountOpenFds() == before ? 0 : 1;
  });
  EXPECT_TRUE(r.ok());
}

// ---------------------------------------------------------------------------
// Start-up

// A running /bin/sleep (or a copy of it under another name); killed and
// reaped when the object goes.
class RunningProcess {
 public:
  explicit RunningProcess(const std::string &exe) {
    pid_ = fork();
    if (pid_ == 0) {
      execl(exe.c_str(), exe.c_str(), "60", static_cast<char *>(nullptr));
      _exit(127);
    }
    // Wait until the exec has happened: the executable's name shows.
    const std::string want = exe.substr(exe.rfind('/') + 1);
    for (int i = 0; i < 1000 && ExeName() != want; ++i) usleep(5000);
  }
  ~RunningProcess() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  RunningProcess(const RunningProcess &) = delete;
  RunningProcess &operator=(const RunningProcess &) = delete;

  pid_t pid() const { return pid_; }
  std::string ExeName() const {
    char link[1024];
    const ssize_t n = readlink(("/proc/" + PidText(pid_) + "/exe").c_str(), link, sizeof link);
    if (n <= 0) return "";
    const std::string text(link, static_cast<size_t>(n));
    return text.substr(text.rfind('/') + 1);
  }

 private:
  pid_t pid_;
};

// An id that no process holds: a child that has already been reaped.
pid_t StaleId() {
  const pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

// A base tree: <root>/device/cfg/vorn.cfg naming an account and <root>/run as
// the pid directory; start-up as a device with VORNDIR=<root>.
class StartUp : public ::testing::Test {
 protected:
  void SetUp() override {
    user_ = CurrentUser();
    if (user_.empty()) GTEST_SKIP() << "the current user id has no account name";
    // Readable and searchable by any account the tests switch to.
    ASSERT_EQ(chmod(root_.path().c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root_ / "device").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(cfg_dir().c_str(), 0755), 0);
    ASSERT_EQ(mkdir(run_dir().c_str(), 0777), 0);
    ASSERT_EQ(chmod(run_dir().c_str(), 0777), 0);
    program_ = UniqueName("kelv-sys-test");
    WriteCfg("vorn.cfg", "global.user " + user_ + "\nglobal.pidDir " + run_dir() + "\n");
  }

  std::string cfg_dir() const { return root_ / "device/cfg"; }
  std::string run_dir() const { return root_ / "run"; }
  std::string pid_file() const { return run_dir() + "/" + program_ + ".pid"; }
  void WriteCfg(const std::string &name, const std::string &content) const {
    WriteFileOrDie(cfg_dir() + "/" + name, content);
    chmod((cfg_dir() + "/" + name).c_str(), 0644);
  }

  // In the child: this tree's environment, lines on the screen without prefix.
  void Prepare() const {
    ClearRootSources();
    for (const char *var : {"SC_DEBUG_LEVEL", "SC_DEBUG_DETAIL", "SC_DEBUG_WHERE", "SO_PRINTER_WHERE"}) {
      unsetenv(var);
    }
    setenv("VORNDIR", root_.path().c_str(), 1);
    __sc_debug_where = SC_WHERE_SCREEN;
    __sc_debug_detail = SC_DETAIL_NONE;
  }
  int Init(int type = SC_APP_DEVICE) const {
    Prepare();
    return sc_sys_init(program_.c_str(), type);
  }

  ScratchDir root_;
  std::string user_;
  std::string program_;
};

TEST_F(StartUp, WritesIdAndNulAndRemovesThePidFileAtExit) {
  const std::string process_name = "/usr/sbin/" + program_;
  ChildResult r = RunInChild([&] {
    Prepare();
    if (sc_sys_init(process_name.c_str(), SC_APP_DEVICE) != 0) return 1;
    if (sc_process_name != process_name.c_str() || sc_get_apptype() != SC_APP_DEVICE) return 2;
    return ReadFileOrDie(pid_file()) == PidFileContent(getpid()) ? 0 : 3;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(PathExists(pid_file()));
}

TEST_F(StartUp, SysExitRunsTheExitHandlers) {
  ChildResult r = RunInChild([&] {
    if (Init() != 0) return 1;
    sc_sys_exit(7);
  });
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.exit_code, 7);
  EXPECT_FALSE(PathExists(pid_file()));
}

// Pid files that do not name another running instance: a stale id or a live
// process of another executable is replaced (and removed at exit); a first
// line without a number (id 0: the probe reaches the own process group and
// /proc/0/exe cannot be read) or the process's own id is left alone, with no
// removal registered.
TEST_F(StartUp, PidFileOfNoOtherInstanceDoesNotStopStartUp) {
  RunningProcess other("/bin/sleep");
  ASSERT_EQ(other.ExeName(), "sleep");
  struct Case {
    std::string stored;  // empty: the starting process's own id and more
    bool kept;
  };
  const Case cases[] = {{PidFileContent(StaleId()), false},
                        {PidText(other.pid()), false},
                        {"abc\n", true},
                        {"", true}};
  for (const Case &c : cases) {
    ChildResult r = RunInChild([&] {
      const std::string before = c.stored.empty() ? PidText(getpid()) + "\nmore\n" : c.stored;
      WriteFileOrDie(pid_file(), before);
      if (Init() != 0) return 1;
      return ReadFileOrDie(pid_file()) == (c.kept ? before : PidFileContent(getpid())) ? 0 : 2;
    });
    EXPECT_TRUE(r.ok()) << c.stored << " exit " << r.exit_code << r.err;
    EXPECT_EQ(PathExists(pid_file()), c.kept) << c.stored;
    unlink(pid_file().c_str());
  }
}

TEST_F(StartUp, LiveProcessWithTheProgramsNameIsAnotherInstance) {
  const std::string copy = root_ / program_;
  WriteFileOrDie(copy, ReadFileOrDie("/bin/sleep"));
  ASSERT_EQ(chmod(copy.c_str(), 0755), 0);
  RunningProcess other(copy);
  ASSERT_EQ(other.ExeName(), program_);
  const std::string stored = PidText(other.pid()) + "\n";
  WriteFileOrDie(pid_file(), stored);

  ChildResult r = RunInChild([&] { return Init(); });
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.exit_code, 255);
  EXPECT_EQ(r.err, "sc_sys_init: another instance of this process exists (" + PidText(other.pid()) +
                       ")\n");
  EXPECT_EQ(ReadFileOrDie(pid_file()), stored);
}

TEST_F(StartUp, SymbolicLinkAtThePidPathIsNeverFollowed) {
  const std::string target = root_ / "precious";
  WriteFileOrDie(target, "precious\n");
  ASSERT_EQ(symlink(target.c_str(), pid_file().c_str()), 0);
  ChildResult r = RunInChild([&] { return Init(); });
  EXPECT_EQ(r.exit_code, 255);
  EXPECT_EQ(r.err, "sc_sys_init: error writing pid to file '" + pid_file() + "'\n");
  EXPECT_EQ(ReadFileOrDie(target), "precious\n");

  // A dangling link does not create its target either.
  const std::string absent = root_ / "absent";
  ASSERT_EQ(unlink(pid_file().c_str()), 0);
  ASSERT_EQ(symlink(absent.c_str(), pid_file().c_str()), 0);
  r = RunInChild([&] { return Init(); });
  EXPECT_EQ(r.exit_code, 255);
  EXPECT_FALSE(PathExists(absent));
}

TEST_F(StartUp, PidFileFailuresCloseEverythingAndFail) {
  struct Case {
    Op op;
    unsigned skip;
    const char *what;
  };
  // Step by step: the first open, its stream, the reopen for writing, its stream.
  for (const Case &c : {Case{Op::kOpen, 0, "open"}, Case{Op::kFdopen, 0, "fdopen"},
                        Case{Op::kOpen, 1, "reopen"}, Case{Op::kFdopen, 1, "re-fdopen"}}) {
    ChildResult r = RunInChild([&] {
      Prepare();
      const int before = kelv::test::CountOpenFds();
      FaultGuard fail(c.op, c.skip, 1, EACCES);
      const int rc = sc_sys_init(program_.c_str(), SC_APP_DEVICE);
      return rc == -1 && kelv::test::CountOpenFds() == before ? 0 : 1;
    });
    EXPECT_TRUE(r.ok()) << c.what;
    EXPECT_EQ(r.err, "sc_sys_init: error writing pid to file '" + pid_file() + "'\n") << c.what;
    unlink(pid_file().c_str());
  }

  // A pid directory that does not exist is not created.
  WriteCfg("vorn.cfg", "global.user " + user_ + "\nglobal.pidDir " + root_ / "none" + "\n");
  ChildResult r = RunInChild([&] { return Init(); });
  EXPECT_EQ(r.exit_code, 255);
  EXPECT_EQ(r.err, "sc_sys_init: error writing pid to file '" + root_ / "none/" + program_ +
                       ".pid'\n");
  EXPECT_FALSE(PathExists(root_ / "none"));
}

TEST_F(StartUp, RootTypeSkipsTheAccountAndUsesTmp) {
  const std::string tmp_pid = "/tmp/" + program_ + ".pid";
  // No configuration file exists for the root itself: nothing may complain.
  ChildResult r = RunInChild([&] {
    if (Init(SC_APP_ROOT) != 0) return 1;
    return ReadFileOrDie(tmp_pid) == PidFileContent(getpid()) ? 0 : 2;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code;
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(PathExists(tmp_pid));
}

TEST_F(StartUp, ServerWithoutConfigurationFallsBackToTmp) {
  const std::string tmp_pid = "/tmp/" + program_ + ".pid";
  const std::string cfg = root_ / "mgt-svr/cfg/mgt-svr.cfg";
  ChildResult r = RunInChild([&] {
    if (Init(SC_APP_MGT_SVR) != 0) return 1;
    return PathExists(tmp_pid) ? 0 : 2;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code;
  EXPECT_EQ(r.err, "fopen(" + cfg + ") failed [errno=2, " + Text(ENOENT) +
                       "]\ngetCfgFileVal('" + cfg +
                       "', 'global.user') failed\nsc_sys_init: set uid/gid failed - ignoring...\n");
  EXPECT_FALSE(PathExists(tmp_pid));
}

TEST_F(StartUp, ConfigurationWithoutPidDirFails) {
  ASSERT_EQ(mkdir((root_ / "mgt-svr").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((root_ / "mgt-svr/cfg").c_str(), 0755), 0);
  const std::string cfg = root_ / "mgt-svr/cfg/mgt-svr.cfg";
  WriteFileOrDie(cfg, "global.user " + user_ + "\n");
  const std::string missing = "\"global.pidDir\" is missing in " + cfg + "!\n";
  ChildResult r = RunInChild([&] { return Init(SC_APP_MGT_SVR); });
  EXPECT_EQ(r.exit_code, 255);
  EXPECT_EQ(r.err, missing);

  r = RunInChild([&] {
    Prepare();
    setenv("SC_DEBUG_LEVEL", "debug", 1);
    return sc_sys_init(program_.c_str(), SC_APP_MGT_SVR);
  });
  EXPECT_EQ(r.exit_code, 255);
  EXPECT_NE(r.err.find(missing + "sc_sys_init: getCfgFileVal() failed\n"), std::string::npos)
      << r.err;
}

TEST_F(StartUp, EnvironmentSettingsAreAppliedOrReported) {
  struct Case {
    std::vector<std::pair<const char *, const char *>> env;
    int level, detail, where;
    std::string out;
  };
  const std::vector<Case> cases = {
      {{{"SC_DEBUG_LEVEL", "DEBUG"}, {"SC_DEBUG_DETAIL", "Line"}, {"SC_DEBUG_WHERE", "sCREEN"}},
       4, 3, 2, ""},
      {{{"SC_DEBUG_LEVEL", "none"}, {"SC_DEBUG_DETAIL", "file"}}, 0, 2, 2, ""},
      {{{"SC_DEBUG_LEVEL", "verbose"}, {"SC_DEBUG_DETAIL", "full"}, {"SC_DEBUG_WHERE", "none"}},
       2, 0, 2,
       "sc_sys_init: Unknown SC_DEBUG_LEVEL verbose\nsc_sys_init: Unknown SC_DEBUG_DETAIL full\n"
       "sc_sys_init: Unknown SC_DEBUG_WHERE none\n"},
      {{{"SO_PRINTER_WHERE", "Both"}}, 2, 0, 3, ""},
      {{{"SO_PRINTER_WHERE", "both"}, {"SC_DEBUG_WHERE", "screen"}}, 2, 0, 2, ""},
      {{{"SO_PRINTER_WHERE", "both"}, {"SC_DEBUG_WHERE", ""}}, 2, 0, 2,
       "sc_sys_init: Unknown SC_DEBUG_WHERE \n"},
      {{{"SO_PRINTER_WHERE", "loud"}}, 2, 0, 2, "sc_sys_init: Unknown SC_DEBUG_WHERE loud\n"},
  };
  for (const Case &c : cases) {
    ChildResult r = RunInChild([&] {
      Prepare();
      for (const auto &[name, value] : c.env) setenv(name, value, 1);
      if (sc_sys_init(program_.c_str(), SC_APP_DEVICE) != 0) return 1;
      return __sc_debug_level == c.level && __sc_debug_detail == c.detail &&
                     __sc_debug_where == c.where
                 ? 0
                 : 2;
    });
    EXPECT_TRUE(r.ok()) << r.exit_code << " " << c.out;
    EXPECT_EQ(r.out, c.out);
  }
}

TEST_F(StartUp, UnresolvableBaseDirectoryAppliesNoSettings) {
  ChildResult r = RunInChild([&] {
    Prepare();
    ClearRootSources();
    setenv("SC_DEBUG_LEVEL", "debug", 1);
    __sc_debug_where = SC_WHERE_FILE;  // the initial destination
    const int rc = sc_sys_init(program_.c_str(), SC_APP_DEVICE);
    return rc == -1 && __sc_debug_level == SC_LOG_ERROR ? 0 : 1;
  });
  EXPECT_TRUE(r.ok());
  // Once from start-up, once from the log check of its error line.
  EXPECT_EQ(r.err, "environment variable VORNDIR not defined\nenvironment variable VORNDIR not defined\n");

  r = RunInChild([&] {
    Prepare();
    ClearRootSources();
    return sc_sys_init(program_.c_str(), SC_APP_DEVICE) == -1 ? 0 : 1;
  });
  EXPECT_EQ(r.err, "environment variable VORNDIR not defined\nsc_sys_init: sc_get_basedir() failed\n");
}

TEST_F(StartUp, TypeZeroIsRecordedAndFails) {
  ChildResult r = RunInChild([&] {
    Prepare();
    __sc_debug_where = SC_WHERE_FILE;
    const int rc = sc_sys_init(program_.c_str(), 0);
    return rc == -1 && sc_get_apptype() == 0 && sc_process_name == program_.c_str() ? 0 : 1;
  });
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.err,
            "sc_get_basedir: sc_sys_init() was never called\n"
            "sc_get_basedir: sc_sys_init() was never called\n");
}

TEST_F(StartUp, EmptyBaseDirectoryIsRejected) {
  ChildResult r = RunInChild([&] {
    Prepare();
    setenv("VORNDIR", "/", 1);
    const int rc = sc_sys_init(program_.c_str(), SC_APP_ROOT);
    // The name and type stay recorded after a failure.
    return rc == -1 && sc_get_apptype() == SC_APP_ROOT ? 0 : 1;
  });
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.err, "sc_sys_init: sc_get_basedir failed\n");
}

TEST_F(StartUp, ExitHandlerFailuresAreDebugLinesOnly) {
  ChildResult r = RunInChild([&] {
    if (Init() != 0) return 1;
    __sc_debug_level = SC_LOG_DEBUG;
    unsetenv("VORNDIR");
    return 0;
  });
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.err,
            "environment variable VORNDIR not defined\n"
            "sc_cleanup_pidfile: sc_get_basedir() failed\n");
  EXPECT_TRUE(PathExists(pid_file()));
  unlink(pid_file().c_str());

  r = RunInChild([&] {
    if (Init() != 0) return 1;
    __sc_debug_level = SC_LOG_DEBUG;
    WriteCfg("vorn.cfg", "global.user nobody\n");
    return 0;
  });
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.err, "\"global.pidDir\" is missing in " + cfg_dir() +
                       "/vorn.cfg!\nsc_cleanup_pidfile: getCfgFileVal() failed\n");
  EXPECT_TRUE(PathExists(pid_file()));
}

// ---------------------------------------------------------------------------
// Account switch

TEST_F(StartUp, SwitchesToTheAccountForReal) {
  if (!IsRoot()) GTEST_SKIP() << "switching to another account needs root";
  const struct passwd *pw = getpwnam("nobody");
  if (pw == nullptr) GTEST_SKIP() << "no account 'nobody'";
  const uid_t uid = pw->pw_uid;
  const gid_t gid = pw->pw_gid;
  std::vector<gid_t> expected(64);
  int count = static_cast<int>(expected.size());
  ASSERT_GE(getgrouplist("nobody", gid, expected.data(), &count), 0);
  expected.resize(static_cast<size_t>(count));
  std::sort(expected.begin(), expected.end());
  WriteCfg("vorn.cfg", "global.user nobody\nglobal.pidDir " + run_dir() + "\n");

  ChildResult r = RunInChild([&] {
    // Start with extra supplementary groups that must not survive.
    const gid_t extra[] = {0, 4, 27};
    if (setgroups(3, extra) != 0) return 10;
    if (Init() != 0) return 1;
    if (getuid() != uid || geteuid() != uid) return 2;
    if (getgid() != gid || getegid() != gid) return 3;
    std::vector<gid_t> groups(64);
    const int n = getgroups(static_cast<int>(groups.size()), groups.data());
    if (n < 0) return 4;
    groups.resize(static_cast<size_t>(n));
    std::sort(groups.begin(), groups.end());
    if (groups != expected) return 5;
    if (setuid(0) == 0 || errno != EPERM) return 6;
    // The pid file was made by the account and is removed by it at exit.
    struct stat st;
    return stat(pid_file().c_str(), &st) == 0 && st.st_uid == uid ? 0 : 7;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(PathExists(pid_file()));
}

TEST_F(StartUp, AccountSwitchFailuresAreReportedAndIgnored) {
  const std::string cfg = cfg_dir() + "/vorn.cfg";
  const std::string ignoring = "sc_sys_init: set uid/gid failed - ignoring...\n";
  WriteCfg("vorn.cfg", "global.user kelv-no-such-account\nglobal.pidDir " + run_dir() + "\n");
  ChildResult r = RunInChild([&] { return Init(); });
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.err, "getpwnam('kelv-no-such-account') failed\n" + ignoring);

  WriteCfg("vorn.cfg", "global.pidDir " + run_dir() + "\n");
  r = RunInChild([&] { return Init(); });
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.err, "\"global.user\" is missing in " + cfg + "!\ngetCfgFileVal('" + cfg +
                       "', 'global.user') failed\n" + ignoring);
}

TEST_F(StartUp, FailedIdChangesStopTheSwitch) {
  // As root the target is nobody, so every step's effect shows; otherwise
  // the own account, whose ids a process may always set.
  const std::string account = IsRoot() ? "nobody" : user_;
  const struct passwd *pw = getpwnam(account.c_str());
  ASSERT_NE(pw, nullptr);
  const unsigned uid = pw->pw_uid, gid = pw->pw_gid;
  const uid_t uid_before = getuid();
  const gid_t gid_before = getgid();
  WriteCfg("vorn.cfg", "global.user " + account + "\nglobal.pidDir " + run_dir() + "\n");
  const std::string ignoring = "sc_sys_init: set uid/gid failed - ignoring...\n";
  const std::string eperm = "[errno=1, " + Text(EPERM) + "]\n";

  struct Case {
    Op op;
    gid_t gid_after;
    std::string line;
  };
  std::vector<Case> cases = {
      {Op::kSetgid, gid_before, "setgid('" + std::to_string(gid) + "') failed "},
      {Op::kSetuid, gid, "setuid('" + std::to_string(uid) + "') failed "}};
  // Only root changes supplementary groups.
  if (IsRoot()) {
    cases.push_back({Op::kSetgroups, gid_before,
                     "initgroups('" + account + "', '" + std::to_string(gid) + "') failed "});
  }
  for (const Case &c : cases) {
    ChildResult r = RunInChild([&] {
      FaultGuard fail(c.op, 0, 1, EPERM);
      if (Init() != 0) return 1;
      return getuid() == uid_before && getgid() == c.gid_after ? 0 : 2;
    });
    EXPECT_TRUE(r.ok()) << c.line << " exit " << r.exit_code;
    EXPECT_EQ(r.err, c.line + eperm + ignoring);
  }
}

// ---------------------------------------------------------------------------
// Sleep

double Seconds(const timespec &from, const timespec &to) {
  return static_cast<double>(to.tv_sec - from.tv_sec) +
         static_cast<double>(to.tv_nsec - from.tv_nsec) / 1e9;
}

TEST(Sleep, WaitsForSecondsAndMicroseconds) {
  for (auto [s, us, at_least] : {std::tuple{0, 500000, 0.45}, std::tuple{1, 0, 0.95}}) {
    timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    sc_sleep(s, us);
    clock_gettime(CLOCK_MONOTONIC, &end);
    EXPECT_GE(Seconds(start, end), at_least) << s << "s " << us << "us";
  }
}

void IgnoreSignal(int) {}

TEST(Sleep, FailuresAndSignalsEndTheWaitWithAnErrorLine) {
  ChildResult r = RunInChild([] {
    __sc_debug_where = SC_WHERE_SCREEN;
    __sc_debug_detail = SC_DETAIL_NONE;
    sc_sleep(0, -1);
    {
      FaultGuard fail(Op::kSelect, 0, 1, ENOMEM);
      sc_sleep(0, 1);
    }
    // A signal cuts the wait short and it is not resumed.
    struct sigaction sa = {};
    sa.sa_handler = IgnoreSignal;
    sigaction(SIGUSR1, &sa, nullptr);
    // The waker keeps signalling, so that a signal that comes before the
    // wait begins does not leave it to run its course.
    const pid_t self = getpid();
    const pid_t waker = fork();
    if (waker == 0) {
      do usleep(100000);
      while (kill(self, SIGUSR1) == 0);
      _exit(0);
    }
    timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    sc_sleep(30, 0);
    clock_gettime(CLOCK_MONOTONIC, &end);
    kill(waker, SIGKILL);
    waitpid(waker, nullptr, 0);
    return Seconds(start, end) < 20 ? 0 : 1;
  });
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.err, "sc_sleep: select() failed\t[22, " + Text(EINVAL) +
                       "]\nsc_sleep: select() failed\t[12, " + Text(ENOMEM) +
                       "]\nsc_sleep: select() failed\t[4, " + Text(EINTR) + "]\n");
}

}  // namespace
