/* A C test program on the shared library; its test fails when the argument is "fail". */
#include <string.h>

#include <kelv/sys.h>

int main(int argc, char **argv) {
  int n = 3 + (argc > 1 && strcmp(argv[1], "fail") == 0);
  sc_test_open("a test");
  sc_test_int(3, n);
  sc_test_close();
  return 0;
}
