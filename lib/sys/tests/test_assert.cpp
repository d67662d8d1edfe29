// Unit-test assertions seen from outside: standard output and the exit status.
#include <regex>

#include <gtest/gtest.h>

#include "test_support.h"

using S = std::string;
static const S kHere = S(kelv::sys::internal::skip_dots_and_slashes(__FILE__)) + ":";

// Each assertion passes silently on equal values, then fails: "failed" ends
// the progress line (flushed when it was opened), the location and both
// values follow, and the process exits with 1 through its exit handlers.
#define ROW(type, e, r, shown_e, shown_r)                                                    \
  {[] { sc_test_##type(e, e); sc_test_##type(e, r); }, kHere + std::to_string(__LINE__) +    \
   ":sc_test_" #type "(" #e ", " #r ") failed\n  expected: \"" shown_e "\", received: \"" \
   shown_r "\"\n"}
TEST(Assertions, EachTypePassesSilentlyThenFails) {
  const struct { void (*call)(); S lines; } rows[] = {
      ROW(void_ptr, nullptr, reinterpret_cast<void *>(16), "(nil)", "0x10"),
      ROW(bool, 1, 2, "1", "2"),
      ROW(double, 0.5, 1e100, "0.5", "1e+100"),
      ROW(float, 1.5f, 2.25f, "1.500000", "2.250000"),
      ROW(longlong, 0x100000005LL, 5LL, "4294967301", "5"),
      ROW(ulonglong, 18446744073709551615ULL, 4294967295ULL, "18446744073709551615", "4294967295"),
      ROW(long, -5L, 5L, "-5", "5"),
      ROW(ulong, 4294967295UL, 0UL, "4294967295", "0"),
      ROW(int, 3, 4, "3", "4"),
      ROW(uint, 0u, 4294967295u, "0", "4294967295"),
      ROW(uchar, 200, 201, "200", "201"),
      ROW(char, 'a', 'b', "a", "b"),
      ROW(char_ptr, S("same").c_str(), "other", "same", "other"),
      ROW(char_ptr, nullptr, "x", "(null)", "x"),
  };
  for (const auto &row : rows) {
    const auto r = kelv::test::RunInChild([&] {
      atexit([] { fputs("handler\n", stdout); });
      sc_test_open(nullptr);
      if (write(STDOUT_FILENO, "|", 1) == 1) row.call();
      return 0;
    });
    EXPECT_EQ(std::to_string(r.exit_code) + r.out,
              "1(null)" + S(54, '.') + "|failed\n  " + row.lines + "handler\n");
  }
}

TEST(Assertions, CProgram) {
  for (const char *arg : {static_cast<const char *>(nullptr), "fail"}) {
    const auto r = kelv::test::RunInChild([=] {  // through the test runner, if there is one
      const char *runner = KELV_TEST_EMULATOR;
      if (*runner != '\0') return execl(runner, runner, KELV_SYS_C_PROGRAM, arg, nullptr);
      return execl(KELV_SYS_C_PROGRAM, "c", arg, nullptr);
    });
    EXPECT_TRUE(std::regex_match(std::to_string(r.exit_code) + r.out, std::regex(!arg ?
        "0a test\\.{54}okay\n" : "1a test\\.{54}failed\n  lib/sys/tests/c/test_program\\.c:[0-9]+:"
        "sc_test_int\\(3, n\\) failed\n  expected: \"3\", received: \"4\"\n"))) << r.out;
  }
}
