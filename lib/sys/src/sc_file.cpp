// File helpers: existence, removal, renaming, whole-file reads into the
// tracked heap, writes and appends that make their directories, and copy.
#include <stdint.h>
#include <string.h>

#include "sc_os.h"
#include "sc_string_internal.h"

namespace kelv::sys {
namespace {

using internal::printable;

// The reader's counts and sizes are signed 32-bit: it serves reads below
// 2 GiB, from files of any size, and refuses the rest.
constexpr off_t kReadLimit = 0x80000000LL;

// Reads the first `required` bytes (0: all) of the open file `fd` into a
// fresh block of the tracked heap, NUL appended. Logs its one line on
// failure and returns -1; outputs are set only on success.
int read_open_file(int fd, unsigned required, char **buf, unsigned *len) {
  const off_t current = os::lseek(fd, 0, SEEK_CUR);
  if (current < 0) {
    SC_LOG(SC_LOG_ERROR, "sc_file_read_bytes: lseek(%d, 0, SEEK_CUR) failed\n", fd);
    return -1;
  }
  const off_t end = os::lseek(fd, 0, SEEK_END);
  if (end < 0) {
    SC_LOG(SC_LOG_ERROR, "sc_file_read_bytes: lseek(%d, 0, SEEK_END) failed\n", fd);
    return -1;
  }
  const off_t available = end - current;
  const off_t wanted = required != 0 ? off_t{required} : available;
  if (available <= 0) {
    SC_LOG(SC_LOG_ERROR, "sc_file_read_bytes: lseek (curr pos %d, end pos %d) failed\n",
           static_cast<int>(current), static_cast<int>(end));
    return -1;
  }
  if (wanted > available && available < kReadLimit) {
    SC_LOG(SC_LOG_ERROR, "sc_file_read_bytes: file size %d < required bytes %u\n",
           static_cast<int>(available), required);
    return -1;
  }
  if (wanted >= kReadLimit) {
    SC_LOG(SC_LOG_ERROR, "sc_file_read_bytes: file size %lld too large\n",
           static_cast<long long>(end));
    return -1;
  }
  // From here 0 <= current < end and 0 < count < 2 GiB: the figures a line
  // shows fit the 32-bit forms (the position is 0 after a fresh open).
  const unsigned count = static_cast<unsigned>(wanted);
  if (os::lseek(fd, current, SEEK_SET) != current) {
    SC_LOG(SC_LOG_ERROR, "sc_file_read_bytes: lseek(%d, %d, SEEK_SET) failed\n", fd,
           static_cast<int>(current));
    return -1;
  }
  const unsigned size = count + 1;
  char *block = static_cast<char *>(__sc_kmalloc(size));
  if (block == nullptr) {
    SC_LOG(SC_LOG_ERROR, "sc_file_read_bytes: sc_malloc(%d) failed\n", static_cast<int>(size));
    return -1;
  }
  const ssize_t got = os::read(fd, block, count);
  if (got != static_cast<ssize_t>(count)) {
    // The address shows as its low 32 bits on a 64-bit build.
    SC_LOG(SC_LOG_ERROR, "sc_file_read_bytes: read(%d, %x, %d) returned %d\n", fd,
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(block)), static_cast<int>(size),
           static_cast<int>(got));
    __sc_kfree(block, size);
    return -1;
  }
  block[count] = '\0';
  *buf = block;
  *len = size;
  return 0;
}

// The writer and the appender: `mode` is "w" or "a". Both report under the
// name sc_file_write.
int write_file(const char *path, const void *buf, unsigned len, const char *mode) {
  if (buf == nullptr && len != 0) {
    SC_LOG(SC_LOG_ERROR, "sc_file_write: NULL buffer of %u bytes for %s\n", len, printable(path));
    return -1;
  }
  if (sc_file_check_path(path) != 0) {
    SC_LOG(SC_LOG_ERROR, "sc_file_write: sc_file_check_path(%s) failed\n", printable(path));
    return -1;
  }
  const char *const stream_mode = mode[0] == 'w' ? "we" : "ae";  // close-on-exec
  UniqueFile stream(os::fopen(path, stream_mode));
  if (!stream) {
    SC_LOG(SC_LOG_ERROR, "sc_file_write: fopen(%s, '%s') failed\n", path, mode);
    return -1;
  }
  const size_t written = len == 0 ? 0 : os::fwrite(buf, 1, len, stream.get());
  if (written != len) {
    SC_LOG(SC_LOG_ERROR, "sc_file_write: fwrite(%s, 1, %u) returns %d\n", path, len,
           static_cast<int>(written));
    return -1;  // the stream closes on the way out; the short write is the report
  }
  // Buffered data meets the disk here: a failure now means it was lost.
  if (stream.close() != 0) {
    SC_LOG(SC_LOG_ERROR, "sc_file_write: fclose(%s) failed\n", path);
    return -1;
  }
  return 0;
}

}  // namespace
}  // namespace kelv::sys

using namespace kelv::sys;

int sc_file_exists(const char *path, unsigned int *size) {
  struct stat st;
  if (path == nullptr || os::stat(path, &st) != 0) return 0;
  if (size != nullptr) *size = static_cast<unsigned>(st.st_size);
  return 1;
}

int sc_file_remove(const char *path) {
  if (path != nullptr && remove(path) == 0) return 0;
  SC_LOG(SC_LOG_ERROR, "sc_file_remove: remove() %s failed\n", internal::printable(path));
  return -1;
}

int sc_file_rename(const char *old_path, const char *new_path) {
  if (old_path != nullptr && new_path != nullptr && os::rename(old_path, new_path) == 0) return 0;
  SC_LOG(SC_LOG_ERROR, "sc_file_rename: rename(%s, %s) failed\n", internal::printable(old_path),
         internal::printable(new_path));
  return -1;
}

int sc_file_read_bytes(const char *path, char **buf, unsigned int *len, unsigned int required) {
  if (buf != nullptr) *buf = nullptr;
  if (len != nullptr) *len = 0;
  if (buf == nullptr || len == nullptr) {
    SC_LOG(SC_LOG_ERROR, "sc_file_read_bytes: NULL output for %s\n", internal::printable(path));
    return -1;
  }
  const UniqueFd fd(path != nullptr ? os::open(path, O_RDONLY | O_CLOEXEC) : -1);
  if (!fd.valid()) {
    SC_LOG(SC_LOG_ERROR, "sc_file_read_bytes: open(%s, O_RDONLY) failed\n",
           internal::printable(path));
    return -1;
  }
  return read_open_file(fd.get(), required, buf, len);
}

int sc_file_read(const char *path, char **buf, unsigned int *len) {
  return sc_file_read_bytes(path, buf, len, 0);
}

int sc_file_check_path(const char *path) {
  if (path == nullptr) {
    SC_LOG(SC_LOG_ERROR, "sc_file_check_path: NULL path\n");
    return -1;
  }
  const size_t length = strlen(path);
  if (length > SC_FILE_PATH_MAX) {
    SC_LOG(SC_LOG_ERROR, "sc_file_check_path: path too long %s\n", path);
    return -1;
  }
  char prefix[SC_FILE_PATH_MAX + 1];
  memcpy(prefix, path, length + 1);
  // Each '/' after the first byte ends a directory to make; what follows the
  // last one is a file name.
  for (size_t p = 1; p < length; ++p) {
    if (prefix[p] != '/') continue;
    prefix[p] = '\0';
    if (os::mkdir(prefix, 0777) != 0 && errno != EEXIST) {
      SC_LOG(SC_LOG_ERROR, "sc_file_check_path: mkdir (%s, 777) failed\n", prefix);
      return -1;
    }
    prefix[p] = '/';
  }
  return 0;
}

int sc_file_write(const char *path, const void *buf, unsigned int len) {
  return write_file(path, buf, len, "w");
}

int sc_file_append(const char *path, const void *buf, unsigned int len) {
  return write_file(path, buf, len, "a");
}

int sc_file_copy(const char *src, const char *dst) {
  if (src == nullptr || dst == nullptr) return 0;
  if (sc_file_exists(src, nullptr) != 1) {
    SC_LOG(SC_LOG_ERROR, "sc_file_copy: source file does not exist\n");
    return 0;
  }
  if (sc_file_exists(dst, nullptr) == 1) {
    SC_LOG(SC_LOG_ERROR, "sc_file_copy: destination file already exists\n");
    return 0;
  }
  char *data = nullptr;
  unsigned length = 0;
  if (sc_file_read(src, &data, &length) != 0) {
    SC_LOG(SC_LOG_ERROR, "sc_file_copy: file read failed\n");
    return 0;
  }
  // The reader's NUL stays behind: the copy holds exactly the source's bytes.
  const int written = sc_file_write(dst, data, length - 1);
  __sc_kfree(data, length);
  return written == 0 ? 1 : 0;
}
