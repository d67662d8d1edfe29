// Unit-test assertions: progress lines, and typed equality checks that report
// on standard output and end the process at the first failure.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "kelv/sys.h"
#include "sc_string_internal.h"

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

template <class T>
bool same(T expected, T received) {
  return expected == received;
}
// NULL equals only NULL.
bool same(const char *expected, const char *received) {
  if (expected == nullptr || received == nullptr) return expected == received;
  return strcmp(expected, received) == 0;
}

// A value as its value line prints it.
template <class T>
T shown(T value) {
  return value;
}
double shown(float value) { return value; }
const char *shown(const char *s) { return internal::printable(s); }

}  // namespace
}  // namespace kelv::sys

void sc_test_open(const char *name) {
  name = kelv::sys::internal::printable(name);
  fputs(name, stdout);
  for (size_t column = strlen(name); column < kelv::sys::kVerdictColumn; ++column) putchar('.');
  fflush(stdout);
}

void sc_test_close(void) { fputs("okay\n", stdout); }

// The typed assertions: name, parameter type, printf conversion of the
// values. Each returns when the two values are the same, and otherwise
// reports them and ends the process.
#define KELV_SYS_ASSERTIONS(X)             \
  X(void_ptr, void *, "%p")                \
  X(bool, int, "%d")                       \
  X(double, double, "%g")                  \
  X(float, float, "%f")                    \
  X(longlong, long long, "%lld")           \
  X(ulonglong, unsigned long long, "%llu") \
  X(long, long, "%ld")                     \
  X(ulong, unsigned long, "%lu")           \
  X(int, int, "%d")                        \
  X(uint, unsigned int, "%u")              \
  X(uchar, unsigned char, "%d")            \
  X(char, char, "%c")                      \
  X(char_ptr, const char *, "%s")

#define KELV_SYS_DEFINE_ASSERTION(name, type, conversion)                                    \
  void __sc_test_##name(const char *text, type expected, type received, const char *file,    \
                        int line) {                                                           \
    if (kelv::sys::same(expected, received)) return;                                         \
    kelv::sys::fail("sc_test_" #name, text, file, line,                                      \
                    "  expected: \"" conversion "\", received: \"" conversion "\"\n",        \
                    kelv::sys::shown(expected), kelv::sys::shown(received));                 \
  }

KELV_SYS_ASSERTIONS(KELV_SYS_DEFINE_ASSERTION)
