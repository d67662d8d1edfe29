// Failure paths across the modules. The sweep runs a program-like scenario
// with each call of a seam operation failing in turn: no crash, only results
// the contract allows, no descriptor left open, and the tracked heap balanced
// unless the heap itself refused.
#include <pwd.h>

#include <gtest/gtest.h>

#include "test_support.h"

namespace fault = kelv::sys::fault;
using namespace kelv::test;
using S = std::string;

constexpr const char *kOpNames[] = {
    "malloc", "open", "fopen", "fdopen", "fstat", "stat", "lseek", "read", "fwrite", "fclose",
    "rename", "mkdir", "readlink", "setgroups", "setgid", "setuid", "select", "mutex_init",
    "mutex_destroy"};
static_assert(std::size(kOpNames) == unsigned(fault::Op::kCount), "a name for every operation");

// The scenario's exit status is the line of the check that failed.
#define CHECK(ok) if (!(ok)) return __LINE__
static bool Either(int rc) { return rc == 0 || rc == -1; }

// A base directory with a device configuration naming this user and a pid
// directory; as root, also a log directory of its own under /var/log.
struct Sweep {
  ScratchDir dir;
  S program = UniqueName("sweep"), name = program, log, logdir = "/var/log/" + UniqueName("kelv");
  Sweep() {
    for (const char *d : {"device", "device/cfg", "run"}) mkdir((dir / d).c_str(), 0755);
    const passwd *pw = getpwuid(getuid());
    WriteFileOrDie(dir / "device/cfg/vorn.cfg", "global.user " + S(pw ? pw->pw_name : "") +
                                                    "\nglobal.pidDir " + dir / "run" + "\n");
    if (!IsRoot() || mkdir(logdir.c_str(), 0755) != 0) logdir.clear();
    if (!logdir.empty()) name = logdir.substr(9) + "/" + program, log = "/var/log/" + name + "_err";
  }
  ~Sweep() { RemoveTree(logdir); }
  // No data; a pid file naming this live process, whose executable has
  // another name, so start-up takes it over; a log due for rotation.
  void Reset() const {
    RemoveTree(dir / "data");
    WriteFileOrDie(dir / "run/" + program + ".pid", std::to_string(getpid()));
    if (!log.empty()) WriteFileOrDie(log, S(1 << 20, '.'));
  }
  int Run(bool heap_refuses) const {
    const int fds = CountOpenFds(), where = log.empty() ? SC_WHERE_SCREEN : SC_WHERE_BOTH;
    const unsigned heap = total_allocate;
    setenv("VORNDIR", dir.path().c_str(), 1);
    __sc_debug_where = where;
    CHECK(Either(sc_sys_init(name.c_str(), SC_APP_DEVICE)));
    __sc_debug_level = SC_LOG_ERROR;
    __sc_debug_where = where;
    SC_LOG(SC_LOG_ERROR, "rotates the log\n");
    SC_LOG(SC_LOG_ERROR, "reopens it\n");
    const S file = dir / "data/a/f", copy = dir / "data/c/g";
    CHECK(Either(sc_file_write(file.c_str(), "hello", 5)));
    CHECK(Either(sc_file_append(file.c_str(), " world", 6)));
    char *buf = reinterpret_cast<char *>(1);
    unsigned len = 99;
    const int rc = sc_file_read_bytes(file.c_str(), &buf, &len, 3);
    CHECK(rc == 0 ? len == 4 && buf[3] == '\0' : rc == -1 && buf == nullptr && len == 0);
    if (rc == 0) __sc_kfree(buf, len);
    struct stat from, to;
    const int copied = sc_file_copy(file.c_str(), copy.c_str());
    CHECK(copied == 0 || (copied == 1 && stat(file.c_str(), &from) == 0 &&
                          stat(copy.c_str(), &to) == 0 && to.st_size == from.st_size + 1));
    CHECK(Either(sc_file_rename(copy.c_str(), file.c_str())) && Either(sc_file_remove(file.c_str())));
    if (sc_sz_t *sz = sc_szconstruct("sweep")) {
      for (const unsigned n : {0u, 100u, 8192u, 9000u})
        if (void *p = sc_szalloc(sz, n)) sc_szfree(sz, memset(p, 0xab, n), n);
      sc_szdestruct(sz);
    }
    if (sc_elist_t *list = sc_elist_construct("sweep")) sc_elist_destruct(list);
    sc_kmutex_t *m = sc_kmutex_construct("sweep", 1, 0);
    CHECK(m == nullptr || (sc_kmutex_lock(m) == 0 && sc_kmutex_unlock(m) == 0));
    sc_kmutex_destruct(m);
    if (char *s = sc_strdup("sweep")) __sc_kfree(s, 6);
    unsigned size = 0;
    if (void *page = sc_kmalloc_sz(&size)) sc_kfree_sz(page, size);
    sc_sleep(0, 1000);
    kelv::sys::internal::sc_close_debug_file();
    CHECK(CountOpenFds() == fds && (heap_refuses || total_allocate == heap));
    return 0;
  }
};

class FaultSweep : public testing::TestWithParam<unsigned> {};

// Call k of the operation fails, for k = 0, 1, ... until a run makes no more
// calls than k; the child prints its count of calls last.
TEST_P(FaultSweep, EveryFailedCallIsSurvivedAndLeavesNothingBehind) {
  const auto op = static_cast<fault::Op>(GetParam());
  const int err = op == fault::Op::kSelect ? EINTR : op == fault::Op::kMalloc ? ENOMEM : EIO;
  const Sweep sweep;  // without root the error log is left out
  for (unsigned k = 0;; ++k) {
    sweep.Reset();
    const ChildResult r = RunInChild([&] {
      fault::arm(op, k, 1, err);
      const int rc = sweep.Run(op == fault::Op::kMalloc);
      printf("\n%u\n", fault::calls(op));
      return rc;
    });
    ASSERT_TRUE(r.ok()) << "call " << k + 1 << " failing: " << (r.exited ? "check at line " : "signal ")
                        << (r.exited ? r.exit_code : r.signal) << "\n" << r.err << r.out;
    if (std::stoul(r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1)) <= k) break;
  }
}

INSTANTIATE_TEST_SUITE_P(Ops, FaultSweep, testing::Range(0u, unsigned{std::size(kOpNames)}),
                         [](const auto &info) { return S(kOpNames[info.param]); });

// A sysfs attribute claims a page and holds far fewer bytes: the one read
// comes back short, and the reader fails with its line.
TEST(RealFailures, ShortReadFromASysfsAttribute) {
  const char *path = "/sys/kernel/mm/transparent_hugepage/enabled";
  unsigned size = 0;
  int got = -2;
  if (sc_file_exists(path, &size) != 1 || size != 4096) GTEST_SKIP() << "no " << path;
  const ChildResult r = RunLogged([&] {
    char *buf = nullptr;
    return sc_file_read(path, &buf, &size) == -1 && buf == nullptr ? 0 : 1;
  });
  EXPECT_TRUE(r.ok());
  ASSERT_EQ(sscanf(r.err.c_str(), "sc_file_read_bytes: read(%*u, %*[0-9a-f], %u) returned %d",
                   &size, &got), 2) << r.err;
  EXPECT_TRUE(size == 4097 && got > 0 && got < 4096) << size << " " << got;
}

// As nobody, start-up cannot read the configuration: the account switch is
// skipped with its line, and the pid directory lookup fails start-up.
TEST(RealFailures, UnreadableConfigurationFailsStartUp) {
  const passwd *nobody = getpwnam("nobody");
  if (!IsRoot() || nobody == nullptr) GTEST_SKIP() << "needs root and 'nobody'";
  ScratchDir dir;
  const S cfg = dir / "device/cfg/vorn.cfg";
  chmod(dir.path().c_str(), 0755);
  for (const char *d : {"device", "device/cfg"}) mkdir((dir / d).c_str(), 0755);
  WriteFileOrDie(cfg, "global.user nobody\nglobal.pidDir /tmp\n");
  const ChildResult r = RunLogged([&] {
    setenv("VORNDIR", dir.path().c_str(), 1);
    if (chmod(cfg.c_str(), 0600) || setgroups(0, nullptr) || setgid(nobody->pw_gid) || setuid(nobody->pw_uid))
      return 2;
    return sc_sys_init(UniqueName("unreadable").c_str(), SC_APP_DEVICE) + 1;
  }, SC_LOG_DEBUG);
  const S denied = "fopen(" + cfg + ") failed [errno=13, " + strerror(EACCES) + "]\n";
  const S first = denied + "getCfgFileVal('" + cfg + "', 'global.user') failed\n" +
                  "sc_sys_init: set uid/gid failed - ignoring...\n";
  const S last = denied + "sc_sys_init: getCfgFileVal() failed\n";
  EXPECT_TRUE(r.ok() && r.err.rfind(first, 0) == 0 && r.err.size() >= last.size() &&
              r.err.substr(r.err.size() - last.size()) == last) << r.exit_code << "\n" << r.err;
}
