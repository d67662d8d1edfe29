#include "fuzz_common.h"

#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kelv/sys.h"

namespace kelv::fuzz {
namespace {

std::string *g_root = nullptr;
int g_saved_stderr = -1;  // the real standard error while muted
int g_null = -1;

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *ftw) {
  if (ftw->level > 0) remove(path);
  return 0;
}

void RemoveRoot() {
  if (g_root == nullptr) return;
  EmptyDir(*g_root);
  rmdir(g_root->c_str());
}

// The descriptors muting needs, opened once (before any leak baseline).
void OpenMuteFds() {
  if (g_null < 0) g_null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (g_saved_stderr < 0) g_saved_stderr = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 10);
}

}  // namespace

std::string Reader::cstr(size_t max) {
  std::string s;
  while (pos_ < size_ && s.size() < max) {
    const char c = static_cast<char>(data_[pos_++]);
    if (c == '\0') break;
    s.push_back(c);
  }
  return s;
}

std::string Reader::rest() {
  std::string s(reinterpret_cast<const char *>(data_ + pos_), size_ - pos_);
  pos_ = size_;
  return s;
}

const std::string &ScratchRoot() {
  if (g_root == nullptr) {
    // Memory-backed when possible: the walk makes and removes many directories.
    char shm[] = "/dev/shm/kelv-fuzz-XXXXXX";
    char tmp[] = "/tmp/kelv-fuzz-XXXXXX";
    const char *made = mkdtemp(shm);
    if (made == nullptr) made = mkdtemp(tmp);
    if (made == nullptr) Fail("mkdtemp");
    g_root = new std::string(made);
    atexit(RemoveRoot);
  }
  return *g_root;
}

void EmptyDir(const std::string &dir) {
  nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void WriteFile(const std::string &path, const std::string &data) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) Fail("open scratch file");
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n <= 0) Fail("write scratch file");
    done += static_cast<size_t>(n);
  }
  close(fd);
}

int LowestFreeFd() {
  OpenMuteFds();
  const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail("open /dev/null");
  close(fd);
  return fd;
}

void CheckNoFdLeak(int expected_lowest) {
  if (LowestFreeFd() != expected_lowest) Fail("a descriptor leaked");
}

MuteStderr::MuteStderr() : active_(false) {
  static const bool verbose = getenv("KELV_FUZZ_VERBOSE") != nullptr;
  if (verbose) return;
  OpenMuteFds();
  fflush(stderr);
  active_ = g_null >= 0 && g_saved_stderr >= 0 && dup2(g_null, STDERR_FILENO) >= 0;
}

MuteStderr::~MuteStderr() {
  if (!active_) return;
  fflush(stderr);
  dup2(g_saved_stderr, STDERR_FILENO);
}

void QuietDiagnostics() {
  __sc_debug_where = SC_WHERE_SCREEN;
  __sc_debug_detail = SC_DETAIL_NONE;
}

void Fail(const char *what) {
  if (g_saved_stderr >= 0) dup2(g_saved_stderr, STDERR_FILENO);
  fprintf(stderr, "fuzz check failed: %s\n", what);
  abort();
}

}  // namespace kelv::fuzz
