/* A C test program on the shared library; given an argument, its test fails. */
#include <kelv/sys.h>

int main(int argc, char **argv) {
  int n = argc + 2;
  (void)argv;
  sc_test_open("a test");
  sc_test_int(3, n);
  sc_test_close();
  return 0;
}
