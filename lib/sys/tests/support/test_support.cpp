#include "test_support.h"

#include <dirent.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>

#include <atomic>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

namespace kelv::test {
namespace {

// An unnamed file for a child's output, and what was written to it.
int CaptureFile() {
  char path[] = "/tmp/kelv-test-out-XXXXXX";
  const int fd = mkostemp(path, O_CLOEXEC);
  if (fd >= 0) unlink(path);
  return fd;
}

std::string Captured(int fd) {
  std::string data;
  char buf[4096];
  for (ssize_t n; (n = pread(fd, buf, sizeof buf, static_cast<off_t>(data.size()))) > 0;) data.append(buf, n);
  close(fd);
  return data;
}

}  // namespace

ChildResult RunInChild(const std::function<int()> &body, unsigned timeout_s) {
  ChildResult result;
  const int out_fd = CaptureFile(), err_fd = CaptureFile();
  fflush(nullptr);
  const pid_t pid = out_fd < 0 || err_fd < 0 ? -1 : fork();
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, STDIN_FILENO);
    dup2(out_fd, STDOUT_FILENO);
    dup2(err_fd, STDERR_FILENO);
    for (const int fd : {null_fd, out_fd, err_fd}) close(fd);
    alarm(timeout_s);
    exit(body());
  }
  int status = 0;
  if (pid < 0) ADD_FAILURE() << "cannot start a child: " << strerror(errno);
  while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exited = pid > 0 && WIFEXITED(status);
  result.exit_code = result.exited ? WEXITSTATUS(status) : -1;
  result.signal = pid > 0 && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  result.out = Captured(out_fd);
  result.err = Captured(err_fd);
  // Under an emulator, a child killed by a signal ends its standard error with
  // the emulator's own line ("qemu: uncaught target signal 6 ..."): not the child's.
  const size_t own = result.err.rfind("qemu: uncaught target signal ");
  if (result.signal != 0 && *KELV_TEST_EMULATOR != '\0' && own != std::string::npos &&
      (own == 0 || result.err[own - 1] == '\n')) {
    result.err.erase(own);
  }
  return result;
}

ChildResult RunLogged(const std::function<int()> &body, int level) {
  return RunInChild([&] {
    __sc_debug_where = SC_WHERE_SCREEN;
    __sc_debug_detail = SC_DETAIL_NONE;
    __sc_debug_level = level;
    return body();
  });
}

void ExpectReported(const std::function<int()> &body, const std::string &lines) {
  for (const int level : {SC_LOG_ERROR, SC_LOG_FATAL}) {
    const ChildResult r = RunLogged(body, level);
    EXPECT_TRUE(r.ok()) << "level " << level << ", exit " << r.exit_code << ", err: " << r.err;
    EXPECT_EQ(r.err, level == SC_LOG_ERROR ? lines : "") << "level " << level;
  }
}

ScratchDir::ScratchDir(const std::string &parent) {
  const char *tmp = getenv("TMPDIR");
  path_ = (!parent.empty() ? parent : tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kelv-test-XXXXXX";
  if (mkdtemp(path_.data()) == nullptr) ADD_FAILURE() << "mkdtemp(" << path_ << "): " << strerror(errno);
}

ScratchDir::~ScratchDir() { RemoveTree(path_); }

std::string ReadFileOrDie(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) ADD_FAILURE() << "cannot read " << path;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Created with mode 0644 less the umask, never writable by others (the
// coverage stage runs with umask 000): a configuration file others may write
// is not trusted.
void WriteFileOrDie(const std::string &path, const std::string &data) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const bool written = fd >= 0 && write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
  if (fd >= 0) close(fd);
  ASSERT_TRUE(written) << "cannot write " << path;
}

bool PathExists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void RemoveTree(const std::string &path) {
  struct stat st;
  if (path.empty() || lstat(path.c_str(), &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    unlink(path.c_str());
    return;
  }
  chmod(path.c_str(), 0700);  // a test may have taken the owner's rights away
  if (DIR *dir = opendir(path.c_str())) {
    while (const dirent *entry = readdir(dir)) {
      if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) RemoveTree(path + "/" + entry->d_name);
    }
    closedir(dir);
  }
  rmdir(path.c_str());
}

int CountOpenFds() {
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = -1;  // the directory stream's own descriptor
  while (const dirent *entry = readdir(dir)) count += entry->d_name[0] != '.';
  closedir(dir);
  return count;
}

std::string UniqueName(const std::string &stem) {
  static std::atomic<unsigned> serial{0};
  return stem + "-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
}

FaultGuard::FaultGuard(sys::fault::Op op, unsigned skip, unsigned count, int err) {
  sys::fault::arm(op, skip, count, err);
}

FaultGuard::~FaultGuard() { sys::fault::disarm_all(); }

bool IsRoot() { return geteuid() == 0; }

}  // namespace kelv::test
