/* Expands every public macro of the library in the language mode this file
 * is compiled in (the same text serves C99 to C++20). Run, it allocates and
 * frees, checks passing assertions, and logs nothing. */
#include <errno.h>
#include <stddef.h>

#include <kelv/sys.h>

int kelv_hc_macros(void);

static void kelv_hc_assertions(void) {
  static const char text[] = "same";
  unsigned char uc = 200;
  sc_test_void_ptr(NULL, NULL);
  sc_test_bool(1, 1);
  sc_test_double(0.5, 0.5);
  sc_test_float(0.25f, 0.25f);
  sc_test_longlong(-1LL, -1LL);
  sc_test_ulonglong(1ULL << 40, 1ULL << 40);
  sc_test_long(-2L, -2L);
  sc_test_ulong(2UL, 2UL);
  sc_test_int(3, 3);
  sc_test_uint(3u, 3u);
  sc_test_uchar(uc, uc);
  sc_test_char('a', 'a');
  sc_test_char_ptr(text, "same");
}

int kelv_hc_macros(void) {
  const int level = __sc_debug_level;
  int failures = 0;
  char *block;
  char *zeroed;
  sc_sz_t *sz;
  void *chunk;

  __sc_debug_level = SC_LOG_NONE;
  SC_LOG(SC_LOG_ERROR, "not shown %d\n", 1);
  SC_LOG(SC_LOG_DEBUG, "not shown\n");
  errno = ENOENT;
  SC_LOG_ERRNO(SC_LOG_ERROR, "not shown %s", "either");
  if (level > 100)
    SC_LOG(SC_LOG_FATAL, "unbraced if\n");
  else
    SC_LOG(SC_LOG_WARN, "and else\n");
  __sc_debug_level = level;

  block = (char *)sc_kmalloc(16);
  zeroed = (char *)sc_kcalloc(2, 8);
  failures += block == NULL || zeroed == NULL || zeroed[15] != 0;
  sc_kfree(block, 16);
  sc_kfree(zeroed, 16);

  sz = sc_szconstruct("header modes");
  chunk = sz != NULL ? sc_szalloc(sz, 24) : NULL;
  failures += chunk == NULL;
  sc_szfree(sz, chunk, 24);
  sc_szdestruct(sz);

  failures += (sc_kctype[(unsigned char)'7'] & SC_KCT_DIGIT) == 0;
  failures += sw_version.major != SC_VERSION_MAJOR || sw_version.minor != SC_VERSION_MINOR;
  kelv_hc_assertions();
  return failures;
}
