#include "test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

#include <gtest/gtest.h>

namespace kelv::test {
namespace {

std::string TempRoot() {
  const char *tmp = getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

std::string SlurpFd(int fd) {
  std::string data;
  char buf[4096];
  lseek(fd, 0, SEEK_SET);
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  return data;
}

int AnonymousFile() {
  char path[] = "/tmp/kelv-test-out-XXXXXX";
  const int fd = mkostemp(path, O_CLOEXEC);
  if (fd >= 0) unlink(path);
  return fd;
}

}  // namespace

ChildResult RunInChild(const std::function<int()> &body, unsigned timeout_s) {
  ChildResult result;
  const int out_fd = AnonymousFile();
  const int err_fd = AnonymousFile();
  if (out_fd < 0 || err_fd < 0) {
    ADD_FAILURE() << "cannot create capture files: " << strerror(errno);
    return result;
  }
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << strerror(errno);
    close(out_fd);
    close(err_fd);
    return result;
  }
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0) {
      dup2(null_fd, STDIN_FILENO);
      close(null_fd);
    }
    dup2(out_fd, STDOUT_FILENO);
    dup2(err_fd, STDERR_FILENO);
    close(out_fd);
    close(err_fd);
    alarm(timeout_s);
    exit(body());
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    result.exited = true;
    result.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  result.out = SlurpFd(out_fd);
  result.err = SlurpFd(err_fd);
  close(out_fd);
  close(err_fd);
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
  std::string tmpl = (parent.empty() ? TempRoot() : parent) + "/kelv-test-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp(" << tmpl << "): " << strerror(errno);
  }
  path_ = tmpl;
}

ScratchDir::~ScratchDir() { RemoveTree(path_); }

std::string ReadFileOrDie(const std::string &path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    ADD_FAILURE() << "open(" << path << "): " << strerror(errno);
    return {};
  }
  std::string data = SlurpFd(fd);
  close(fd);
  return data;
}

void WriteFileOrDie(const std::string &path, const std::string &data) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << "open(" << path << "): " << strerror(errno);
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    ASSERT_GT(n, 0) << "write(" << path << "): " << strerror(errno);
    done += static_cast<size_t>(n);
  }
  close(fd);
}

bool PathExists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void RemoveTree(const std::string &path) {
  struct stat st;
  if (path.empty() || lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    chmod(path.c_str(), 0700);
    if (DIR *dir = opendir(path.c_str())) {
      while (const dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") RemoveTree(path + "/" + name);
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

int CountOpenFds() {
  int count = 0;
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (const dirent *entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - 1;  // the directory stream's own descriptor
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
