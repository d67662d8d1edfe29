/* A test program in C, written as the product writes its own: one progress
 * line per test, the library's assertions, and the exit status as the
 * verdict. With the argument "fail" it stops at a failing assertion. */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <kelv/sys.h>

static void test_values(void) {
  static int target;
  const char *word = "word";
  char copy[8];

  sc_test_open("values of every type");
  strcpy(copy, word);
  sc_test_void_ptr(&target, &target);
  sc_test_bool(1, 3 > 2);
  sc_test_double(0.0, -0.0);
  sc_test_float(0.25f, 1.0f / 4);
  sc_test_longlong(-1099511627776LL, -(1LL << 40));
  sc_test_ulonglong(18446744073709551615ULL, ~0ULL);
  sc_test_long(-5L, -10L / 2);
  sc_test_ulong(7UL, 7UL);
  sc_test_int(42, 6 * 7);
  sc_test_uint(4294967295U, 0U - 1U);
  sc_test_uchar(200, (unsigned char)(100 + 100));
  sc_test_char('w', copy[0]);
  sc_test_char_ptr(word, copy);
  sc_test_char_ptr(NULL, NULL);
  sc_test_close();
}

static void test_files(void) {
  char dir[] = "/tmp/kelv-c-program-XXXXXX";
  char path[64];
  char *data = NULL;
  unsigned int len = 0;
  unsigned int size = 0;

  sc_test_open("file round trip");
  sc_test_void_ptr(dir, mkdtemp(dir));
  snprintf(path, sizeof path, "%s/sub/file", dir);
  sc_test_int(0, sc_file_write(path, "hello", 5));
  sc_test_int(0, sc_file_append(path, " world", 6));
  sc_test_int(1, sc_file_exists(path, &size));
  sc_test_uint(11U, size);
  sc_test_int(0, sc_file_read(path, &data, &len));
  sc_test_uint(12U, len);
  sc_test_char_ptr("hello world", data);
  __sc_kfree(data, len);
  sc_test_int(0, sc_file_remove(path));
  snprintf(path, sizeof path, "%s/sub", dir);
  sc_test_int(0, sc_file_remove(path));
  sc_test_int(0, sc_file_remove(dir));
  sc_test_close();
}

static void test_mutex(void) {
  sc_kmutex_t *m = sc_kmutex_construct("c", 0xc, 0);

  sc_test_open("named mutex");
  sc_test_bool(1, m != NULL);
  sc_test_char_ptr("c_c", m->name);
  sc_test_int(0, sc_kmutex_lock(m));
  sc_test_int(1, sc_kmutex_is_locked(m));
  sc_test_int(0, sc_kmutex_unlock(m));
  sc_test_int(0, sc_kmutex_is_locked(m));
  sc_kmutex_destruct(m);
  sc_test_close();
}

static void test_failing(void) {
  int n = 4;

  sc_test_open("a failing test");
  sc_test_int(3, n);
  sc_test_close();
}

int main(int argc, char **argv) {
  __sc_debug_where = SC_WHERE_SCREEN;
  if (argc > 1 && strcmp(argv[1], "fail") == 0) {
    test_failing();
    return 0; /* not reached */
  }
  test_values();
  test_files();
  test_mutex();
  return 0;
}
