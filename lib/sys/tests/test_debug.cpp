// Diagnostics on the screen, and the error log (under /var/log: needs root).
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using namespace kelv::test;
using kelv::sys::internal::debug_log_stream;

// Initial settings; before start-up the file loses the line after the base directory's complaint.
// Each screen line is one write (a datagram of a socket as standard error): prefix forms, the
// level test in the macro, errno; then a long line, a prefix never followed, one left at exit.
TEST(Debug, ScreenLines) {
  const std::string me = std::string(__FILE__).substr(std::string(__FILE__).find_first_not_of("./"));
  const std::string long_name(1100, 'f'), long_message(5000, 'm');  // a prefix is cut at 1023 bytes
  const time_t start = time(nullptr);
  ChildResult r = RunInChild([&] {
    if (__sc_debug_level != 2 || __sc_debug_detail != 1 || __sc_debug_where != 1) return 1;
    if (__sc_print_val != 0 || __sc_debug_assert != 0) return 1;
    for (int where : {0, 1, 2}) { __sc_debug_where = where; SC_LOG(SC_LOG_ERROR, "where %d\n", where); }
    int sv[2], n = 0;
    const int saved = dup(2);
    if (socketpair(AF_UNIX, SOCK_DGRAM, 0, sv) != 0 || dup2(sv[0], 2) != 2) return 2;
    const struct { int detail, level; const char *file; } rows[] = {
        {0, 2, "../../src/a.c"}, {1, 2, "../../src/a.c"}, {2, 2, "../../src/a.c"}, {3, 2, "./src/a.c"},
        {7, 2, "./src/a.c"}, {1, 0, "f"}, {1, 1, "f"}, {1, 3, "f"}, {1, 4, "f"}, {1, 5, "f"}, {1, -1, "f"},
        {2, 2, ".hidden/t"}, {2, 2, "/abs/x"}, {2, 2, "./../"}, {2, 2, nullptr}, {2, 2, long_name.c_str()}};
    for (const auto &row : rows)
      __sc_debug_detail = row.detail, __sc_print_prefix(row.level, row.file, 42), __sc_print_msg("m\n");
    __sc_print_val = 99;
    SC_LOG(SC_LOG_DEBUG, "debug %d\n", ++n);
    SC_LOG_ERRNO(SC_LOG_WARN, "warn %d\n", ++n);
    SC_LOG((++n, SC_LOG_ERROR), "error %d\n", n);  // the level expression once
    __sc_debug_level = SC_LOG_NONE;
    SC_LOG(SC_LOG_FATAL, "fatal %d\n", ++n);
    __sc_debug_level = SC_LOG_FATAL;
    errno = ENOENT;
    SC_LOG_ERRNO(SC_LOG_FATAL, "open %s failed", "x");
    dup2(saved, 2);
    char buf[4096];
    for (ssize_t got; (got = recv(sv[1], buf, sizeof buf, MSG_DONTWAIT)) > 0;)
      fprintf(stderr, "%.*s|", int(got), buf);
    errno = 123456;
    SC_LOG_ERRNO(SC_LOG_FATAL, "%s", long_message.c_str());
    __sc_print_prefix(SC_LOG_WARN, "alone.c", 1);
    __sc_print_prefix(SC_LOG_DEBUG, "last.c", 3);
    return n == 1 && __sc_print_val == 0 && errno == 123456 && debug_log_stream() == nullptr ? 0 : 3;
  });
  char clock[16];  // the times of the run, as the prefix shows them, become "[T]"
  for (time_t t = start; t <= time(nullptr) && strftime(clock, 16, "[%H:%M:%S]", localtime(&t)); ++t)
    for (size_t at; (at = r.err.find(clock)) != std::string::npos;) r.err.replace(at, 10, "[T]");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "sc_get_basedir: sc_sys_init() was never called\n[T] Error: where 2\n"
                   "m\n|[T] Error: m\n|[T] Error: src/a.c: m\n|[T] Error: src/a.c:42: m\n|"
                   "[T] <Unknown Detail>: src/a.c:42: m\n|[T] : m\n|[T] Fatal: m\n|[T] Warn: m\n|"
                   "[T] Debug: m\n|[T] Unknown: m\n|[T] Unknown: m\n|[T] Error: hidden/t: m\n|"
                   "[T] Error: abs/x: m\n|[T] Error: : m\n|[T] Error: : m\n|[T] Error: " +
                   long_name.substr(0, 1005) + "m\n|[T] Error: " + me + ": error 1\n|[T] Fatal: " + me +
                   ": open x failed\t[2, " + strerror(ENOENT) + "]\n|[T] Fatal: " + me + ": " + long_message +
                   "\t[123456, " + strerror(123456) + "]\n[T] Warn: alone.c: [T] Debug: last.c: ");
}

// One process's log from its first line to exit.
TEST(ErrorLog, FromFirstLineToExit) {
  if (!IsRoot()) GTEST_SKIP() << "writing under /var/log needs root";
  ScratchDir dir("/var/log");
  const std::string name = dir.path().substr(9) + "/daemon", log = dir / "daemon_err", old = log + ".1";
  const std::string absent = UniqueName("kelv-test-absent") + "/daemon", full(1048576, 'f');
  WriteFileOrDie(log, full);
  ChildResult r = RunInChild([&] {
    sc_process_name = name.c_str();
    kelv::sys::internal::set_app_type(SC_APP_TOOL);
    __sc_debug_detail = SC_DETAIL_NONE;
    atexit([] { puts(debug_log_stream() ? "open at exit" : "closed at exit"); });
    const int fds = CountOpenFds();
    // The size is checked on the reopen before each line but not on the first
    // open: a log full at start takes the first line and rotates at the second.
    for (int where : {0, 2, 3, 1}) { __sc_debug_where = where; SC_LOG(SC_LOG_ERROR, "where %d\n", where); }
    FILE *stream = debug_log_stream();
    if (!stream || !(fcntl(fileno(stream), F_GETFD) & FD_CLOEXEC) || CountOpenFds() != fds + 1) return 1;
    if (ReadFileOrDie(log) != "where 1\n" || ReadFileOrDie(old) != full + "where 3\n") return 2;
    WriteFileOrDie(log, full.substr(1));
    SC_LOG(SC_LOG_ERROR, "not rotated\n");
    if (ReadFileOrDie(log) != full.substr(1) + "not rotated\n") return 3;
    // Deleted, the log is made anew; renamed away (logrotate before its create), it keeps the lines.
    unlink(log.c_str());
    errno = EACCES;
    SC_LOG_ERRNO(SC_LOG_ERROR, "one");
    rename(log.c_str(), (log + "-moved").c_str());
    SC_LOG(SC_LOG_ERROR, "two\n");
    SC_LOG(SC_LOG_ERROR, "three\n");
    if (errno != EACCES || PathExists(log)) return 4;
    usleep(1100000);  // no new log within a second: the library makes it, then it goes the same way
    SC_LOG(SC_LOG_ERROR, "four\n");
    rename(log.c_str(), (log + "-again").c_str());
    SC_LOG(SC_LOG_ERROR, "five\n");
    if (PathExists(log)) return 5;
    // Failures lose the line; a log that cannot be opened for appending (in a missing
    // subdirectory, not created) sends it and later ones to the screen until reset.
    WriteFileOrDie(log, full);
    { FaultGuard fail(kelv::sys::fault::Op::kFstat, 0, 1, EIO); SC_LOG(SC_LOG_ERROR, "lost to fstat\n"); }
    SC_LOG(SC_LOG_ERROR, "six\n");
    { FaultGuard fail(kelv::sys::fault::Op::kRename, 0, 1, EXDEV); SC_LOG(SC_LOG_ERROR, "lost to rename\n"); }
    sc_process_name = absent.c_str();
    SC_LOG(SC_LOG_ERROR, "seven\n");
    if (__sc_debug_where != SC_WHERE_SCREEN || debug_log_stream()) return 6;
    sc_process_name = name.c_str();
    __sc_debug_where = SC_WHERE_FILE;
    SC_LOG(SC_LOG_ERROR, "eight\n");
    SC_LOG(SC_LOG_ERROR, "nine\n");  // rotated, replacing the older ".1"
    return 0;
  });
  const std::string noent = strerror(ENOENT), check = "sc_check_debug_file:", eio = strerror(EIO);
  const std::string gone = check + " open(" + log + ") failed: " + noent + "\n";
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, gone + gone + gone + check + ": fstat(" + log + ") failed: " + eio + "\n" + check +
                       " rename() " + old + " failed\n" + check + " fopen(/var/log/" + absent +
                       "_err) failed: " + noent + "\n" + check + " user (0) errno 2: " + noent +
                       "\nclosed at exit\n");
  EXPECT_EQ(r.err, "where 2\nwhere 3\nseven\n");
  EXPECT_EQ(ReadFileOrDie(log + "-moved"), std::string("one\t[13, ") + strerror(EACCES) + "]\ntwo\nthree\n");
  EXPECT_EQ(ReadFileOrDie(log + "-again"), "four\nfive\n");
  EXPECT_EQ(ReadFileOrDie(log), "nine\n");
  EXPECT_TRUE(ReadFileOrDie(old) == full + "six\neight\n");
  EXPECT_FALSE(PathExists("/var/log/" + absent.substr(0, absent.size() - 7)));
}

}  // namespace
