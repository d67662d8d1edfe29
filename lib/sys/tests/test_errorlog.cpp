// Error log: opening, the reopen before every line, rotation at 1 MiB, the
// fall-back to the screen, and descriptors. Logs live in a directory of
// /var/log that each test makes and removes (a process named dir/name logs to
// /var/log/dir/name_err).
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using kelv::sys::fault::Op;
using kelv::sys::internal::debug_log_stream;
using kelv::sys::internal::sc_close_debug_file;
using kelv::test::ChildResult;
using kelv::test::FaultGuard;
using kelv::test::PathExists;
using kelv::test::ReadFileOrDie;
using kelv::test::RemoveTree;
using kelv::test::RunInChild;
using kelv::test::UniqueName;
using kelv::test::WriteFileOrDie;

constexpr size_t kMiB = 1048576;

// A directory /var/log/<unique>, removed with its contents.
class LogDir {
 public:
  LogDir() : name_(UniqueName("kelv-test")), path_("/var/log/" + name_) {
    made_ = mkdir(path_.c_str(), 0755) == 0;
    error_ = made_ ? 0 : errno;
  }
  ~LogDir() {
    if (made_) RemoveTree(path_);
  }
  LogDir(const LogDir &) = delete;
  LogDir &operator=(const LogDir &) = delete;

  bool made() const { return made_; }
  int error() const { return error_; }
  // The process name that logs into this directory, and its log.
  std::string process(const std::string &name = "daemon") const { return name_ + "/" + name; }
  std::string log(const std::string &name = "daemon") const { return path_ + "/" + name + "_err"; }

 private:
  std::string name_;
  std::string path_;
  bool made_;
  int error_;
};

// In the child: a started process of `name` (its base directory always
// resolves), lines to the log only, without prefix.
// The name is kept for the rest of the child's life, as the library needs.
void StartAs(const std::string &name) {
  static std::string kept;
  kept = name;
  sc_process_name = kept.c_str();
  kelv::sys::internal::set_app_type(SC_APP_TOOL);
  __sc_debug_where = SC_WHERE_FILE;
  __sc_debug_detail = SC_DETAIL_NONE;
}

off_t SizeOf(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

std::string Text(int err) { return strerror(err); }

// The two lines on standard output when the log cannot be opened for appending.
std::string OpenForAppendFailed(const std::string &log, int err) {
  return "sc_check_debug_file: fopen(" + log + ") failed: " + Text(err) +
         "\nsc_check_debug_file: user (" + std::to_string(getuid()) + ") errno " +
         std::to_string(err) + ": " + Text(err) + "\n";
}

// A fresh log directory; Run() starts the child as the process that logs there.
class ErrorLogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!dir_.made()) {
      GTEST_SKIP() << "cannot make a directory in /var/log: " << strerror(dir_.error())
                   << " (run as root)";
    }
  }
  ChildResult Run(const std::function<int()> &body) const {
    return RunInChild([&] {
      StartAs(dir_.process());
      return body();
    });
  }
  LogDir dir_;
};

TEST(ErrorLog, BeforeStartUpLinesAreLost) {
  ChildResult r = RunInChild([] {
    SC_LOG(SC_LOG_ERROR, "lost\n");
    return debug_log_stream() == nullptr && __sc_debug_where == SC_WHERE_FILE ? 0 : 1;
  });
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "sc_get_basedir: sc_sys_init() was never called\n");
}

// Whole lines reach the file: prefix at every detail, and the error number of
// SC_LOG_ERRNO, which is the caller's even though the reopen before the line
// fails (the log was deleted) and sets errno itself.
TEST_F(ErrorLogFile, PrefixAndErrnoLinesReachTheFile) {
  ChildResult r = Run([&] {
    __sc_debug_detail = SC_DETAIL_LINE;
    __sc_print_prefix(SC_LOG_ERROR, "./src/a.c", 7);
    __sc_print_msg("first\n");
    errno = ENOENT;
    __sc_print_prefix(SC_LOG_WARN, "b.c", 8);
    __sc_print_pmsg("second");
    fputs(ReadFileOrDie(dir_.log()).c_str(), stdout);  // before the log goes
    if (unlink(dir_.log().c_str()) != 0) return 1;
    errno = EACCES;
    SC_LOG_ERRNO(SC_LOG_ERROR, "into a new log");  // the deleted log is made anew
    if (errno != EACCES) return 2;
    __sc_debug_where = SC_WHERE_BOTH;
    errno = EACCES;
    SC_LOG_ERRNO(SC_LOG_ERROR, "third");
    return errno == EACCES ? 0 : 3;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code;
  const std::string eacces = "\t[13, " + Text(EACCES) + "]\n";
  EXPECT_TRUE(std::regex_match(r.out, std::regex("\\[..:..:..\\] Error: src/a.c:7: first\n"
                                                 "\\[..:..:..\\] Warn: b.c:8: second\t\\[2, [^\\]]+\\]\n"
                                                 "sc_check_debug_file: open\\(" + dir_.log() +
                                                 "\\) failed: [^\n]+\n")))
      << r.out;
  const std::string line = "\\[..:..:..\\] Error: lib/sys/tests/test_errorlog.cpp:[0-9]+: ";
  EXPECT_TRUE(std::regex_match(ReadFileOrDie(dir_.log()),
                               std::regex(line + "into a new log\\t\\[13, [^\\]]+\\]\n" + line +
                                          "third\\t\\[13, [^\\]]+\\]\n")))
      << ReadFileOrDie(dir_.log());
  EXPECT_NE(r.err.find("third" + eacces), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("into a new log"), std::string::npos);
}

TEST_F(ErrorLogFile, LinesAreAppendedThroughACloseOnExecStream) {
  WriteFileOrDie(dir_.log(), "earlier\n");
  ChildResult r = Run([&] {
    SC_LOG(SC_LOG_ERROR, "one %d\n", 1);
    FILE *log = debug_log_stream();
    if (log == nullptr) return 1;
    if ((fcntl(fileno(log), F_GETFD) & FD_CLOEXEC) == 0) return 2;
    SC_LOG(SC_LOG_ERROR, "two\n");
    sc_close_debug_file();
    if (debug_log_stream() != nullptr) return 3;
    sc_close_debug_file();  // nothing open: no effect
    SC_LOG(SC_LOG_ERROR, "three\n");
    return 0;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(ReadFileOrDie(dir_.log()), "earlier\none 1\ntwo\nthree\n");
}

TEST_F(ErrorLogFile, RotatesAtOneMebibyteKeepingOneGeneration) {
  const std::string log = dir_.log(), old = dir_.log() + ".1";
  ChildResult r = Run([&] {
    SC_LOG(SC_LOG_ERROR, "a\n");
    WriteFileOrDie(log, std::string(kMiB - 1, 'x'));
    SC_LOG(SC_LOG_ERROR, "b\n");
    if (SizeOf(log) != static_cast<off_t>(kMiB + 1) || PathExists(old)) return 1;
    WriteFileOrDie(log, std::string(kMiB, 'y'));
    WriteFileOrDie(old, "older generation\n");
    SC_LOG(SC_LOG_ERROR, "c\n");
    return 0;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(ReadFileOrDie(log), "c\n");
  EXPECT_EQ(ReadFileOrDie(old), std::string(kMiB, 'y'));
}

TEST_F(ErrorLogFile, OversizedLogTakesTheFirstLineAndRotatesAtTheSecond) {
  const std::string big(2 * kMiB, 'z');
  WriteFileOrDie(dir_.log(), big);
  ChildResult r = Run([&] {
    SC_LOG(SC_LOG_ERROR, "first\n");
    if (PathExists(dir_.log() + ".1")) return 1;
    SC_LOG(SC_LOG_ERROR, "second\n");
    return 0;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code;
  EXPECT_EQ(ReadFileOrDie(dir_.log()), "second\n");
  EXPECT_EQ(ReadFileOrDie(dir_.log() + ".1"), big + "first\n");
}

TEST_F(ErrorLogFile, DeletedLogIsMadeAnewForTheNextLine) {
  ChildResult r = Run([&] {
    SC_LOG(SC_LOG_ERROR, "one\n");
    unlink(dir_.log().c_str());
    SC_LOG(SC_LOG_ERROR, "two\n");
    if (debug_log_stream() == nullptr || !PathExists(dir_.log())) return 1;
    SC_LOG(SC_LOG_ERROR, "three\n");
    return __sc_debug_where == SC_WHERE_FILE ? 0 : 2;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code;
  EXPECT_EQ(r.out, "sc_check_debug_file: open(" + dir_.log() + ") failed: " + Text(ENOENT) + "\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(ReadFileOrDie(dir_.log()), "two\nthree\n");
}

// What logrotate does: rename the log, then (with `create`) make a new one.
// Lines in between go to the renamed log; if no new log has appeared within a
// second, the library makes it.
TEST_F(ErrorLogFile, RenamedLogTakesLinesUntilANewOneIsThere) {
  const std::string moved = dir_.log() + "-moved", moved_again = dir_.log() + "-moved-again";
  ChildResult r = Run([&] {
    SC_LOG(SC_LOG_ERROR, "one\n");
    rename(dir_.log().c_str(), moved.c_str());
    SC_LOG(SC_LOG_ERROR, "two\n");
    SC_LOG(SC_LOG_ERROR, "three\n");
    if (debug_log_stream() == nullptr || PathExists(dir_.log())) return 1;
    usleep(1100000);
    SC_LOG(SC_LOG_ERROR, "four\n");
    if (!PathExists(dir_.log())) return 2;
    rename(dir_.log().c_str(), moved_again.c_str());
    WriteFileOrDie(dir_.log(), "");  // as logrotate's create does
    SC_LOG(SC_LOG_ERROR, "five\n");
    return __sc_debug_where == SC_WHERE_FILE ? 0 : 3;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code;
  EXPECT_EQ(r.out, "sc_check_debug_file: open(" + dir_.log() + ") failed: " + Text(ENOENT) + "\n");
  EXPECT_EQ(ReadFileOrDie(moved), "one\ntwo\nthree\n");
  EXPECT_EQ(ReadFileOrDie(moved_again), "four\n");
  EXPECT_EQ(ReadFileOrDie(dir_.log()), "five\n");
}

TEST(ErrorLog, UncreatableLogSwitchesToTheScreenOnce) {
  // A subdirectory that does not exist is not created: the open fails.
  const std::string name = UniqueName("kelv-test-absent") + "/daemon";
  const std::string log = "/var/log/" + name + "_err";
  ChildResult r = RunInChild([&] {
    StartAs(name);
    SC_LOG(SC_LOG_ERROR, "one\n");
    SC_LOG(SC_LOG_ERROR, "two\n");
    return __sc_debug_where == SC_WHERE_SCREEN && debug_log_stream() == nullptr ? 0 : 1;
  });
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.out, OpenForAppendFailed(log, ENOENT));
  EXPECT_EQ(r.err, "one\ntwo\n");
}

TEST_F(ErrorLogFile, FailedReopenForAppendingSwitchesToTheScreen) {
  ChildResult r = Run([&] {
    SC_LOG(SC_LOG_ERROR, "one\n");
    {
      FaultGuard fail(Op::kFopen, 0, 1, EMFILE);
      SC_LOG(SC_LOG_ERROR, "two\n");
    }
    SC_LOG(SC_LOG_ERROR, "three\n");
    return __sc_debug_where == SC_WHERE_SCREEN && debug_log_stream() == nullptr ? 0 : 1;
  });
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.out, OpenForAppendFailed(dir_.log(), EMFILE));
  EXPECT_EQ(r.err, "two\nthree\n");
  EXPECT_EQ(ReadFileOrDie(dir_.log()), "one\n");
}

TEST_F(ErrorLogFile, FailedSizeCheckOrRenameLosesTheLine) {
  ChildResult r = Run([&] {
    SC_LOG(SC_LOG_ERROR, "one\n");
    {
      FaultGuard fail(Op::kFstat, 0, 1, EIO);
      SC_LOG(SC_LOG_ERROR, "lost to fstat\n");
    }
    if (debug_log_stream() != nullptr) return 1;
    SC_LOG(SC_LOG_ERROR, "two\n");
    // A directory in the way of the old generation: the rename fails.
    WriteFileOrDie(dir_.log(), std::string(kMiB, 'x'));
    mkdir((dir_.log() + ".1").c_str(), 0755);
    WriteFileOrDie(dir_.log() + ".1/keep", "");
    SC_LOG(SC_LOG_ERROR, "lost to rename\n");
    return debug_log_stream() == nullptr && __sc_debug_where == SC_WHERE_FILE ? 0 : 2;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code;
  EXPECT_EQ(r.out, "sc_check_debug_file:: fstat(" + dir_.log() + ") failed: " + Text(EIO) +
                       "\nsc_check_debug_file: rename() " + dir_.log() + ".1 failed\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(ReadFileOrDie(dir_.log()), std::string(kMiB, 'x'));
}

TEST_F(ErrorLogFile, UnresolvableBaseDirectoryKeepsTheOpenLogAsItIs) {
  const std::string moved = dir_.log() + ".moved";
  ChildResult r = Run([&] {
    kelv::sys::internal::set_app_type(SC_APP_DEVICE);
    sc_basedir_from_input = nullptr;
    setenv("VORNDIR", "/v", 1);
    SC_LOG(SC_LOG_ERROR, "one\n");
    unsetenv("VORNDIR");
    unsetenv("TARLENDIR");
    rename(dir_.log().c_str(), moved.c_str());
    // No reopen: the line reaches the open (moved) file.
    SC_LOG(SC_LOG_ERROR, "two\n");
    // Checks resume: the log is found missing (reported once), and the lines
    // keep going to the moved file until a new log is made.
    setenv("VORNDIR", "/v", 1);
    SC_LOG(SC_LOG_ERROR, "three\n");
    SC_LOG(SC_LOG_ERROR, "four\n");
    return 0;
  });
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.err, "environment variable VORNDIR not defined\n");
  EXPECT_EQ(r.out, "sc_check_debug_file: open(" + dir_.log() + ") failed: " + Text(ENOENT) + "\n");
  EXPECT_EQ(ReadFileOrDie(moved), "one\ntwo\nthree\nfour\n");
  EXPECT_FALSE(PathExists(dir_.log()));
}

TEST_F(ErrorLogFile, TenThousandLinesLeaveNoDescriptorBehind) {
  constexpr int kLines = 10000;
  ChildResult r = Run([&] {
    const int before = kelv::test::CountOpenFds();
    for (int i = 0; i < kLines; ++i) SC_LOG(SC_LOG_ERROR, "line %05d\n", i);
    if (kelv::test::CountOpenFds() != before + 1) return 1;  // the open log
    sc_close_debug_file();
    return kelv::test::CountOpenFds() == before ? 0 : 2;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code;
  EXPECT_EQ(SizeOf(dir_.log()), static_cast<off_t>(kLines * 11));
}

TEST_F(ErrorLogFile, StartUpNamesTheLog) {
  kelv::test::ScratchDir root;
  // A unique program name: the root type keeps its pid file in /tmp.
  const std::string program = UniqueName("daemon");
  const std::string process = dir_.process(program);
  ChildResult r = RunInChild([&] {
    setenv("VORNDIR", root.path().c_str(), 1);
    setenv("SC_DEBUG_WHERE", "both", 1);
    setenv("SC_DEBUG_DETAIL", "none", 1);
    unsetenv("SC_DEBUG_LEVEL");
    if (sc_sys_init(process.c_str(), SC_APP_ROOT) != 0) return 1;
    SC_LOG(SC_LOG_ERROR, "hello %s\n", "log");
    return 0;
  });
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.err, "hello log\n");
  EXPECT_EQ(ReadFileOrDie(dir_.log(program)), "hello log\n");
}

}  // namespace
