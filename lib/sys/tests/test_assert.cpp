// Unit-test assertions seen from outside the process: standard output goes to
// a file, and the exit status is the verdict.
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <unistd.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using kelv::test::ChildResult;
using kelv::test::RunInChild;

// Runs `body` in a child that would exit 0 afterwards.
ChildResult InChild(const std::function<void()> &body) {
  return RunInChild([&] {
    body();
    return 0;
  });
}

std::string Pointer(const void *p) {
  char text[64];
  snprintf(text, sizeof text, "%p", p);
  return text;
}

struct Failure {
  std::function<void()> call;
  std::string location;  // "<name>(<text>)" after "src/t:42:"
  std::string values;    // the two values of the value line
};

TEST(Assertions, EachTypeReportsItsFailureAndExitsWithOne) {
  static int a, b;
  const std::vector<Failure> failures = {
      {[] { __sc_test_void_ptr("p", &a, &b, "../../src/t", 42); }, "sc_test_void_ptr(p)",
       Pointer(&a) + "\", received: \"" + Pointer(&b)},
      {[] { __sc_test_bool("t", 1, 2, "../../src/t", 42); }, "sc_test_bool(t)", "1\", received: \"2"},
      {[] { __sc_test_double("d", NAN, NAN, "../../src/t", 42); }, "sc_test_double(d)",
       "nan\", received: \"nan"},
      {[] { __sc_test_double("d", 0.5, 1e100, "../../src/t", 42); }, "sc_test_double(d)",
       "0.5\", received: \"1e+100"},
      {[] { __sc_test_float("f", 1.5f, 2.25f, "../../src/t", 42); }, "sc_test_float(f)",
       "1.500000\", received: \"2.250000"},
      {[] { __sc_test_longlong("ll", 0x100000005LL, 5, "../../src/t", 42); }, "sc_test_longlong(ll)",
       "4294967301\", received: \"5"},
      {[] { __sc_test_ulonglong("ull", ~0ULL, 0xffffffffULL, "../../src/t", 42); },
       "sc_test_ulonglong(ull)", "18446744073709551615\", received: \"4294967295"},
      {[] { __sc_test_long("l", LONG_MIN, -1, "../../src/t", 42); }, "sc_test_long(l)",
       std::to_string(LONG_MIN) + "\", received: \"-1"},
      {[] { __sc_test_ulong("ul", ULONG_MAX, 0, "../../src/t", 42); }, "sc_test_ulong(ul)",
       std::to_string(ULONG_MAX) + "\", received: \"0"},
      {[] { __sc_test_int("n", 3, 4, "../../src/t", 42); }, "sc_test_int(n)", "3\", received: \"4"},
      {[] { __sc_test_uint("u", 0, UINT_MAX, "../../src/t", 42); }, "sc_test_uint(u)",
       "0\", received: \"4294967295"},
      {[] { __sc_test_uchar("uc", 200, 201, "../../src/t", 42); }, "sc_test_uchar(uc)",
       "200\", received: \"201"},
      {[] { __sc_test_char("c", 'a', 'b', "../../src/t", 42); }, "sc_test_char(c)", "a\", received: \"b"},
      {[] {
         const char x[] = "same", y[] = "other";
         __sc_test_char_ptr("s", x, y, "../../src/t", 42);
       },
       "sc_test_char_ptr(s)", "same\", received: \"other"},
      {[] { __sc_test_char_ptr("s", nullptr, "x", "../../src/t", 42); }, "sc_test_char_ptr(s)",
       "(null)\", received: \"x"},
      {[] { __sc_test_char_ptr("s", "x", nullptr, "../../src/t", 42); }, "sc_test_char_ptr(s)",
       "x\", received: \"(null)"},
  };
  for (const Failure &f : failures) {
    const ChildResult r = InChild([&] {
      sc_test_open("case");
      f.call();
      sc_test_close();  // never reached
    });
    EXPECT_TRUE(r.exited && r.exit_code == 1) << f.location << ": exit " << r.exit_code;
    EXPECT_EQ(r.out, "case" + std::string(56, '.') + "failed\n  src/t:42:" + f.location +
                         " failed\n  expected: \"" + f.values + "\"\n");
    EXPECT_EQ(r.err, "");
  }
}

TEST(Assertions, EqualValuesPrintNothing) {
  const ChildResult r = InChild([] {
    static int a;
    const char x[] = "same", y[] = "same";
    __sc_test_void_ptr("", &a, &a, "f", 1);
    __sc_test_bool("", 2, 2, "f", 1);
    __sc_test_double("", 0.0, -0.0, "f", 1);
    __sc_test_float("", 0.1f, 0.1f, "f", 1);
    __sc_test_longlong("", -(1LL << 40), -1099511627776LL, "f", 1);
    __sc_test_ulonglong("", ~0ULL, ~0ULL, "f", 1);
    __sc_test_long("", LONG_MIN, LONG_MIN, "f", 1);
    __sc_test_ulong("", ULONG_MAX, ULONG_MAX, "f", 1);
    __sc_test_int("", -7, -7, "f", 1);
    __sc_test_uint("", UINT_MAX, UINT_MAX, "f", 1);
    __sc_test_uchar("", 255, 255, "f", 1);
    __sc_test_char("", 'z', 'z', "f", 1);
    __sc_test_char_ptr("", x, y, "f", 1);
    __sc_test_char_ptr("", nullptr, nullptr, "f", 1);
  });
  EXPECT_TRUE(r.ok()) << r.exit_code;
  EXPECT_EQ(r.out, "");
}

// Values that are equal once rounded to float pass the float assertion.
TEST(Assertions, FloatPassesValuesEqualAsFloats) {
  const ChildResult r = InChild([] { __sc_test_float("", 1.0f, static_cast<float>(1.0 + 1e-9), "f", 1); });
  EXPECT_TRUE(r.ok());
}

TEST(Assertions, FileNamesLoseLeadingDotsAndSlashes) {
  for (const auto &[given, shown] : std::vector<std::pair<std::string, std::string>>{
           {"./src/t", "src/t"}, {".hidden/t", "hidden/t"}, {"/abs/t", "abs/t"}, {"./../", ""}}) {
    const ChildResult r = InChild([&] { __sc_test_int(nullptr, 1, 2, given.c_str(), 7); });
    EXPECT_EQ(r.out, "failed\n  " + shown + ":7:sc_test_int((null)) failed\n"
                     "  expected: \"1\", received: \"2\"\n");
    EXPECT_EQ(r.exit_code, 1);
  }
}

void FailWithMacro(int n) { sc_test_int(3, n); }
constexpr int kMacroLine = __LINE__ - 1;

// The macros pass the arguments as written, the file and the line.
TEST(Assertions, MacrosSupplyTextFileAndLine) {
  const ChildResult r = InChild([] { FailWithMacro(4); });
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "failed\n  " + std::string(kelv::sys::internal::skip_dots_and_slashes(__FILE__)) +
                       ":" + std::to_string(kMacroLine) + ":sc_test_int(3, n) failed\n" +
                       "  expected: \"3\", received: \"4\"\n");
  const ChildResult text = InChild([] {
    const char *name = "x";
    sc_test_char_ptr(NULL, name);
  });
  EXPECT_NE(text.out.find(":sc_test_char_ptr(NULL, name) failed\n"), std::string::npos) << text.out;
}

TEST(Assertions, ExitHandlersRunAfterAFailure) {
  const ChildResult r = InChild([] {
    atexit([] { fputs("handler\n", stdout); });
    __sc_test_int("n", 1, 2, "t", 1);
  });
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "failed\n  t:1:sc_test_int(n) failed\n  expected: \"1\", received: \"2\"\nhandler\n");
}

TEST(ProgressLines, DotsUpToColumnSixty) {
  for (const size_t length : {0u, 1u, 59u, 60u, 70u}) {
    const std::string name(length, 'n');
    const ChildResult r = InChild([&] {
      sc_test_open(name.c_str());
      __sc_test_int("", 1, 1, "f", 1);
      sc_test_close();
    });
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.out, name + std::string(length < 60 ? 60 - length : 0, '.') + "okay\n") << length;
  }
}

TEST(ProgressLines, OpenFlushesAndCloseStandsAlone) {
  const ChildResult r = InChild([] {
    sc_test_open(nullptr);
    // Flushed already: what reaches the file now survives an _exit.
    sc_test_close();
    sc_test_close();
    fflush(stdout);
    sc_test_open("gone");
    _exit(0);
  });
  EXPECT_EQ(r.out, "(null)" + std::string(54, '.') + "okay\nokay\ngone" + std::string(56, '.'));
}

#ifdef KELV_SYS_C_PROGRAM
// The C test program, run as the product runs its test programs.
ChildResult RunCProgram(const char *argument) {
  return RunInChild([argument] {
    execl(KELV_SYS_C_PROGRAM, KELV_SYS_C_PROGRAM, argument, static_cast<char *>(nullptr));
    return 127;
  });
}

TEST(CProgram, PassesAndPrintsItsProgressLines) {
  const ChildResult r = RunCProgram(nullptr);
  EXPECT_TRUE(r.ok()) << r.out << r.err;
  EXPECT_TRUE(std::regex_match(r.out, std::regex("([a-z ]+\\.+okay\n)+"))) << r.out;
}

TEST(CProgram, StopsAtTheFirstFailure) {
  const ChildResult r = RunCProgram("fail");
  EXPECT_TRUE(r.exited && r.exit_code == 1) << r.exit_code;
  EXPECT_TRUE(std::regex_match(
      r.out, std::regex("a failing test\\.+failed\n"
                        "  lib/sys/tests/c/test_program\\.c:[0-9]+:sc_test_int\\(3, n\\) failed\n"
                        "  expected: \"3\", received: \"4\"\n")))
      << r.out;
}
#endif

}  // namespace
