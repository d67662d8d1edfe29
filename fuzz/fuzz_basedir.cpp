// Base directory resolution with an arbitrary type, VORNDIR, TARLENDIR, override and buffer size,
// into a buffer of exactly that size on the heap: a result fits it, a failure leaves it untouched.
#include <vector>

#include "fuzz_common.h"
#include "sc_sys_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in{data, size};
  const uint8_t sel = in.Byte();
  int type = sel % 8 < 7 ? sel % 8 : -1;
  for (int i = 0; i < 4 && (sel & 8) != 0; ++i) type = (i == 0 ? 0 : type) | in.Byte() << (8 * i);
  const uint8_t flags = in.Byte();
  const unsigned buf_size = (in.Byte() | in.Byte() << 8) % 1100u;
  std::string vorn = in.Str(1200), tarlen = in.Str(1200), over = in.Str(1200);

  static char env[2][1300];  // setenv would keep every value ever set
  unsetenv("VORNDIR"), unsetenv("TARLENDIR");
  if ((flags & 1) != 0) snprintf(env[0], sizeof env[0], "VORNDIR=%s", vorn.c_str()), putenv(env[0]);
  if ((flags & 2) != 0) snprintf(env[1], sizeof env[1], "TARLENDIR=%s", tarlen.c_str()), putenv(env[1]);
  sc_basedir_from_input = (flags & 4) != 0 ? over.data() : nullptr;
  kelv::sys::internal::set_app_type(type);
  std::vector<char> buf(std::max(buf_size, 1u), '\xa5');
  const int rc = Muted([&] { return sc_get_basedir(buf.data(), buf_size); });
  FUZZ_CHECK(rc == 0 ? memchr(buf.data(), '\0', buf_size) != nullptr
                     : rc == -1 && std::count(buf.begin(), buf.end(), '\xa5') == ssize_t(buf.size()));
  return 0;
}
