// Diagnostics: level gating, prefix forms, destinations, errno handling.
#include <errno.h>
#include <string.h>

#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using kelv::test::ChildResult;
using kelv::test::RunInChild;

// Screen only, chosen detail and level; everything else at its default.
void ScreenOnly(int detail, int level = SC_LOG_DEBUG) {
  __sc_debug_where = SC_WHERE_SCREEN;
  __sc_debug_detail = detail;
  __sc_debug_level = level;
}

int g_evaluations = 0;
int CountedArgument() { return ++g_evaluations; }

TEST(DebugDefaults, InitialSettings) {
  ChildResult r = RunInChild([] {
    return __sc_debug_level == 2 && __sc_debug_detail == 1 && __sc_debug_where == 1 &&
                   __sc_print_val == 0 && __sc_debug_assert == 0
               ? 0
               : 1;
  });
  EXPECT_TRUE(r.ok());
}

TEST(DebugLevel, SuppressedLineEvaluatesNothing) {
  ChildResult r = RunInChild([] {
    ScreenOnly(SC_DETAIL_NONE, SC_LOG_ERROR);
    SC_LOG(SC_LOG_DEBUG, "debug %d\n", CountedArgument());
    SC_LOG_ERRNO(SC_LOG_WARN, "warn %d\n", CountedArgument());
    if (g_evaluations != 0) return 1;
    SC_LOG(SC_LOG_ERROR, "error %d\n", CountedArgument());
    SC_LOG(SC_LOG_FATAL, "fatal %d\n", CountedArgument());
    __sc_debug_level = SC_LOG_NONE;  // silences even fatal lines
    SC_LOG(SC_LOG_FATAL, "fatal %d\n", CountedArgument());
    return g_evaluations == 2 ? 0 : 2;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code;
  EXPECT_EQ(r.err, "error 1\nfatal 2\n");
}

TEST(DebugLevel, MacroIsOneStatementAndStoresResult) {
  ChildResult r = RunInChild([] {
    ScreenOnly(SC_DETAIL_NONE);
    __sc_print_val = 99;
    int levels_evaluated = 0;
    if (__sc_debug_level > 0)
      SC_LOG((++levels_evaluated, SC_LOG_ERROR), "then\n");
    else
      SC_LOG(SC_LOG_ERROR, "else\n");
    return __sc_print_val == 0 && levels_evaluated == 1 ? 0 : 1;
  });
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.err, "then\n");
}

TEST(DebugPrefix, EveryDetailForm) {
  ChildResult r = RunInChild([] {
    for (int detail : {0, 1, 2, 3, 7}) {
      ScreenOnly(detail);
      __sc_print_prefix(SC_LOG_ERROR, "../../src/a.c", 42);
      __sc_print_msg("m%d\n", detail);
    }
    return 0;
  });
  const std::regex expected(
      "m0\n"
      "\\[\\d\\d:\\d\\d:\\d\\d\\] Error: m1\n"
      "\\[\\d\\d:\\d\\d:\\d\\d\\] Error: src/a.c: m2\n"
      "\\[\\d\\d:\\d\\d:\\d\\d\\] Error: src/a.c:42: m3\n"
      "\\[\\d\\d:\\d\\d:\\d\\d\\] <Unknown Detail>: src/a.c:42: m7\n");
  EXPECT_TRUE(std::regex_match(r.err, expected)) << r.err;
}

TEST(DebugPrefix, LevelNamesAndOutOfRangeLevels) {
  ChildResult r = RunInChild([] {
    ScreenOnly(SC_DETAIL_TYPE);
    for (int level : {0, 1, 2, 3, 4, 5, -1, 1 << 30}) {
      __sc_print_prefix(level, "f", 1);
      __sc_print_msg("\n");
    }
    return 0;
  });
  const std::regex expected(
      "\\[..:..:..\\] : \n\\[..:..:..\\] Fatal: \n\\[..:..:..\\] Error: \n"
      "\\[..:..:..\\] Warn: \n\\[..:..:..\\] Debug: \n\\[..:..:..\\] Unknown: \n"
      "\\[..:..:..\\] Unknown: \n\\[..:..:..\\] Unknown: \n");
  EXPECT_TRUE(std::regex_match(r.err, expected)) << r.err;
}

TEST(DebugPrefix, LeadingDotsAndSlashesAreSkipped) {
  ChildResult r = RunInChild([] {
    ScreenOnly(SC_DETAIL_FILE);
    for (const char *file : {"./src/a", "../../src/a", ".hidden/t", "./../", "", "/abs/x"}) {
      __sc_print_prefix(SC_LOG_ERROR, file, 1);
      __sc_print_msg("|\n");
    }
    __sc_print_prefix(SC_LOG_ERROR, nullptr, 1);
    __sc_print_msg("|\n");
    return 0;
  });
  const std::regex expected(
      "\\[..:..:..\\] Error: src/a: \\|\n\\[..:..:..\\] Error: src/a: \\|\n"
      "\\[..:..:..\\] Error: hidden/t: \\|\n\\[..:..:..\\] Error: : \\|\n"
      "\\[..:..:..\\] Error: : \\|\n\\[..:..:..\\] Error: abs/x: \\|\n"
      "\\[..:..:..\\] Error: : \\|\n");
  EXPECT_TRUE(std::regex_match(r.err, expected)) << r.err;
}

TEST(DebugWhere, NoDestinationWritesNothing) {
  ChildResult r = RunInChild([] {
    __sc_debug_where = 0;
    SC_LOG(SC_LOG_ERROR, "lost\n");
    __sc_print_pmsg("lost too\n");
    return 0;
  });
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

TEST(DebugWhere, ScreenDestinationNeverChecksTheLog) {
  ChildResult r = RunInChild([] {
    ScreenOnly(SC_DETAIL_NONE);
    // With the file bit clear the log check (and its base-directory lookup,
    // which would complain before start-up) never runs.
    SC_LOG(SC_LOG_ERROR, "screen\n");
    return kelv::sys::internal::debug_log_stream() == nullptr ? 0 : 1;
  });
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.err, "screen\n");
}

TEST(DebugErrno, PmsgAppendsNumberAndText) {
  ChildResult r = RunInChild([] {
    ScreenOnly(SC_DETAIL_NONE);
    errno = ENOENT;
    __sc_print_pmsg("open %s failed", "x");
    if (errno != ENOENT) return 1;
    errno = 123456;  // unknown numbers have a text too
    __sc_print_pmsg("y");
    return 0;
  });
  EXPECT_TRUE(r.ok());
  const std::string known = std::string("open x failed\t[2, ") + strerror(ENOENT) + "]\n";
  EXPECT_EQ(r.err.rfind(known + "y\t[123456, ", 0), 0u) << r.err;
}

TEST(DebugErrno, LogErrnoReportsTheCallersErrno) {
  ChildResult r = RunInChild([] {
    // Both destinations: the prefix runs the log check, which may touch the
    // file system (and errno) before the message reads errno.
    __sc_debug_where = SC_WHERE_BOTH;
    __sc_debug_detail = SC_DETAIL_NONE;
    errno = EACCES;
    SC_LOG_ERRNO(SC_LOG_ERROR, "op failed");
    return errno == EACCES ? 0 : 1;
  });
  EXPECT_TRUE(r.ok());
  EXPECT_NE(r.err.find(std::string("op failed\t[13, ") + strerror(EACCES) + "]\n"),
            std::string::npos)
      << r.err;
}

// A screen line's prefix waits for its message and goes out with it in one
// write; what reaches standard error is the same, whatever the path.
TEST(DebugScreen, PrefixGoesOutWithItsMessageAndIsNeverLost) {
  const std::string long_message(5000, 'm');  // beyond the one-write line
  ChildResult r = RunInChild([&] {
    ScreenOnly(SC_DETAIL_FILE);
    SC_LOG(SC_LOG_ERROR, "short %d\n", 1);
    SC_LOG(SC_LOG_ERROR, "%s\n", long_message.c_str());
    errno = ENOENT;
    SC_LOG_ERRNO(SC_LOG_ERROR, "%s", long_message.c_str());
    __sc_print_prefix(SC_LOG_WARN, "alone.c", 1);  // no message: written by the next prefix
    SC_LOG(SC_LOG_ERROR, "after\n");
    __sc_print_prefix(SC_LOG_WARN, "off.c", 2);  // the screen is left before the message
    __sc_debug_where = 0;
    __sc_print_msg("never\n");
    __sc_debug_where = SC_WHERE_SCREEN;
    __sc_print_prefix(SC_LOG_DEBUG, "last.c", 3);  // no message: written at exit
    return 0;
  });
  EXPECT_TRUE(r.ok());
  const std::string t = "\\[\\d\\d:\\d\\d:\\d\\d\\] ";
  const std::string me = "lib/sys/tests/test_debug.cpp: ";
  EXPECT_TRUE(std::regex_match(
      r.err, std::regex(t + "Error: " + me + "short 1\n" + t + "Error: " + me + long_message +
                        "\n" + t + "Error: " + me + long_message + "\t\\[2, " + strerror(ENOENT) +
                        "\\]\n" + t + "Warn: alone.c: " + t + "Error: " + me + "after\n" + t +
                        "Warn: off.c: " + t + "Debug: last.c: ")))
      << r.err;
}

}  // namespace
