// Failure paths across the modules.
//
// The sweep runs one program-like scenario (start-up, two logged lines with a
// rotation, the file helpers, the configuration lookup, the pool, the list,
// the mutex, the string helpers and a sleep) once to count the calls of every
// seam operation, then again once for each single call made to fail. Whatever
// fails, the process must not crash, every result must be one the contract
// allows, no descriptor may stay open, and (when the heap itself is not the
// one refusing) the tracked heap must come back to where it started.
//
// The other tests make the system fail for real: a short read, a full disk,
// an unreadable configuration file, a pid directory that does not exist.
#include <grp.h>
#include <pwd.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

namespace fault = kelv::sys::fault;
using fault::Op;
using kelv::test::ChildResult;
using kelv::test::CountOpenFds;
using kelv::test::FaultGuard;
using kelv::test::IsRoot;
using kelv::test::PathExists;
using kelv::test::ReadFileOrDie;
using kelv::test::RemoveTree;
using kelv::test::RunInChild;
using kelv::test::ScratchDir;
using kelv::test::UniqueName;
using kelv::test::WriteFileOrDie;

constexpr unsigned kOps = static_cast<unsigned>(Op::kCount);
constexpr const char *kOpNames[] = {
    "malloc", "open",     "fopen",    "fdopen",  "fstat",  "stat",   "lseek",
    "read",   "fwrite",   "fclose",  "rename", "mkdir",  "readlink",
    "setgroups", "setgid", "setuid", "select", "mutex_init", "mutex_destroy"};
static_assert(sizeof kOpNames / sizeof kOpNames[0] == kOps, "a name for every seam operation");

int ErrnoFor(Op op) {
  switch (op) {
    case Op::kMalloc: return ENOMEM;
    case Op::kFwrite: case Op::kFclose: return ENOSPC;
    case Op::kRead: case Op::kLseek: return EIO;
    case Op::kSelect: return EINTR;
    case Op::kMutexInit: return EAGAIN;
    default: return EACCES;
  }
}

std::string CurrentUser() {
  const passwd *pw = getpwuid(getuid());
  return pw != nullptr ? pw->pw_name : "";
}

// Where the scenario runs: a base directory with a device configuration, a pid
// directory, and (as root) a log directory of its own under /var/log holding a
// log that is due for rotation.
class Sweep {
 public:
  Sweep() : program_(UniqueName("sweep")) {
    mkdir((dir_ / "device").c_str(), 0755);
    mkdir((dir_ / "device/cfg").c_str(), 0755);
    mkdir((dir_ / "run").c_str(), 0755);
    cfg_ = dir_ / "device/cfg/vorn.cfg";
    WriteFileOrDie(cfg_, "global.user " + CurrentUser() + "\nglobal.pidDir " + dir_ / "run" + "\n");
    if (IsRoot()) {
      logdir_ = "/var/log/" + UniqueName("kelv-sweep");
      if (mkdir(logdir_.c_str(), 0755) != 0) logdir_.clear();
    }
    name_ = logdir_.empty() ? program_ : logdir_.substr(9) + "/" + program_;
  }
  ~Sweep() {
    if (!logdir_.empty()) RemoveTree(logdir_);
  }

  // Fresh state for one run: a log of exactly 1 MiB, no files from before,
  // and a pid file naming this (live) test process, whose executable has
  // another name: start-up reads its link and takes the file over.
  void Reset() {
    RemoveTree(dir_ / "data");
    WriteFileOrDie(dir_ / "run/" + program_ + ".pid", std::to_string(getpid()));
    if (logdir_.empty()) return;
    RemoveTree(logdir_ + "/" + program_ + "_err.1");
    const std::string log = logdir_ + "/" + program_ + "_err";
    WriteFileOrDie(log, "");
    ASSERT_EQ(truncate(log.c_str(), 1048576), 0);
  }

  // The scenario, in a child. Returns 0 when every invariant held, else the
  // number of the first one broken.
  int Run(bool heap_refuses) const {
    const int fds_before = CountOpenFds();
    const unsigned heap_before = total_allocate;
    setenv("VORNDIR", dir_.path().c_str(), 1);
    unsetenv("TARLENDIR");
    __sc_debug_where = logdir_.empty() ? SC_WHERE_SCREEN : SC_WHERE_BOTH;

    const int init = sc_sys_init(name_.c_str(), SC_APP_DEVICE);
    if (init != 0 && init != -1) return 1;
    __sc_debug_level = SC_LOG_ERROR;
    __sc_debug_where = logdir_.empty() ? SC_WHERE_SCREEN : SC_WHERE_BOTH;
    SC_LOG(SC_LOG_ERROR, "sweep line one\n");
    SC_LOG(SC_LOG_ERROR, "sweep line two\n");  // the log is due: it rotates here

    const std::string file = dir_ / "data/a/b/f", copy = dir_ / "data/c/g";
    if (const int rc = sc_file_write(file.c_str(), "hello", 5); rc != 0 && rc != -1) return 2;
    if (const int rc = sc_file_append(file.c_str(), " world", 6); rc != 0 && rc != -1) return 3;
    for (unsigned required : {0u, 3u}) {
      char *buf = reinterpret_cast<char *>(1);
      unsigned len = 99;
      const int rc = sc_file_read_bytes(file.c_str(), &buf, &len, required);
      if (rc == 0) {
        if (buf == nullptr || len == 0 || buf[len - 1] != '\0') return 4;
        __sc_kfree(buf, len);
      } else if (rc != -1 || buf != nullptr || len != 0) {
        return 5;
      }
    }
    const int copied = sc_file_copy(file.c_str(), copy.c_str());
    if (copied != 0 && copied != 1) return 6;
    struct stat src_st, copy_st;
    if (copied == 1 && (::stat(file.c_str(), &src_st) != 0 || ::stat(copy.c_str(), &copy_st) != 0 ||
                        copy_st.st_size != src_st.st_size + 1))
      return 7;
    (void)sc_file_rename(copy.c_str(), (copy + "2").c_str());
    (void)sc_file_remove((copy + "2").c_str());

    char value[1024];
    if (const int rc = kelv::sys::internal::getCfgFileVal(cfg_.c_str(), "global.pidDir", value,
                                                          sizeof value);
        rc != 0 && rc != -1)
      return 8;

    if (sc_sz_t *sz = sc_szconstruct("sweep")) {
      std::vector<std::pair<void *, unsigned>> held;
      for (unsigned n : {0u, 100u, 8192u, 9000u}) {
        void *p = sc_szalloc(sz, n);
        if (p != nullptr) {
          memset(p, 0xab, n);
          held.emplace_back(p, n);
        }
      }
      for (auto &h : held) sc_szfree(sz, h.first, h.second);
      sc_szdestruct(sz);
    }
    if (sc_elist_t *list = sc_elist_construct("sweep")) {
      sc_elist_link_t a = {}, b = {};
      sc_elist_push_back(list, &a);
      sc_elist_push_front(list, &b);
      if (sc_elist_get_size(list) != 2 || sc_elist_pop_front(list) != &b) return 9;
      sc_elist_remove(list, &a);
      sc_elist_destruct(list);
    }
    if (sc_kmutex_t *m = sc_kmutex_construct("sweep", 1, 0)) {
      if (sc_kmutex_lock(m) != 0 || sc_kmutex_unlock(m) != 0) return 10;
      sc_kmutex_destruct(m);
    }
    if (char *s = sc_strdup("sweep")) __sc_kfree(s, 6);
    unsigned page_size = 0;
    if (void *page = sc_kmalloc_sz(&page_size)) sc_kfree_sz(page, page_size);
    sc_sleep(0, 1000);

    kelv::sys::internal::sc_close_debug_file();
    if (CountOpenFds() != fds_before) return 11;
    if (!heap_refuses && total_allocate != heap_before) return 12;
    return 0;
  }

 private:
  ScratchDir dir_;
  std::string program_, name_, cfg_, logdir_;
};

class FaultSweep : public testing::TestWithParam<unsigned> {};

TEST_P(FaultSweep, EveryFailedCallIsSurvivedAndLeavesNothingBehind) {
  const Op op = static_cast<Op>(GetParam());
  Sweep sweep;  // without root the error log is left out
  // How many calls of op the scenario makes when nothing fails.
  ASSERT_NO_FATAL_FAILURE(sweep.Reset());
  const ChildResult counted = RunInChild([&] {
    fault::arm(op, ~0u, 0, 0);
    const int rc = sweep.Run(false);
    printf("%u\n", fault::calls(op));
    return rc;
  });
  ASSERT_TRUE(counted.ok()) << "the scenario fails with nothing refused: " << counted.exit_code
                            << "\n" << counted.err;
  const unsigned calls = static_cast<unsigned>(std::stoul(counted.out));
  if (calls == 0) GTEST_SKIP() << kOpNames[GetParam()] << " is never called by the scenario";

  for (unsigned k = 0; k < calls; ++k) {
    ASSERT_NO_FATAL_FAILURE(sweep.Reset());
    const ChildResult r = RunInChild([&] {
      fault::arm(op, k, 1, ErrnoFor(op));
      return sweep.Run(op == Op::kMalloc);
    });
    EXPECT_TRUE(r.exited && r.exit_code == 0)
        << kOpNames[GetParam()] << " call " << k + 1 << " of " << calls << " failing: "
        << (r.exited ? "invariant " + std::to_string(r.exit_code) + " broken"
                     : "killed by signal " + std::to_string(r.signal))
        << "\nstderr:\n" << r.err << "stdout:\n" << r.out;
  }
  RecordProperty("calls", static_cast<int>(calls));
}

INSTANTIATE_TEST_SUITE_P(Ops, FaultSweep, testing::Range(0u, kOps),
                         [](const testing::TestParamInfo<unsigned> &info) {
                           return std::string(kOpNames[info.param]);
                         });

// --- real failures ------------------------------------------------------------

// Runs body in a child with the library's lines on standard error, bare.
ChildResult Logged(const std::function<int()> &body) {
  return RunInChild([&] {
    __sc_debug_where = SC_WHERE_SCREEN;
    __sc_debug_detail = SC_DETAIL_NONE;
    return body();
  });
}

TEST(RealFailures, ShortReadFromAFileSmallerThanItsSize) {
  // sysfs attributes report a size of a page and hold far fewer bytes.
  const char *candidates[] = {"/sys/kernel/mm/transparent_hugepage/enabled",
                              "/sys/kernel/profiling", "/sys/power/state"};
  std::string path;
  for (const char *c : candidates) {
    struct stat st;
    if (stat(c, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 4096 && access(c, R_OK) == 0) {
      path = c;
      break;
    }
  }
  if (path.empty()) GTEST_SKIP() << "no sysfs attribute to read here";
  const ChildResult r = Logged([&] {
    const int fds = CountOpenFds();
    const unsigned heap = total_allocate;
    char *buf = reinterpret_cast<char *>(1);
    unsigned len = 7;
    const int rc = sc_file_read(path.c_str(), &buf, &len);
    return rc == -1 && buf == nullptr && len == 0 && CountOpenFds() == fds && total_allocate == heap
               ? 0
               : 1;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code;
  unsigned fd = 0, size = 0;
  int got = -2;
  char address[32] = {};
  ASSERT_EQ(sscanf(r.err.c_str(), "sc_file_read_bytes: read(%u, %31[0-9a-f], %u) returned %d", &fd,
                   address, &size, &got),
            4)
      << r.err;
  EXPECT_EQ(size, 4097u);
  EXPECT_GT(got, 0);
  EXPECT_LT(got, 4096);
}

TEST(RealFailures, FullDiskLosesNoWriteSilently) {
  if (!PathExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  const ChildResult r = Logged([] {
    const int fds = CountOpenFds();
    const int rc = sc_file_append("/dev/full", "data", 4);
    return rc == -1 && CountOpenFds() == fds ? 0 : 1;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code;
  EXPECT_EQ(r.err, "sc_file_write: fclose(/dev/full) failed\n");
}

// A child that runs as nobody (root only), so that permissions count.
ChildResult AsNobody(const std::function<int()> &body) {
  return Logged([&] {
    const passwd *pw = getpwnam("nobody");
    if (pw == nullptr || setgroups(0, nullptr) != 0 || setgid(pw->pw_gid) != 0 ||
        setuid(pw->pw_uid) != 0)
      return 100;
    return body();
  });
}

TEST(RealFailures, UnreadableConfigurationFailsStartUp) {
  if (!IsRoot() || getpwnam("nobody") == nullptr) GTEST_SKIP() << "needs root and 'nobody'";
  ScratchDir dir;
  chmod(dir.path().c_str(), 0755);
  mkdir((dir / "device").c_str(), 0755);
  mkdir((dir / "device/cfg").c_str(), 0755);
  const std::string cfg = dir / "device/cfg/vorn.cfg";
  WriteFileOrDie(cfg, "global.user nobody\nglobal.pidDir /tmp\n");
  chmod(cfg.c_str(), 0600);
  const std::string name = UniqueName("unreadable");
  const ChildResult r = AsNobody([&] {
    setenv("VORNDIR", dir.path().c_str(), 1);
    __sc_debug_level = SC_LOG_DEBUG;
    return sc_sys_init(name.c_str(), SC_APP_DEVICE) == -1 ? 0 : 1;
  });
  ASSERT_NE(r.exit_code, 100) << "cannot become nobody";
  EXPECT_TRUE(r.ok()) << r.exit_code;
  const std::string denied = "fopen(" + cfg + ") failed [errno=13, " + strerror(EACCES) + "]\n";
  // The account switch fails and is ignored; the pid directory lookup fails
  // start-up (its line at debug level, after the heap's own debug line).
  const std::string first = denied + "getCfgFileVal('" + cfg + "', 'global.user') failed\n" +
                            "sc_sys_init: set uid/gid failed - ignoring...\n";
  const std::string last = denied + "sc_sys_init: getCfgFileVal() failed\n";
  EXPECT_EQ(r.err.substr(0, first.size()), first) << r.err;
  ASSERT_GE(r.err.size(), last.size());
  EXPECT_EQ(r.err.substr(r.err.size() - last.size()), last) << r.err;
  EXPECT_FALSE(PathExists("/tmp/" + name + ".pid"));
}

TEST(RealFailures, MissingPidDirectoryFailsStartUp) {
  ScratchDir dir;
  mkdir((dir / "device").c_str(), 0755);
  mkdir((dir / "device/cfg").c_str(), 0755);
  const std::string missing = dir / "no/such/dir";
  WriteFileOrDie(dir / "device/cfg/vorn.cfg", "global.pidDir " + missing + "\n");
  const std::string name = UniqueName("nopiddir");
  const ChildResult r = Logged([&] {
    setenv("VORNDIR", dir.path().c_str(), 1);
    const int fds = CountOpenFds();
    return sc_sys_init(name.c_str(), SC_APP_DEVICE) == -1 && CountOpenFds() == fds ? 0 : 1;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code << r.err;
  EXPECT_NE(r.err.find("sc_sys_init: error writing pid to file '" + missing + "/" + name +
                       ".pid'\n"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(PathExists(dir / "no"));
}

}  // namespace
