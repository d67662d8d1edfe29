// Configuration lookup, arbitrary contents and keys, into a heap buffer of exactly 128 or 1024 bytes: a value
// is a word after the key, shorter than the buffer and 512; a failure leaves the buffer; no descriptor stays.
#include <sys/mman.h>

#include <vector>

#include "fuzz_common.h"
#include "sc_sys_internal.h"

static int LowestFreeFd() { const int fd = open("/dev/null", O_RDONLY); return close(fd), fd; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const int file = memfd_create("cfg", MFD_CLOEXEC), lowest = (Muted(LowestFreeFd), LowestFreeFd());
  static const std::string path = "/proc/self/fd/" + std::to_string(file);
  FuzzInput in{data, size};
  const uint8_t mode = in.Byte();
  const unsigned buf_size = (mode & 1) != 0 ? 1024 : 128;
  const std::string key = (mode & 6) == 0 ? "global.user" : (mode & 6) == 2 ? "global.pidDir" : in.Str(700);
  const std::string text(reinterpret_cast<const char *>(data) + in.pos, size - in.pos);
  FUZZ_CHECK(ftruncate(file, 0) == 0 && pwrite(file, text.data(), text.size(), 0) == ssize_t(text.size()));

  std::vector<char> buf(buf_size, '\xa5');
  char *const value = buf.data();
  const int rc =
      Muted([&] { return kelv::sys::internal::getCfgFileVal(path.c_str(), key.c_str(), value, buf_size); });
  FUZZ_CHECK(LowestFreeFd() == lowest);
  const size_t len = rc == 0 ? strnlen(value, buf_size) : 0, at = text.find(key);
  FUZZ_CHECK(rc == 0 || (rc == -1 && std::count(buf.begin(), buf.end(), '\xa5') == ssize_t(buf_size)));
  FUZZ_CHECK(rc != 0 || (len < std::min(buf_size, 512u) && strcspn(value, " \t\n\v\f\r") == len &&
                         at != std::string::npos && text.find(value, at + key.size()) != std::string::npos));
  return 0;
}
