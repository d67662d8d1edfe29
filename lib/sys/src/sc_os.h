// The system-call seam of libkelv-sys, shared by every module. Never installed.
//
// - kelv::sys::os: the system calls and heap requests the modules make. In the
//   test twin (KELV_SYS_TESTING) each can be made to fail on demand through
//   kelv::sys::fault; in the shipped library the checks compile away.
// - UniqueFd / UniqueFile / ErrnoGuard: RAII owners, so every path closes what
//   it opened and the library's own calls never change the caller's errno.
#ifndef KELV_SYS_SRC_SC_OS_H
#define KELV_SYS_SRC_SC_OS_H

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kelv/sys.h"

namespace kelv::sys {

// The library builds with _FILE_OFFSET_BITS=64: offsets, sizes and struct
// stat are 64-bit on every word size, so i386 handles files of 2 GiB and more.
static_assert(sizeof(off_t) == 8, "64-bit file offsets");

namespace fault {

// Operations that can be made to fail.
enum class Op : unsigned {
  kMalloc,       // the system heap under the tracked heap and the mutex record
  kOpen,
  kFopen,
  kFdopen,
  kFstat,
  kStat,
  kLseek,
  kRead,
  kFwrite,
  kFclose,
  kRename,
  kMkdir,
  kReadlink,
  kFlock,
  kSetgroups,    // initgroups and setgroups
  kSetgid,
  kSetuid,
  kSelect,
  kMutexInit,
  kMutexDestroy,
  kCount
};

#if KELV_SYS_TESTING
// Bit (1 << op) set while a plan is armed for op.
extern unsigned armed_mask;
// Consumes one call of an armed op; true when this call must fail (errno set).
bool fire(Op op);
// After `skip` calls of `op` pass, the next `count` calls fail with `err`.
void arm(Op op, unsigned skip, unsigned count, int err);
// Number of calls of `op` seen since it was armed.
unsigned calls(Op op);
void disarm_all();

inline bool should_fail(Op op) {
  return SC_UNLIKELY((armed_mask >> static_cast<unsigned>(op)) & 1u) && fire(op);
}
#else
constexpr bool should_fail(Op) { return false; }
#endif

}  // namespace fault

namespace os {

using fault::Op;

inline void *malloc(size_t n) {
  if (fault::should_fail(Op::kMalloc)) return nullptr;
  return ::malloc(n);
}
inline int open(const char *path, int flags, mode_t mode = 0) {
  if (fault::should_fail(Op::kOpen)) return -1;
  return ::open(path, flags, mode);
}
inline FILE *fopen(const char *path, const char *mode) {
  if (fault::should_fail(Op::kFopen)) return nullptr;
  return ::fopen(path, mode);
}
inline FILE *fdopen(int fd, const char *mode) {
  if (fault::should_fail(Op::kFdopen)) return nullptr;
  return ::fdopen(fd, mode);
}
inline int fstat(int fd, struct stat *st) {
  if (fault::should_fail(Op::kFstat)) return -1;
  return ::fstat(fd, st);
}
inline int stat(const char *path, struct stat *st) {
  if (fault::should_fail(Op::kStat)) return -1;
  return ::stat(path, st);
}
inline off_t lseek(int fd, off_t off, int whence) {
  if (fault::should_fail(Op::kLseek)) return -1;
  return ::lseek(fd, off, whence);
}
inline ssize_t read(int fd, void *buf, size_t n) {
  if (fault::should_fail(Op::kRead)) return -1;
  return ::read(fd, buf, n);
}
inline size_t fwrite(const void *buf, size_t size, size_t n, FILE *f) {
  if (fault::should_fail(Op::kFwrite)) return 0;
  return ::fwrite(buf, size, n, f);
}
inline int rename(const char *from, const char *to) {
  if (fault::should_fail(Op::kRename)) return -1;
  return ::rename(from, to);
}
inline int mkdir(const char *path, mode_t mode) {
  if (fault::should_fail(Op::kMkdir)) return -1;
  return ::mkdir(path, mode);
}
inline ssize_t readlink(const char *path, char *buf, size_t n) {
  if (fault::should_fail(Op::kReadlink)) return -1;
  return ::readlink(path, buf, n);
}
inline int flock(int fd, int operation) {
  if (fault::should_fail(Op::kFlock)) return -1;
  return ::flock(fd, operation);
}
// The pthread calls return an error number instead of setting errno.
inline int pthread_mutex_init(pthread_mutex_t *m, const pthread_mutexattr_t *attr) {
  if (fault::should_fail(Op::kMutexInit)) return errno;
  return ::pthread_mutex_init(m, attr);
}
inline int pthread_mutex_destroy(pthread_mutex_t *m) {
  if (fault::should_fail(Op::kMutexDestroy)) return errno;
  return ::pthread_mutex_destroy(m);
}

// Process calls of start-up and sleep.
inline int select(int n, fd_set *r, fd_set *w, fd_set *e, struct timeval *timeout) {
  if (fault::should_fail(Op::kSelect)) return -1;
  return ::select(n, r, w, e, timeout);
}
inline int initgroups(const char *user, gid_t group) {
  if (fault::should_fail(Op::kSetgroups)) return -1;
  return ::initgroups(user, group);
}
inline int setgroups(size_t n, const gid_t *groups) {
  if (fault::should_fail(Op::kSetgroups)) return -1;
  return ::setgroups(n, groups);
}
inline int setgid(gid_t gid) {
  if (fault::should_fail(Op::kSetgid)) return -1;
  return ::setgid(gid);
}
inline int setuid(uid_t uid) {
  if (fault::should_fail(Op::kSetuid)) return -1;
  return ::setuid(uid);
}

}  // namespace os

// Owns a descriptor; closes it on every path unless released.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(const UniqueFd &) = delete;
  UniqueFd &operator=(const UniqueFd &) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// Owns a stream; closes it on every path. close() reports the result, for the
// paths where a failed close means lost data.
class UniqueFile {
 public:
  explicit UniqueFile(FILE *f = nullptr) : f_(f) {}
  UniqueFile(const UniqueFile &) = delete;
  UniqueFile &operator=(const UniqueFile &) = delete;
  ~UniqueFile() {
    if (f_ != nullptr) ::fclose(f_);
  }

  FILE *get() const { return f_; }
  explicit operator bool() const { return f_ != nullptr; }
  // Closes the stream and returns fclose's result (0 when already closed).
  int close() {
    if (f_ == nullptr) return 0;
    FILE *f = f_;
    f_ = nullptr;
    const bool failed = fault::should_fail(fault::Op::kFclose);
    const int rc = ::fclose(f);
    return failed ? -1 : rc;
  }

 private:
  FILE *f_;
};

// Keeps errno as it was when constructed; restores it on scope exit.
class ErrnoGuard {
 public:
  ErrnoGuard() : saved_(errno) {}
  ErrnoGuard(const ErrnoGuard &) = delete;
  ErrnoGuard &operator=(const ErrnoGuard &) = delete;
  ~ErrnoGuard() { errno = saved_; }
  int saved() const { return saved_; }

 private:
  int saved_;
};

// Whether two stat results describe the same file (device and inode).
inline bool same_file(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace kelv::sys

#endif  // KELV_SYS_SRC_SC_OS_H
