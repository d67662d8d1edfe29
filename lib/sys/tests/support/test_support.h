// Test helpers: a forked child with captured output, scratch directories,
// small file utilities and fault-injection guards.
#ifndef KELV_SYS_TESTS_TEST_SUPPORT_H
#define KELV_SYS_TESTS_TEST_SUPPORT_H

#include <functional>
#include <string>

#include "sc_debug_internal.h"
#include "sc_os.h"
#include "sc_string_internal.h"
#include "sc_sys_internal.h"
#include "sc_szalloc_internal.h"

namespace kelv::test {

// How a child process ended, and what it wrote.
struct ChildResult {
  bool exited = false;  // ended through exit()/_exit()
  int exit_code = -1;   // valid when exited
  int signal = 0;       // terminating signal, when not exited
  std::string out;      // everything written to standard output
  std::string err;      // everything written to standard error

  bool ok() const { return exited && exit_code == 0; }
};

// Runs `body` in a forked child whose standard output and error go to files,
// then ends the child with exit(<body's result>), so exit handlers run and
// streams are flushed. Standard input is /dev/null. The child is killed after
// `timeout_s` seconds.
ChildResult RunInChild(const std::function<int()> &body, unsigned timeout_s = 60);

// RunInChild with diagnostics going bare (screen only, no prefix) to standard
// error at `level`.
ChildResult RunLogged(const std::function<int()> &body, int level = SC_LOG_ERROR);

// `body` returns 0 when its results are as expected. Run by RunLogged at level
// 2 it must log exactly `lines`; at level 1 the results are the same and
// nothing is logged.
void ExpectReported(const std::function<int()> &body, const std::string &lines);

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string &parent = "");
  ~ScratchDir();
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;

  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Whole-file helpers for tests; they abort the test on failure.
std::string ReadFileOrDie(const std::string &path);
void WriteFileOrDie(const std::string &path, const std::string &data);
bool PathExists(const std::string &path);
// Removes a path and everything below it; missing is fine.
void RemoveTree(const std::string &path);

// Number of open descriptors of this process (entries of /proc/self/fd).
int CountOpenFds();

// A name unique to this process and call, for pid files and logs.
std::string UniqueName(const std::string &stem);

// Arms the library's fault seam for the guard's lifetime.
class FaultGuard {
 public:
  FaultGuard(sys::fault::Op op, unsigned skip, unsigned count, int err);
  ~FaultGuard();
  FaultGuard(const FaultGuard &) = delete;
  FaultGuard &operator=(const FaultGuard &) = delete;
};

// True when the tests run as root (some behaviours need it).
bool IsRoot();

}  // namespace kelv::test

#endif  // KELV_SYS_TESTS_TEST_SUPPORT_H
