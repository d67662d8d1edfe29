// Shared pieces of the fuzz harnesses: a byte reader over the input, a
// scratch directory removed at exit, and a descriptor-leak check.
#ifndef KELV_SYS_FUZZ_COMMON_H
#define KELV_SYS_FUZZ_COMMON_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace kelv::fuzz {

// Reads the input front to back; past the end every read yields zeros.
class Reader {
 public:
  Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
  uint32_t u32() { return static_cast<uint32_t>(u16()) | (static_cast<uint32_t>(u16()) << 16); }
  // Bytes up to the next NUL (consumed, not returned) or the end, at most
  // `max` of them.
  std::string cstr(size_t max);
  // Whatever is left.
  std::string rest();

 private:
  const uint8_t *data_;
  size_t size_;
  size_t pos_ = 0;
};

// A fresh directory under /dev/shm (else /tmp), made on first use and removed
// at exit.
const std::string &ScratchRoot();
// Removes everything below `dir`, keeping `dir` itself.
void EmptyDir(const std::string &dir);
// Writes `data` to `path` (created or truncated); aborts on failure.
void WriteFile(const std::string &path, const std::string &data);

// The lowest descriptor number free right now. A harness records it once and
// compares after each input: a different number means a descriptor leaked.
int LowestFreeFd();
void CheckNoFdLeak(int expected_lowest);

// Diagnostics to standard error only, with the short prefix, so that no
// input ever reaches for the error log.
void QuietDiagnostics();

// While alive, standard error goes to /dev/null, so that the library's
// complaints do not flood the fuzzer's log (KELV_FUZZ_VERBOSE=1 keeps them,
// for replaying a crash).
class MuteStderr {
 public:
  MuteStderr();
  ~MuteStderr();
  MuteStderr(const MuteStderr &) = delete;
  MuteStderr &operator=(const MuteStderr &) = delete;

 private:
  bool active_;
};

// Aborts with a message (libFuzzer then records the input as a crash).
[[noreturn]] void Fail(const char *what);
#define FUZZ_CHECK(cond) \
  do {                   \
    if (!(cond)) ::kelv::fuzz::Fail(#cond); \
  } while (0)

}  // namespace kelv::fuzz

#endif  // KELV_SYS_FUZZ_COMMON_H
