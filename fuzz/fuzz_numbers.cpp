// Decimal renderings: sc_ulltostr and sc_lltostr write backwards from `end`;
// the text must parse back (strtoul/strtoll) to the value, match printf's
// rendering, and no byte outside the 10 (11 signed) before `end` may change.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz_common.h"
#include "kelv/sys.h"

namespace {

constexpr size_t kGuard = 16;
constexpr size_t kRoom = 11;  // "-2147483648"
constexpr char kFill = '\x5a';

struct Buffer {
  char bytes[kGuard + kRoom + kGuard];
  char *end() { return bytes + kGuard + kRoom; }
  Buffer() { memset(bytes, kFill, sizeof bytes); }
};

// The text in [first, end), checked for bounds and untouched surroundings.
void CheckRendering(Buffer &b, const char *first, size_t max_len, const char *expected) {
  const char *end = b.end();
  FUZZ_CHECK(first >= end - max_len && first < end);
  for (const char *p = b.bytes; p < first; ++p) FUZZ_CHECK(*p == kFill);
  for (const char *p = end; p < b.bytes + sizeof b.bytes; ++p) FUZZ_CHECK(*p == kFill);
  const size_t len = static_cast<size_t>(end - first);
  FUZZ_CHECK(len == strlen(expected) && memcmp(first, expected, len) == 0);
}

// Renders `value` with `render`, compares with printf's `format`, and parses
// the text back with `parse`.
template <typename T, typename Render, typename Parse>
void RoundTrip(T value, Render render, const char *format, size_t max_len, Parse parse) {
  Buffer b;
  const char *first = render(value, b.end());
  char text[32];
  snprintf(text, sizeof text, format, value);
  CheckRendering(b, first, max_len, text);
  const std::string copy(first, static_cast<size_t>(b.end() - first));
  errno = 0;
  FUZZ_CHECK(parse(copy.c_str()) == value && errno == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  kelv::fuzz::Reader in(data, size);
  const uint32_t raw = in.u32();
  RoundTrip(raw, sc_ulltostr, "%u", 10, [](const char *s) { return strtoul(s, nullptr, 10); });
  RoundTrip(static_cast<int>(raw), sc_lltostr, "%d", 11,
            [](const char *s) { return strtoll(s, nullptr, 10); });
  return 0;
}
