// Base-directory resolution with an arbitrary application type, VORNDIR,
// TARLENDIR, override and buffer size, compared with a model of the
// resolution rules. The buffer is exactly `size` bytes on the heap, so any
// overrun is caught; on failure it must be untouched.
#include <stdio.h>
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

// Sets (or, with nullptr, unsets) a variable through a buffer of our own that
// the environment points into: setenv would keep every value ever set.
void SetVariable(const char *name, const std::string *value) {
  static char vorn[1300], tarlen[1300];
  char *buf = strcmp(name, "VORNDIR") == 0 ? vorn : tarlen;
  unsetenv(name);
  if (value == nullptr) return;
  snprintf(buf, sizeof vorn, "%s=%s", name, value->c_str());
  putenv(buf);
}

bool Resolve(int type, const char *override, const char *vorn, const char *tarlen, size_t size,
             std::string *out) {
  std::string root, sub;
  if (type == 0) return false;
  if (type == 4 || type == 5) {
    root = "/tmp";
  } else if (override != nullptr) {
    root = override;
  } else if (vorn != nullptr) {
    root = vorn;
    if (type == 2) sub = "mgt-svr";
    else if (type == 3) sub = "device";
    else if (type != 1) return false;
  } else if (tarlen != nullptr) {
    root = tarlen;
  } else {
    return false;
  }
  const size_t need = root.size() + 1 + (sub.empty() ? 0 : sub.size() + 1);
  if (need > size) return false;
  if (!sub.empty()) {
    *out = !root.empty() && root.back() == '/' ? root + sub : root + "/" + sub;
  } else {
    *out = root;
    if (!out->empty() && out->back() == '/') out->pop_back();
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Reader in(data, size);
  static const int kTypes[] = {0, 1, 2, 3, 4, 5, 6, -1};
  const uint8_t sel = in.u8();
  int type = kTypes[sel % 8];
  if ((sel & 8) != 0) type = static_cast<int>(in.u32());
  const uint8_t flags = in.u8();
  const unsigned buf_size = in.u16() % 1100u;
  const std::string vorn = in.cstr(1200), tarlen = in.cstr(1200), over = in.cstr(1200);

  kelv::sys::internal::set_app_type(type);
  SetVariable("VORNDIR", (flags & 1) != 0 ? &vorn : nullptr);
  SetVariable("TARLENDIR", (flags & 2) != 0 ? &tarlen : nullptr);
  std::string over_copy = over;
  if ((flags & 4) != 0) sc_basedir_from_input = over_copy.data();

  const size_t alloc = buf_size == 0 ? 1 : buf_size;
  unsigned char *buf = static_cast<unsigned char *>(malloc(alloc));
  memset(buf, kSentinel, alloc);
  int rc;
  {
    kelv::fuzz::MuteStderr mute;
    rc = sc_get_basedir(reinterpret_cast<char *>(buf), buf_size);
  }
  std::string expected;
  const bool ok = Resolve(type, (flags & 4) != 0 ? over.c_str() : nullptr,
                          (flags & 1) != 0 ? vorn.c_str() : nullptr,
                          (flags & 2) != 0 ? tarlen.c_str() : nullptr, buf_size, &expected);
  if (rc == 0) {
    FUZZ_CHECK(ok);
    FUZZ_CHECK(strnlen(reinterpret_cast<char *>(buf), buf_size) < buf_size);
    FUZZ_CHECK(expected == reinterpret_cast<char *>(buf));
  } else {
    FUZZ_CHECK(rc == -1 && !ok);
    for (size_t i = 0; i < alloc; ++i) FUZZ_CHECK(buf[i] == kSentinel);
  }
  free(buf);
  sc_basedir_from_input = nullptr;
  return 0;
}
