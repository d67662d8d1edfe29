/* Unit-test assertions for the product's test programs: progress lines on
 * standard output, and typed equality assertions that report and end the
 * process with status 1 at the first failure. */
#ifndef KELV_SC_TEST_H
#define KELV_SC_TEST_H

#include "sc_defs.h"

SC_BEGIN_DECLS

SC_API void sc_test_open(const char *name);
SC_API void sc_test_close(void);

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

SC_END_DECLS

#endif /* KELV_SC_TEST_H */
