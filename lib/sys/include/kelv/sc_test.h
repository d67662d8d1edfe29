/* SPDX-License-Identifier: BSD-2-Clause */
/* Unit-test assertions for the product's test programs: progress lines on
 * standard output, and typed equality assertions that report and end the
 * process with status 1 at the first failure.
 *
 * Everything is written with printf to standard output; the diagnostic
 * settings do not apply. A passing assertion prints nothing. A failing one
 * completes the open progress line with "failed\n", prints
 *   "  <file>:<line>:<assertion>(<text>) failed\n"
 *   "  expected: \"<expected>\", received: \"<received>\"\n"
 * and ends the process through sc_sys_exit(1), so exit handlers run and
 * standard output is flushed even into a file or a pipe. <file> loses its
 * leading '.' and '/' characters (../../src/t shows as src/t); a NULL text
 * shows as "(null)". Nothing is counted and no state is kept. */
#ifndef KELV_SC_TEST_H
#define KELV_SC_TEST_H

#include "sc_defs.h"

SC_BEGIN_DECLS

/* Prints `name` ("(null)" for NULL) and dots up to column 60 (none for names
 * of 60 bytes or more), and flushes standard output. */
SC_API void sc_test_open(const char *name);
/* Prints "okay\n", whether or not a test is open. */
SC_API void sc_test_close(void);

/* The entry points behind the macros below. `text` is printed between the
 * parentheses of the location line; `file` and `line` locate the call.
 * Equality: same address (void_ptr); same integer value (bool: 1 and 2
 * differ; longlong and ulonglong compare all 64 bits); ordinary floating
 * comparison (NaN equals nothing, 0.0 equals -0.0; float compares in single
 * precision); strcmp for char_ptr, where NULL equals only NULL and prints as
 * "(null)". Value lines: %p, %d, %g, %f, %lld, %llu, %ld, %lu, %d, %u, %d
 * (uchar as 0-255), %c (the characters themselves), %s. */
SC_API void __sc_test_void_ptr(const char *text, void *expected, void *received, const char *file, int line);
SC_API void __sc_test_bool(const char *text, int expected, int received, const char *file, int line);
SC_API void __sc_test_double(const char *text, double expected, double received, const char *file, int line);
SC_API void __sc_test_float(const char *text, float expected, float received, const char *file, int line);
SC_API void __sc_test_longlong(const char *text, long long expected, long long received, const char *file, int line);
SC_API void __sc_test_ulonglong(const char *text, unsigned long long expected, unsigned long long received, const char *file, int line);
SC_API void __sc_test_long(const char *text, long expected, long received, const char *file, int line);
SC_API void __sc_test_ulong(const char *text, unsigned long expected, unsigned long received, const char *file, int line);
SC_API void __sc_test_int(const char *text, int expected, int received, const char *file, int line);
SC_API void __sc_test_uint(const char *text, unsigned int expected, unsigned int received, const char *file, int line);
SC_API void __sc_test_uchar(const char *text, unsigned char expected, unsigned char received, const char *file, int line);
SC_API void __sc_test_char(const char *text, char expected, char received, const char *file, int line);
SC_API void __sc_test_char_ptr(const char *text, const char *expected, const char *received, const char *file, int line);

/* The assertions test programs write: sc_test_<type>(expected, received).
 * The text of the report is the call's two arguments as written, so
 *   sc_test_int(3, n);   at line 42 of src/t.c
 * prints, when n is 4,
 *   "  src/t.c:42:sc_test_int(3, n) failed\n"
 *   "  expected: \"3\", received: \"4\"\n".
 * The text is taken before macro expansion (sc_test_void_ptr(NULL, p) shows
 * "NULL, p"). Each argument is evaluated exactly once. */
#define sc_test_void_ptr(expected, received) \
  __sc_test_void_ptr(#expected ", " #received, (expected), (received), __FILE__, __LINE__)
#define sc_test_bool(expected, received) \
  __sc_test_bool(#expected ", " #received, (expected), (received), __FILE__, __LINE__)
#define sc_test_double(expected, received) \
  __sc_test_double(#expected ", " #received, (expected), (received), __FILE__, __LINE__)
#define sc_test_float(expected, received) \
  __sc_test_float(#expected ", " #received, (expected), (received), __FILE__, __LINE__)
#define sc_test_longlong(expected, received) \
  __sc_test_longlong(#expected ", " #received, (expected), (received), __FILE__, __LINE__)
#define sc_test_ulonglong(expected, received) \
  __sc_test_ulonglong(#expected ", " #received, (expected), (received), __FILE__, __LINE__)
#define sc_test_long(expected, received) \
  __sc_test_long(#expected ", " #received, (expected), (received), __FILE__, __LINE__)
#define sc_test_ulong(expected, received) \
  __sc_test_ulong(#expected ", " #received, (expected), (received), __FILE__, __LINE__)
#define sc_test_int(expected, received) \
  __sc_test_int(#expected ", " #received, (expected), (received), __FILE__, __LINE__)
#define sc_test_uint(expected, received) \
  __sc_test_uint(#expected ", " #received, (expected), (received), __FILE__, __LINE__)
#define sc_test_uchar(expected, received) \
  __sc_test_uchar(#expected ", " #received, (expected), (received), __FILE__, __LINE__)
#define sc_test_char(expected, received) \
  __sc_test_char(#expected ", " #received, (expected), (received), __FILE__, __LINE__)
#define sc_test_char_ptr(expected, received) \
  __sc_test_char_ptr(#expected ", " #received, (expected), (received), __FILE__, __LINE__)

SC_END_DECLS

#endif /* KELV_SC_TEST_H */
