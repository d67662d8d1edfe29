// A program-like scenario with each seam call failing in turn: no crash, no result
// the contract forbids, no descriptor left (but the pid file's lock), the heap balanced unless it refused.
#include <pwd.h>

#include <gtest/gtest.h>

#include "test_support.h"

namespace fault = kelv::sys::fault;
using namespace kelv::test;
using S = std::string;

constexpr const char *kOps[] = {"malloc", "open", "fopen", "fdopen", "fstat", "stat", "lseek",
    "read", "fwrite", "fclose", "rename", "mkdir", "readlink", "flock", "setgroups", "setgid", "setuid",
    "select", "mutex_init", "mutex_destroy"};
static_assert(std::size(kOps) == unsigned(fault::Op::kCount), "a name for every operation");

// The scenario's exit status is the line of the check that failed; it prints
// the number of calls of the operation last.
#define CHECK(ok) if (!(ok)) return __LINE__
static bool Either(int rc) { return rc == 0 || rc == -1; }

// Start-up takes over the pid file of a live process of another name and (as
// root) rotates a log of its own. `name` must outlive the process (exit handlers).
static int Scenario(const S &dir, const S &name, const S &log, fault::Op op, unsigned k) {
  fault::arm(op, k, 1, op == fault::Op::kSelect ? EINTR : op == fault::Op::kMalloc ? ENOMEM : EIO);
  const int fds = CountOpenFds(), where = log.empty() ? SC_WHERE_SCREEN : SC_WHERE_BOTH;
  const unsigned heap = total_allocate;
  setenv("VORNDIR", dir.c_str(), 1);
  __sc_debug_where = where;
  CHECK(Either(sc_sys_init(name.c_str(), SC_APP_DEVICE)));
  __sc_debug_where = where;
  SC_LOG(SC_LOG_ERROR, "rotates the log\n");
  SC_LOG(SC_LOG_ERROR, "reopens it\n");
  const S file = dir + "/data/a/f", copy = dir + "/data/c/g";
  CHECK(Either(sc_file_write(file.c_str(), "hello", 5)) &&
        Either(sc_file_append(file.c_str(), " world", 6)));
  char *buf = reinterpret_cast<char *>(1);
  unsigned len = 99;
  const int rc = sc_file_read_bytes(file.c_str(), &buf, &len, 3);
  CHECK(rc == 0 ? len == 4 && buf[3] == '\0' : rc == -1 && buf == nullptr && len == 0);
  if (rc == 0) __sc_kfree(buf, len);
  const int copied = sc_file_copy(file.c_str(), copy.c_str());
  CHECK((copied == 0 || copied == 1) && Either(sc_file_rename(copy.c_str(), file.c_str())) &&
        Either(sc_file_remove(file.c_str())));
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
  const int pid_lock = kelv::sys::internal::held_pid_fd() >= 0 ? 1 : 0;  // held for the process's life
  CHECK(CountOpenFds() == fds + pid_lock && (op == fault::Op::kMalloc || total_allocate == heap));
  printf("\n%u\n", fault::calls(op));
  return 0;
}

class FaultSweep : public testing::TestWithParam<unsigned> {};

// Call k fails, for k = 0, 1, ... until a run makes no more calls than k. The
// process <unique>/sweep has a pid file sweep.pid, a log <unique>/sweep_err.
TEST_P(FaultSweep, EveryFailedCallIsSurvivedAndLeavesNothingBehind) {
  const auto op = static_cast<fault::Op>(GetParam());
  const ScratchDir dir;
  for (const char *d : {"device", "device/cfg", "run"}) mkdir((dir / d).c_str(), 0755);
  WriteFileOrDie(dir / "device/cfg/vorn.cfg", "global.user " + S(getpwuid(getuid())->pw_name) +
                                                  "\nglobal.pidDir " + dir / "run\n");
  const S unique = UniqueName("sweep"), name = unique + "/sweep", logdir = "/var/log/" + unique;
  const S log = IsRoot() && mkdir(logdir.c_str(), 0755) == 0 ? logdir + "/sweep_err" : "";
  for (unsigned k = 0;; ++k) {
    RemoveTree(dir / "data");
    WriteFileOrDie(dir / "run/sweep.pid", std::to_string(getpid()));
    if (!log.empty()) WriteFileOrDie(log, S(1 << 20, '.'));
    const ChildResult r = RunInChild([&] { return Scenario(dir.path(), name, log, op, k); });
    EXPECT_TRUE(r.ok()) << "call " << k + 1 << ": exit " << r.exit_code << ", signal " << r.signal
                        << "\n" << r.err << r.out;
    if (!r.ok() || std::stoul(r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1)) <= k) break;
  }
  RemoveTree(log.empty() ? "" : logdir);
}

INSTANTIATE_TEST_SUITE_P(Ops, FaultSweep, testing::Range(0u, unsigned{std::size(kOps)}),
                         [](const auto &info) { return S(kOps[info.param]); });
