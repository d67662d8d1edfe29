// Diagnostics on the screen, and the error log (under /var/log: needs root).
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using namespace kelv::test;
using kelv::sys::fault::Op;
using Counts = std::map<std::string, int>;
using kelv::sys::internal::debug_log_fd;

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
    setenv("TZ", "ZZZ-5:30", 1);  // shows from the next second on
    usleep(1000000);
    errno = 123456;
    SC_LOG(SC_LOG_FATAL, "zone\n");
    __sc_print_prefix(SC_LOG_WARN, "alone.c", 1);
    __sc_print_prefix(SC_LOG_DEBUG, "last.c", 3);
    return n == 1 && __sc_print_val == 0 && errno == 123456 && debug_log_fd() < 0 ? 0 : 3;
  });
  char clock[16];  // the times of the run, as the prefix shows them, become "[T]" (local) and "[Z]"
  for (time_t t = start, shifted = t + 19800; t <= time(nullptr); shifted = ++t + 19800)
    for (const auto &[when, tag] : {std::pair(*localtime(&t), "[T]"), std::pair(*gmtime(&shifted), "[Z]")})
      for (size_t at; strftime(clock, 16, "[%H:%M:%S]", &when) && (at = r.err.find(clock)) != r.err.npos;)
        r.err.replace(at, 10, tag);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "sc_get_basedir: sc_sys_init() was never called\n[T] Error: where 2\n"
                   "m\n|[T] Error: m\n|[T] Error: src/a.c: m\n|[T] Error: src/a.c:42: m\n|"
                   "[T] <Unknown Detail>: src/a.c:42: m\n|[T] : m\n|[T] Fatal: m\n|[T] Warn: m\n|"
                   "[T] Debug: m\n|[T] Unknown: m\n|[T] Unknown: m\n|[T] Error: hidden/t: m\n|"
                   "[T] Error: abs/x: m\n|[T] Error: : m\n|[T] Error: : m\n|[T] Error: " +
                   long_name.substr(0, 1005) + "m\n|[T] Error: " + me + ": error 1\n|[T] Fatal: " + me +
                   ": open x failed\t[2, " + strerror(ENOENT) + "]\n|[T] Fatal: " + me + ": " + long_message +
                   "\t[123456, " + strerror(123456) + "]\n[Z] Fatal: " + me +
                   ": zone\n[Z] Warn: alone.c: [Z] Debug: last.c: ");
}


// Logging as `name` (below /var/log) without start-up: type 1 with a base directory of 300
// characters (resolved, never used), lines at detail 1 to the log.
void LogAs(const std::string &name, int detail = SC_DETAIL_TYPE) {
  setenv("VORNDIR", ("/" + std::string(300, 'd')).c_str(), 1);
  kelv::sys::internal::set_app_type(SC_APP_ROOT);
  sc_process_name = name.c_str();
  __sc_debug_detail = detail;
  __sc_debug_where = SC_WHERE_FILE;
}

// One process's log from its first line to exit, then as an account that may neither read its
// log (mode 0200) nor rename it in root's directory.
TEST(ErrorLog, FromFirstLineToExit) {
  if (!IsRoot()) GTEST_SKIP() << "writing under /var/log needs root";
  ScratchDir dir("/var/log");
  const std::string name = dir.path().substr(9) + "/daemon", log = dir / "daemon_err", old = log + ".1";
  const std::string absent = UniqueName("kelv-test-absent") + "/daemon", full(1048576, 'f');
  WriteFileOrDie(log, full);
  ChildResult r = RunInChild([&] {
    LogAs(name, SC_DETAIL_NONE);
    const int fds = CountOpenFds();
    // The size is checked before each line but not on the first open: a log full at start takes
    // the first line and rotates at the second.
    for (int where : {0, 3, 2, 1}) { __sc_debug_where = where; SC_LOG(SC_LOG_ERROR, "where %d\n", where); }
    if (!(fcntl(debug_log_fd(), F_GETFD) & FD_CLOEXEC) || CountOpenFds() != fds + 1) return 1;
    if (ReadFileOrDie(log) != "where 1\n" || ReadFileOrDie(old) != full + "where 3\n") return 2;
    WriteFileOrDie(log, full.substr(1));
    errno = EIO;  // longer than a line's buffer: written piece by piece, and not rotated
    SC_LOG_ERRNO(SC_LOG_ERROR, "%s", std::string(5000, 'n').c_str());
    { FaultGuard fail(Op::kFstat, 0, 1, EIO); SC_LOG(SC_LOG_ERROR, "kept\n"); }
    // A new log at the path (logrotate's create) is followed; with no descriptor left to open it,
    // the line stays with the old one. Deleted, the log is made anew; renamed away, it keeps the
    // lines for a second, then the library makes the new one, which is followed the same way.
    rename(log.c_str(), (log + "-moved").c_str());
    WriteFileOrDie(log, "");
    { FaultGuard fail(Op::kOpen, 0, 1, EMFILE); SC_LOG(SC_LOG_ERROR, "one\n"); }
    SC_LOG(SC_LOG_ERROR, "two\n");
    unlink(log.c_str());
    errno = EACCES;
    SC_LOG_ERRNO(SC_LOG_ERROR, "three");
    rename(log.c_str(), (log + "-again").c_str());
    SC_LOG(SC_LOG_ERROR, "four\n");
    if (errno != EACCES || PathExists(log)) return 3;
    usleep(1100000);
    SC_LOG(SC_LOG_ERROR, "five\n");
    rename(log.c_str(), (log + "-third").c_str());
    SC_LOG(SC_LOG_ERROR, "six\n");
    WriteFileOrDie(log, full);
    SC_LOG(SC_LOG_ERROR, "seven\n");
    // A rename that fails keeps the lines in the log, told once; the next rotation goes through.
    {
      FaultGuard fail(Op::kRename, 0, 2, EXDEV);
      for (auto line : {"eight\n", "nine\n"}) SC_LOG(SC_LOG_ERROR, "%s", line);
    }
    SC_LOG(SC_LOG_ERROR, "ten\n");
    if (ReadFileOrDie(old) != full + "seven\neight\nnine\n" || ReadFileOrDie(log) != "ten\n") return 4;
    // Another process rotating at the same time holds the log's lock: the line waits, then follows
    // the log that process made instead of renaming it over the older generation.
    WriteFileOrDie(log, full);
    int ready[2];
    if (pipe(ready) != 0) return 5;
    fflush(nullptr);
    if (fork() == 0) {
      struct flock lock = {F_WRLCK, SEEK_SET, 0, 0, 0};
      if (fcntl(open(log.c_str(), O_WRONLY), F_SETLK, &lock) != 0 || write(ready[1], "", 1) != 1) _exit(1);
      usleep(200000);
      rename(log.c_str(), old.c_str());
      WriteFileOrDie(log, "rotated\n");
      _exit(0);
    }
    if (char none; read(ready[0], &none, 1) != 1) return 6;
    SC_LOG(SC_LOG_ERROR, "eleven\n");
    wait(nullptr);
    // A log that cannot be created (in a missing directory) sends the lines to the screen.
    kelv::sys::internal::sc_close_debug_file();
    sc_process_name = absent.c_str();
    SC_LOG(SC_LOG_ERROR, "twelve\n");
    return __sc_debug_where == SC_WHERE_SCREEN && debug_log_fd() < 0 && CountOpenFds() == fds + 2 ? 0 : 7;
  });
  const std::string check = "sc_check_debug_file:";
  const std::string gone = check + " open(" + log + ") failed: " + strerror(ENOENT) + "\n";
  const auto open_failed = [&](const std::string &path, int err) {
    return check + " fopen(" + path + ") failed: " + strerror(err) + "\n" + check + " user (0) errno " +
           std::to_string(err) + ": " + strerror(err) + "\n";
  };
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, check + ": fstat(" + log + ") failed: " + strerror(EIO) + "\n" + open_failed(log, EMFILE) +
                       gone + gone + gone + check + " rename() " + old + " failed\n" +
                       open_failed("/var/log/" + absent + "_err", ENOENT));
  EXPECT_EQ(r.err, "where 3\nwhere 2\ntwelve\n");
  EXPECT_EQ(ReadFileOrDie(log + "-moved"),
            full.substr(1) + std::string(5000, 'n') + "\t[5, " + strerror(EIO) + "]\nkept\none\n");
  EXPECT_EQ(ReadFileOrDie(log + "-again"), std::string("three\t[13, ") + strerror(EACCES) + "]\nfour\n");
  EXPECT_EQ(ReadFileOrDie(log + "-third"), "five\nsix\n");
  EXPECT_TRUE(ReadFileOrDie(old) == full);
  EXPECT_EQ(ReadFileOrDie(log), "rotated\neleven\n");
  EXPECT_FALSE(PathExists("/var/log/" + absent.substr(0, absent.size() - 7)));

  WriteFileOrDie(log, full);
  ASSERT_TRUE(chown(log.c_str(), 65534, 65534) == 0 && chmod(log.c_str(), 0200) == 0 &&
              chmod(dir.path().c_str(), 0711) == 0);
  r = RunInChild([&] {  // the log opened, a worker forked, then both switch accounts
    LogAs(name, SC_DETAIL_NONE);
    SC_LOG(SC_LOG_ERROR, "a\n");
    int turn[2];
    char none;
    const pid_t worker = pipe(turn) == 0 ? fork() : -1;
    if (worker < 0 || setgid(65534) != 0 || setuid(65534) != 0) return 1;
    if (worker == 0) {  // hangs if the failed rotation before it left the log locked
      alarm(5);
      if (read(turn[0], &none, 1) == 1) SC_LOG(SC_LOG_ERROR, "c\n");
      exit(0);
    }
    SC_LOG(SC_LOG_ERROR, "b\n");
    int status = -1;
    return write(turn[1], "", 1) == 1 && wait(&status) > 0 && status == 0 ? 0 : 2;
  });
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, check + " rename() " + old + " failed\n" + check + " rename() " + old + " failed\n");
  EXPECT_TRUE(ReadFileOrDie(log) == full + "a\nb\nc\n");
}

// The lines "[hh:mm:ss] Error: <who> <id> <n> 0...0\n" of `text` counted by "<who> <id> <n>"; any
// other line (torn, merged) counts as "torn".
Counts CountLines(const std::string &text, Counts counts = {}) {
  size_t at = 0;
  for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = text.substr(at, end + 1 - at);
    char who[16], want[128];
    int id = 0, n = 0;
    const bool whole = sscanf(line.c_str(), "[%*2u:%*2u:%*2u] Error: %15s %d %d", who, &id, &n) == 3 &&
                       snprintf(want, sizeof want, " Error: %s %d %05d %040d\n", who, id, n, 0) > 0 &&
                       line.compare(10, std::string::npos, want) == 0;
    ++counts[whole ? std::string(who) + " " + std::to_string(id) + " " + std::to_string(n) : "torn"];
  }
  if (at != text.size()) ++counts["torn"];
  return counts;
}

// `log` rotated once: its ".1" is `fill` and lines, and the two hold each line of `want` once.
void ExpectRotatedOnce(const std::string &log, const std::string &fill, const Counts &want) {
  const std::string old = ReadFileOrDie(log + ".1");
  ASSERT_EQ(old.compare(0, fill.size(), fill), 0) << "the older generation is lost";
  EXPECT_EQ(CountLines(old.substr(fill.size()), CountLines(ReadFileOrDie(log))), want);
}

// Four threads log at both destinations across a rotation while one of them forks children that
// log too: every line whole and found once at each destination, nothing deadlocked, no descriptor
// left behind.
TEST(ErrorLog, ThreadsAndForkedChildren) {
  if (!IsRoot()) GTEST_SKIP() << "writing under /var/log needs root";
  ScratchDir dir("/var/log");
  const std::string name = dir.path().substr(9) + "/daemon", log = dir / "daemon_err";
  const std::string fill = std::string(1048576 - 100000, 'f') + "\n";  // rotated once, mid-run
  constexpr int kThreads = 4, kLines = 1500;
  Counts want;
  for (int i = 0; i < kLines; ++i)
    for (int t = 0; t < kThreads; ++t) want["thread " + std::to_string(t) + " " + std::to_string(i)] = 1;
  for (int i = 150; i < kLines; i += 300) want["child 0 " + std::to_string(i)] = 1;
  WriteFileOrDie(log, fill);
  ChildResult r = RunInChild([&] {
    LogAs(name);
    __sc_debug_where = SC_WHERE_BOTH;
    const int fds = CountOpenFds();
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&failed, t] {
        for (int i = 0; i < kLines; ++i) {
          SC_LOG(SC_LOG_ERROR, "thread %d %05d %040d\n", t, i, 0);
          if (t > 0 || i % 300 != 150) continue;
          const pid_t pid = fork();
          if (pid == 0) {  // ends by exec: memcheck would take the other threads' memory as leaked
            alarm(10);
            SC_LOG(SC_LOG_ERROR, "child 0 %05d %040d\n", i, 0);
            _exit(execl("/bin/true", "true", nullptr));
          }
          int status = -1;
          failed += waitpid(pid, &status, 0) != pid || status != 0;
        }
      });
    for (std::thread &thread : threads) thread.join();
    return failed == 0 && CountOpenFds() == fds + 1 ? 0 : 1;
  });
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(CountLines(r.err), want);
  ExpectRotatedOnce(log, fill, want);
}

// Eight processes share a log that reaches 1 MiB while they write: it rotates once, and every line
// is whole and found once, in the log or its ".1". A stress run: KELV_LOG_TRIALS=100 (default 10).
TEST(ErrorLog, ProcessesShareOneRotation) {
  if (!IsRoot()) GTEST_SKIP() << "writing under /var/log needs root";
  ScratchDir dir("/var/log");
  const std::string name = dir.path().substr(9) + "/daemon", log = dir / "daemon_err";
  const std::string fill = std::string(1048576 - 60000, 'f') + "\n";  // about 88 KB to come
  constexpr int kWorkers = 8, kLines = 150;
  const int trials = getenv("KELV_LOG_TRIALS") ? atoi(getenv("KELV_LOG_TRIALS")) : 10;
  Counts want;
  for (int w = 0; w < kWorkers; ++w)
    for (int i = 0; i < kLines; ++i) want["worker " + std::to_string(w) + " " + std::to_string(i)] = 1;
  for (int trial = 0; trial < trials; ++trial) {
    WriteFileOrDie(log, fill);
    unlink((log + ".1").c_str());
    ChildResult r = RunInChild([&] {
      LogAs(name);
      if (trial % 2) SC_LOG(SC_LOG_ERROR, "parent 0 00000 %040d\n", 0);  // the workers inherit its log
      for (int w = 0; w < kWorkers; ++w)
        if (fork() == 0) {
          alarm(20);
          for (int i = 0; i < kLines; ++i) SC_LOG(SC_LOG_ERROR, "worker %d %05d %040d\n", w, i, 0);
          _exit(0);
        }
      int status = 0, failed = 0;
      while (wait(&status) > 0) failed += status != 0;
      return failed;
    });
    SCOPED_TRACE("trial " + std::to_string(trial));
    ASSERT_EQ(r.exit_code, 0);
    want.erase("parent 0 0");
    if (trial % 2) want["parent 0 0"] = 1;
    ExpectRotatedOnce(log, fill, want);
  }
}

}  // namespace
