/* A test program in C on the shared library: the exit status is the verdict;
 * "fail" runs a failing test first. */
#include <kelv/sys.h>

int main(int argc, char *argv[]) {
  int n = 4;
  if (argc > 1 && argv[1][0] == 'f') {
    sc_test_open("a failing test");
    sc_test_int(3, n);
  }
  sc_test_open("a passing test");
  sc_test_int(4, n);
  sc_test_close();
  return 0;
}
