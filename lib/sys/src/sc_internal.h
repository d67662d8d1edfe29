// What the modules of libkelv-sys share inside the library. Never installed.
//
// - kelv::sys::fault: the fault-injection seam. In the test build
//   (KELV_SYS_FAULT_INJECTION) every system call and heap request below can be
//   made to fail on demand; in the shipped library the checks compile away.
// - kelv::sys::os: the system calls the modules use, routed through the seam.
// - UniqueFd / UniqueFile: RAII owners, so every path closes what it opened.
// - kelv::sys::internal: the module-private functions that other modules (or
//   the tests) call.
#ifndef KELV_SYS_SRC_SC_INTERNAL_H
#define KELV_SYS_SRC_SC_INTERNAL_H

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
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
  kSetgroups,
  kSetgid,
  kSetuid,
  kSelect,
  kMutexInit,
  kMutexDestroy,
  kCount
};

#if KELV_SYS_FAULT_INJECTION
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

namespace internal {

// The source-file rule shared by the diagnostics prefix and the test
// assertions: every leading '.' and '/' is skipped.
inline const char *skip_dots_and_slashes(const char *file) {
  if (file == nullptr) return "";
  while (*file == '.' || *file == '/') ++file;
  return file;
}

// strerror(err), or "Unknown error" when the system has no text.
const char *error_text(int err);

// Prints a possibly-null string as "(null)".
inline const char *printable(const char *s) { return s != nullptr ? s : "(null)"; }

// Diagnostics (sc_debug.cpp): the error log check and close.
int sc_check_debug_file();
void sc_close_debug_file();
FILE *debug_log_stream();  // the open error-log stream, or nullptr

// Process runtime (sc_sys.cpp).
int getCfgFileVal(const char *path, const char *key, char *value, unsigned int size);
int sc_set_uid_gid(const char *basedir);
void sc_cleanup_pidfile();
// Records the application type (start-up's step; tests set it directly).
void set_app_type(int type);

// Size-class pool (sc_szalloc.cpp). Every size is derived from the pointer
// size W: a page header of seven words, a chunk header of one word.
struct SzPage {
  sc_elist_link_t link;    // next and previous page of the class's list
  void **free;             // header word of the first free chunk, or null
  char *area;              // first chunk: the byte after this header
  uintptr_t area_size;     // page size less this header
  uintptr_t used;          // chunks handed out
  uintptr_t class_adjust;  // added to the class computed on free; always 0
};
constexpr unsigned kSzPageHeaderSize = sizeof(SzPage);
constexpr unsigned kSzChunkHeaderSize = sizeof(void *);

// Class of a request of `size` <= 8192 bytes: the smallest k whose chunk of
// (k + 1) * 16 bytes holds the request rounded up to a word, plus the header
// word. No division: (roundup(size, W) + W) <= 16 (k + 1) iff
// size + W - 1 < 16 (k + 1).
constexpr unsigned szpool_class_of(unsigned size) { return (size + kSzChunkHeaderSize - 1) >> 4; }

// Makes a page for chunks of `chunk_size` bytes, carved and chained in address
// order, on no list. 0, or -1 (logged when no page could be obtained).
int szpool_init(sc_sz_t *sz, SzPage **page, unsigned int chunk_size);
// The full and available page lists of class k.
sc_elist_t *szpool_full_list(sc_sz_t *sz, unsigned int k);
sc_elist_t *szpool_available_list(sc_sz_t *sz, unsigned int k);
// Length of a page's free-chunk chain (read through the debug aids).
unsigned int szpool_free_chunks(const sc_sz_t *sz, const SzPage *page);

}  // namespace internal
}  // namespace kelv::sys

#endif  // KELV_SYS_SRC_SC_INTERNAL_H
