// Unit-test assertions: progress lines, and typed equality checks that report
// on standard output and end the process at the first failure.
#include <stdarg.h>
#include <string.h>

#include "sc_internal.h"

namespace kelv::sys {
namespace {

constexpr size_t kVerdictColumn = 60;

// Completes the open progress line, prints the location line and the value
// line, and ends the process with status 1. `name` is the assertion as
// printed; `value_fmt` is its value line.
[[noreturn]] void fail(const char *name, const char *text, const char *file, int line,
                       const char *value_fmt, ...) SC_PRINTF(5, 6);

void fail(const char *name, const char *text, const char *file, int line, const char *value_fmt,
          ...) {
  fputs("failed\n", stdout);
  printf("  %s:%d:%s(%s) failed\n", internal::skip_dots_and_slashes(file), line, name,
         internal::printable(text));
  va_list values;
  va_start(values, value_fmt);
  vprintf(value_fmt, values);
  va_end(values);
  sc_sys_exit(1);
}

}  // namespace
}  // namespace kelv::sys

using kelv::sys::fail;

void sc_test_open(const char *name) {
  name = kelv::sys::internal::printable(name);
  fputs(name, stdout);
  for (size_t column = strlen(name); column < kelv::sys::kVerdictColumn; ++column) putchar('.');
  fflush(stdout);
}

void sc_test_close(void) { fputs("okay\n", stdout); }

void __sc_test_void_ptr(const char *text, void *expected, void *received, const char *file,
                        int line) {
  if (expected == received) return;
  fail("sc_test_void_ptr", text, file, line, "  expected: \"%p\", received: \"%p\"\n", expected,
       received);
}

void __sc_test_bool(const char *text, int expected, int received, const char *file, int line) {
  if (expected == received) return;
  fail("sc_test_bool", text, file, line, "  expected: \"%d\", received: \"%d\"\n", expected,
       received);
}

void __sc_test_double(const char *text, double expected, double received, const char *file,
                      int line) {
  if (expected == received) return;
  fail("sc_test_double", text, file, line, "  expected: \"%g\", received: \"%g\"\n", expected,
       received);
}

void __sc_test_float(const char *text, float expected, float received, const char *file,
                     int line) {
  if (expected == received) return;
  fail("sc_test_float", text, file, line, "  expected: \"%f\", received: \"%f\"\n",
       static_cast<double>(expected), static_cast<double>(received));
}

void __sc_test_longlong(const char *text, long long expected, long long received,
                        const char *file, int line) {
  if (expected == received) return;
  fail("sc_test_longlong", text, file, line, "  expected: \"%lld\", received: \"%lld\"\n",
       expected, received);
}

void __sc_test_ulonglong(const char *text, unsigned long long expected,
                         unsigned long long received, const char *file, int line) {
  if (expected == received) return;
  fail("sc_test_ulonglong", text, file, line, "  expected: \"%llu\", received: \"%llu\"\n",
       expected, received);
}

void __sc_test_long(const char *text, long expected, long received, const char *file, int line) {
  if (expected == received) return;
  fail("sc_test_long", text, file, line, "  expected: \"%ld\", received: \"%ld\"\n", expected,
       received);
}

void __sc_test_ulong(const char *text, unsigned long expected, unsigned long received,
                     const char *file, int line) {
  if (expected == received) return;
  fail("sc_test_ulong", text, file, line, "  expected: \"%lu\", received: \"%lu\"\n", expected,
       received);
}

void __sc_test_int(const char *text, int expected, int received, const char *file, int line) {
  if (expected == received) return;
  fail("sc_test_int", text, file, line, "  expected: \"%d\", received: \"%d\"\n", expected,
       received);
}

void __sc_test_uint(const char *text, unsigned int expected, unsigned int received,
                    const char *file, int line) {
  if (expected == received) return;
  fail("sc_test_uint", text, file, line, "  expected: \"%u\", received: \"%u\"\n", expected,
       received);
}

void __sc_test_uchar(const char *text, unsigned char expected, unsigned char received,
                     const char *file, int line) {
  if (expected == received) return;
  fail("sc_test_uchar", text, file, line, "  expected: \"%d\", received: \"%d\"\n", expected,
       received);
}

void __sc_test_char(const char *text, char expected, char received, const char *file, int line) {
  if (expected == received) return;
  fail("sc_test_char", text, file, line, "  expected: \"%c\", received: \"%c\"\n", expected,
       received);
}

void __sc_test_char_ptr(const char *text, const char *expected, const char *received,
                        const char *file, int line) {
  // NULL equals only NULL.
  const bool equal = expected == nullptr || received == nullptr ? expected == received
                                                                : strcmp(expected, received) == 0;
  if (equal) return;
  fail("sc_test_char_ptr", text, file, line, "  expected: \"%s\", received: \"%s\"\n",
       kelv::sys::internal::printable(expected), kelv::sys::internal::printable(received));
}
