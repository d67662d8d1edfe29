// Configuration lookup with arbitrary file contents and keys, into a 128- or
// 1024-byte value buffer of exactly that size on the heap. The result is
// compared with a small model of the line format; on failure the value buffer
// must be untouched, and no descriptor may stay open.
#include <stdlib.h>
#include <string.h>

#include <string>

#include "fuzz_common.h"
#include "sc_debug_internal.h"
#include "sc_os.h"
#include "sc_string_internal.h"
#include "sc_sys_internal.h"
#include "sc_szalloc_internal.h"

namespace {

using kelv::fuzz::Reader;

constexpr unsigned char kSentinel = 0xa5;
constexpr size_t kLinePiece = 1023;  // what one fgets into 1024 bytes takes
constexpr size_t kWorkMax = 511;     // longest name or value with defined behaviour

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

enum class Outcome { kFound, kFailed, kUndefined };

// The lookup as the file format describes it.
Outcome Model(const std::string &file, const std::string &key, size_t size, std::string *value) {
  size_t at = 0;
  while (at < file.size()) {
    size_t len = 0;
    while (at + len < file.size() && len < kLinePiece) {
      if (file[at + len++] == '\n') break;
    }
    const std::string piece_bytes = file.substr(at, len);
    at += len;
    const char *p = piece_bytes.c_str();  // a NUL inside ends the piece
    while (*p != '\0' && IsSpace(*p)) ++p;
    if (*p == '\0' || *p == '#') continue;
    const char *name = p;
    while (*p != '\0' && !IsSpace(*p)) ++p;
    if (*p == '\0') return Outcome::kFailed;
    const std::string n(name, p);
    if (n.size() > kWorkMax) return Outcome::kUndefined;
    if (n != key) continue;
    while (*p != '\0' && IsSpace(*p)) ++p;
    if (*p == '\0') return Outcome::kFailed;
    const char *v = p;
    while (*p != '\0' && !IsSpace(*p)) ++p;
    if (*p == '\0') return Outcome::kFailed;
    *value = std::string(v, p);
    if (value->size() > kWorkMax) return Outcome::kUndefined;
    return value->size() < size ? Outcome::kFound : Outcome::kFailed;
  }
  return Outcome::kFailed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string path = kelv::fuzz::ScratchRoot() + "/lookup.cfg";
  static const int lowest_fd = kelv::fuzz::LowestFreeFd();

  Reader in(data, size);
  const uint8_t mode = in.u8();
  const unsigned buf_size = (mode & 1) != 0 ? 1024 : 128;
  std::string key;
  switch ((mode >> 1) & 3) {
    case 0: key = "global.user"; break;
    case 1: key = "global.pidDir"; break;
    default: key = in.cstr(700); break;
  }
  const std::string file = in.rest();
  kelv::fuzz::WriteFile(path, file);

  unsigned char *value = static_cast<unsigned char *>(malloc(buf_size));
  memset(value, kSentinel, buf_size);
  int rc;
  {
    kelv::fuzz::MuteStderr mute;
    rc = kelv::sys::internal::getCfgFileVal(path.c_str(), key.c_str(),
                                            reinterpret_cast<char *>(value), buf_size);
  }
  kelv::fuzz::CheckNoFdLeak(lowest_fd);

  std::string expected;
  const Outcome outcome = Model(file, key, buf_size, &expected);
  if (rc == 0) {
    const size_t len = strnlen(reinterpret_cast<char *>(value), buf_size);
    FUZZ_CHECK(len < buf_size && len > 0);
    for (size_t i = len + 1; i < buf_size; ++i) FUZZ_CHECK(value[i] == kSentinel);
    if (outcome != Outcome::kUndefined) {
      FUZZ_CHECK(outcome == Outcome::kFound);
      FUZZ_CHECK(expected == reinterpret_cast<char *>(value));
    }
  } else {
    FUZZ_CHECK(rc == -1);
    for (size_t i = 0; i < buf_size; ++i) FUZZ_CHECK(value[i] == kSentinel);
    FUZZ_CHECK(outcome != Outcome::kFound);
  }
  free(value);
  return 0;
}
