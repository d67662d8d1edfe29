// File helpers: results, outputs and the exact line of every failure, the
// directory walk, the writers' close check, the 2 GiB refusal and copy.
// Bodies run in a child with errors going bare to standard error.
#include <errno.h>
#include <fcntl.h>
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
using kelv::test::ChildResult;
using kelv::test::ExpectReported;
using kelv::test::FaultGuard;
using kelv::test::PathExists;
using kelv::test::ReadFileOrDie;
using kelv::test::RunLogged;
using kelv::test::ScratchDir;
using kelv::test::WriteFileOrDie;

using Body = std::function<int()>;

void ExpectSilentSuccess(const Body &body) {
  const ChildResult r = RunLogged(body);
  EXPECT_TRUE(r.ok()) << "exit " << r.exit_code << ", err: " << r.err;
  EXPECT_EQ(r.err, "");
}

bool IsDir(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The descriptor number the next open will get.
int NextFd() {
  const int fd = dup(0);
  close(fd);
  return fd;
}

// Reads with sc_file_read_bytes; 0 when it fails with null and 0 outputs,
// closes its descriptor and leaves the tracked heap's byte counter where it
// was (plus `refused`, the size of a refused request, which stays counted).
int ReadFails(const std::string &path, unsigned required = 0, unsigned refused = 0) {
  char *buf = reinterpret_cast<char *>(1);
  unsigned len = 99;
  const unsigned before = total_allocate;
  const int fds = kelv::test::CountOpenFds();
  if (sc_file_read_bytes(path.c_str(), &buf, &len, required) != -1) return 1;
  if (buf != nullptr || len != 0) return 2;
  if (total_allocate != before + refused) return 3;
  return kelv::test::CountOpenFds() == fds ? 0 : 4;
}

class FileTest : public testing::Test {
 protected:
  FileTest() { WriteFileOrDie(hello_, "hello"); }
  ScratchDir dir_;
  const std::string hello_ = dir_ / "hello";
};

TEST_F(FileTest, ExistsAnswersOneOrZeroAndLogsNothing) {
  const std::string dangling = dir_ / "dangling";
  ASSERT_EQ(symlink((dir_ / "nowhere").c_str(), dangling.c_str()), 0);
  ExpectSilentSuccess([&] {
    unsigned size = 0;
    if (sc_file_exists(hello_.c_str(), &size) != 1 || size != 5) return 1;
    if (sc_file_exists(dir_.path().c_str(), nullptr) != 1) return 2;
    if (sc_file_exists("/dev/null", nullptr) != 1) return 3;
    size = 7;
    if (sc_file_exists((dir_ / "missing").c_str(), &size) != 0 || size != 7) return 4;
    if (sc_file_exists(dangling.c_str(), &size) != 0) return 5;
    return sc_file_exists(nullptr, &size) == 0 ? 0 : 6;
  });
}

TEST_F(FileTest, RemoveFilesAndEmptyDirectories) {
  ASSERT_EQ(mkdir((dir_ / "empty").c_str(), 0700), 0);
  ExpectSilentSuccess([&] {
    return sc_file_remove(hello_.c_str()) == 0 && sc_file_remove((dir_ / "empty").c_str()) == 0
               ? 0
               : 1;
  });
  EXPECT_FALSE(PathExists(hello_));
  EXPECT_FALSE(PathExists(dir_ / "empty"));
}

TEST_F(FileTest, RemoveFailures) {
  const std::string missing = dir_ / "missing";
  ExpectReported([&] { return sc_file_remove(missing.c_str()) == -1 ? 0 : 1; },
                 "sc_file_remove: remove() " + missing + " failed\n");
  ExpectReported([&] { return sc_file_remove(dir_.path().c_str()) == -1 ? 0 : 1; },
                 "sc_file_remove: remove() " + dir_.path() + " failed\n");
  ExpectReported([] { return sc_file_remove(nullptr) == -1 ? 0 : 1; },
                 "sc_file_remove: remove() (null) failed\n");
  EXPECT_TRUE(PathExists(hello_));
}

TEST_F(FileTest, RenameAndItsFailures) {
  const std::string moved = dir_ / "moved", missing = dir_ / "missing";
  ExpectSilentSuccess([&] { return sc_file_rename(hello_.c_str(), moved.c_str()); });
  EXPECT_EQ(ReadFileOrDie(moved), "hello");
  ExpectReported([&] { return sc_file_rename(missing.c_str(), moved.c_str()) == -1 ? 0 : 1; },
                 "sc_file_rename: rename(" + missing + ", " + moved + ") failed\n");
  ExpectReported([&] { return sc_file_rename(moved.c_str(), nullptr) == -1 ? 0 : 1; },
                 "sc_file_rename: rename(" + moved + ", (null)) failed\n");
  EXPECT_TRUE(PathExists(moved));
}

TEST_F(FileTest, ReadWholeFileAndPrefixes) {
  ExpectSilentSuccess([&] {
    for (const unsigned required : {0u, 3u, 5u}) {
      const unsigned before = total_allocate;
      char *buf = nullptr;
      unsigned len = 0;
      const int rc = required == 0 ? sc_file_read(hello_.c_str(), &buf, &len)
                                   : sc_file_read_bytes(hello_.c_str(), &buf, &len, required);
      const unsigned want = required == 0 ? 5 : required;
      if (rc != 0 || len != want + 1 || total_allocate != before + len) return 1;
      if (std::string(buf, len) != std::string("hello", want) + '\0') return 2;
      __sc_kfree(buf, len);
      if (total_allocate != before) return 3;
    }
    return 0;
  });
}

TEST_F(FileTest, ReadFailuresOfTheFile) {
  const std::string empty = dir_ / "empty", missing = dir_ / "missing";
  WriteFileOrDie(empty, "");
  ExpectReported([&] { return ReadFails(hello_, 6); },
                 "sc_file_read_bytes: file size 5 < required bytes 6");
  ExpectReported([&] { return ReadFails(empty); },
                 "sc_file_read_bytes: lseek (curr pos 0, end pos 0) failed");
  ExpectReported([&] { return ReadFails(missing); },
                 "sc_file_read_bytes: open(" + missing + ", O_RDONLY) failed");
  ExpectReported([] { return sc_file_read(nullptr, nullptr, nullptr) == -1 ? 0 : 1; },
                 "sc_file_read_bytes: NULL output for (null)");
  ExpectReported(
      [] {
        char *buf = reinterpret_cast<char *>(1);
        unsigned len = 3;
        const int rc = sc_file_read(nullptr, &buf, &len);
        return rc == -1 && buf == nullptr && len == 0 ? 0 : 1;
      },
      "sc_file_read_bytes: open((null), O_RDONLY) failed");
}

TEST_F(FileTest, ReadFailuresOfTheSystem) {
  const auto failing = [&](Op op, unsigned skip, unsigned refused = 0) {
    return [this, op, skip, refused] {
      FaultGuard guard(op, skip, 1, EIO);
      return ReadFails(hello_, 0, refused);
    };
  };
  const int fd = RunLogged([] { return NextFd(); }).exit_code;
  const std::string d = std::to_string(fd);
  ExpectReported(failing(Op::kLseek, 0), "sc_file_read_bytes: lseek(" + d + ", 0, SEEK_CUR) failed");
  ExpectReported(failing(Op::kLseek, 1), "sc_file_read_bytes: lseek(" + d + ", 0, SEEK_END) failed");
  ExpectReported(failing(Op::kLseek, 2), "sc_file_read_bytes: lseek(" + d + ", 0, SEEK_SET) failed");
  ExpectReported(failing(Op::kMalloc, 0, 6),
                 "sc_kmalloc: do_malloc(6) failed\nsc_file_read_bytes: sc_malloc(6) failed");
  const ChildResult r = RunLogged(failing(Op::kRead, 0));
  EXPECT_TRUE(r.ok()) << r.exit_code;
  EXPECT_TRUE(std::regex_match(
      r.err, std::regex("sc_file_read_bytes: read\\(" + d + ", [0-9a-f]+, 6\\) returned -1")))
      << r.err;
}

// Positions kept in 32 bits would see 0 or 5 bytes here; the reader refuses.
TEST_F(FileTest, ReadRefusesFilesOf2GiBOrMore) {
  const std::string big = dir_ / "big";
  for (const long long size : {0x80000000LL, 0x100000005LL}) {
    const int fd = open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_LARGEFILE, 0600);
    ASSERT_GE(fd, 0);
    const int rc = ftruncate64(fd, size);
    close(fd);
    if (rc != 0) GTEST_SKIP() << "no sparse file of " << size << " bytes here";
    ExpectReported([&] { return ReadFails(big); },
                   "sc_file_read_bytes: file size " + std::to_string(size) + " too large");
    ExpectSilentSuccess([&] {
      unsigned low = 0;
      return sc_file_exists(big.c_str(), &low) == 1 && low == static_cast<unsigned>(size) ? 0 : 1;
    });
  }
}

// Relative paths are walked from a scratch working directory.
TEST_F(FileTest, CheckPathWalksEveryPrefixBeforeTheLastSlash) {
  ExpectSilentSuccess([&] {
    if (chdir(dir_.path().c_str()) != 0) return 1;
    if (sc_file_check_path("a/b/c") != 0 || !IsDir("a/b") || PathExists("a/b/c")) return 2;
    if (sc_file_check_path("a/b/c/") != 0 || !IsDir("a/b/c")) return 3;
    FaultGuard watch(Op::kMkdir, 1000, 0, 0);
    for (const char *none : {"name", "/", ""})
      if (sc_file_check_path(none) != 0 || PathExists("name")) return 4;
    if (kelv::sys::fault::calls(Op::kMkdir) != 0) return 5;
    if (sc_file_check_path("x//y") != 0 || !IsDir("x") || PathExists("x/y")) return 6;
    return kelv::sys::fault::calls(Op::kMkdir) == 2 ? 0 : 7;  // x, then x/ (EEXIST)
  });
}

TEST_F(FileTest, CheckPathLengthLimit) {
  const std::string deep = std::string(200, 'q');
  const std::string ok = "p/" + deep + "/" + std::string(308, 'r');
  const std::string too_long = ok + "r";
  ASSERT_EQ(ok.size(), 511u);
  ExpectSilentSuccess([&] {
    if (chdir(dir_.path().c_str()) != 0) return 1;
    return sc_file_check_path(ok.c_str()) == 0 && IsDir("p/" + deep) ? 0 : 2;
  });
  kelv::test::RemoveTree(dir_ / "p");
  ExpectReported(
      [&] {
        if (chdir(dir_.path().c_str()) != 0) return 1;
        return sc_file_check_path(too_long.c_str()) == -1 && !PathExists("p") ? 0 : 2;
      },
      "sc_file_check_path: path too long " + too_long + "\n");
  ExpectReported([] { return sc_file_check_path(nullptr) == -1 ? 0 : 1; },
                 "sc_file_check_path: NULL path\n");
}

TEST_F(FileTest, CheckPathStopsAtTheFirstFailedMkdir) {
  ExpectReported(
      [&] {
        if (chdir(dir_.path().c_str()) != 0) return 1;
        kelv::test::RemoveTree("a");
        FaultGuard refuse(Op::kMkdir, 1, 1, EACCES);
        return sc_file_check_path("a/b/c/") == -1 && IsDir("a") && !PathExists("a/b") ? 0 : 2;
      },
      "sc_file_check_path: mkdir (a/b, 777) failed\n");
}

TEST_F(FileTest, RegularFileInTheMiddleOfAPath) {
  const std::string through = hello_ + "/x", below = hello_ + "/d/x";
  ExpectReported([&] { return sc_file_write(through.c_str(), "z", 1) == -1 ? 0 : 1; },
                 "sc_file_write: fopen(" + through + ", 'w') failed\n");
  ExpectReported([&] { return sc_file_append(below.c_str(), "z", 1) == -1 ? 0 : 1; },
                 "sc_file_check_path: mkdir (" + hello_ + "/d, 777) failed\n"
                 "sc_file_write: sc_file_check_path(" + below + ") failed\n");
  EXPECT_EQ(ReadFileOrDie(hello_), "hello");
}

TEST_F(FileTest, WriteAndAppendMakeDirectoriesAndData) {
  const std::string path = dir_ / "new/sub/file";
  ExpectSilentSuccess([&] {
    if (sc_file_write(path.c_str(), "abc", 3) != 0) return 1;
    if (sc_file_append(path.c_str(), "de\0f", 4) != 0) return 2;
    return sc_file_append((dir_ / "more/appended").c_str(), "x", 1);
  });
  EXPECT_EQ(ReadFileOrDie(path), std::string("abcde\0f", 7));
  EXPECT_EQ(ReadFileOrDie(dir_ / "more/appended"), "x");
}

TEST_F(FileTest, ZeroLengthWritesTruncateOrCreate) {
  const std::string created = dir_ / "created";
  ExpectSilentSuccess([&] {
    if (sc_file_write(hello_.c_str(), nullptr, 0) != 0) return 1;
    return sc_file_append(created.c_str(), "", 0);
  });
  EXPECT_EQ(ReadFileOrDie(hello_), "");
  EXPECT_TRUE(PathExists(created));
  EXPECT_EQ(ReadFileOrDie(created), "");
}

TEST_F(FileTest, WriterFailures) {
  const std::string slash = dir_ / "s/t/";
  ExpectReported([&] { return sc_file_write(slash.c_str(), "z", 1) == -1 && IsDir(slash) ? 0 : 1; },
                 "sc_file_write: fopen(" + slash + ", 'w') failed\n");
  ExpectReported([&] { return sc_file_append(slash.c_str(), "z", 1) == -1 ? 0 : 1; },
                 "sc_file_write: fopen(" + slash + ", 'a') failed\n");
  ExpectReported([] { return sc_file_write(nullptr, "z", 1) == -1 ? 0 : 1; },
                 "sc_file_check_path: NULL path\n"
                 "sc_file_write: sc_file_check_path((null)) failed\n");
  const std::string unborn = dir_ / "unborn/file";
  ExpectReported(
      [&] { return sc_file_write(unborn.c_str(), nullptr, 4) == -1 && !PathExists(dir_ / "unborn") ? 0 : 1; },
      "sc_file_write: NULL buffer of 4 bytes for " + unborn + "\n");
}

TEST_F(FileTest, WriterSystemFailures) {
  ExpectReported(
      [&] {
        FaultGuard refuse(Op::kFwrite, 0, 1, EIO);
        return sc_file_write(hello_.c_str(), "abc", 3) == -1 ? 0 : 1;
      },
      "sc_file_write: fwrite(" + hello_ + ", 1, 3) returns 0\n");
  EXPECT_EQ(ReadFileOrDie(hello_), "");  // truncated before the write failed
  ExpectReported(
      [&] {
        FaultGuard refuse(Op::kFopen, 0, 1, EMFILE);
        return sc_file_append(hello_.c_str(), "abc", 3) == -1 ? 0 : 1;
      },
      "sc_file_write: fopen(" + hello_ + ", 'a') failed\n");
  ExpectReported(
      [&] {
        FaultGuard refuse(Op::kFclose, 0, 1, EIO);
        return sc_file_append(hello_.c_str(), "abc", 3) == -1 ? 0 : 1;
      },
      "sc_file_write: fclose(" + hello_ + ") failed\n");
}

// Data that fails only when the stream is flushed at close is not reported
// as written.
TEST_F(FileTest, FullDiskAtCloseIsAFailure) {
  if (!PathExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  ExpectReported([] { return sc_file_write("/dev/full", "data", 4) == -1 ? 0 : 1; },
                 "sc_file_write: fclose(/dev/full) failed\n");
  ExpectReported([] { return sc_file_append("/dev/full", "data", 4) == -1 ? 0 : 1; },
                 "sc_file_write: fclose(/dev/full) failed\n");
}

TEST_F(FileTest, CopyAddsTheReadersNul) {
  const std::string copy = dir_ / "deep/er/copy";
  ExpectSilentSuccess([&] {
    const unsigned before = total_allocate;
    if (sc_file_copy(hello_.c_str(), copy.c_str()) != 1) return 1;
    return total_allocate == before ? 0 : 2;
  });
  EXPECT_EQ(ReadFileOrDie(copy), std::string("hello\0", 6));
}

TEST_F(FileTest, CopyRefusals) {
  const std::string other = dir_ / "other", empty = dir_ / "empty", missing = dir_ / "missing";
  WriteFileOrDie(other, "keep");
  WriteFileOrDie(empty, "");
  ExpectReported(
      [&] {
        return sc_file_copy(nullptr, other.c_str()) == 0 && sc_file_copy(hello_.c_str(), nullptr) == 0
                   ? 0
                   : 1;
      },
      "");
  ExpectReported([&] { return sc_file_copy(hello_.c_str(), other.c_str()) == 0 ? 0 : 1; },
                 "sc_file_copy: destination file already exists\n");
  EXPECT_EQ(ReadFileOrDie(other), "keep");
  ExpectReported([&] { return sc_file_copy(missing.c_str(), (dir_ / "c1").c_str()) == 0 ? 0 : 1; },
                 "sc_file_copy: source file does not exist\n");
  ExpectReported([&] { return sc_file_copy(empty.c_str(), (dir_ / "c2").c_str()) == 0 ? 0 : 1; },
                 "sc_file_read_bytes: lseek (curr pos 0, end pos 0) failed"
                 "sc_file_copy: file read failed\n");
  const std::string blocked = other + "/sub/copy";
  ExpectReported(
      [&] {
        const unsigned before = total_allocate;
        return sc_file_copy(hello_.c_str(), blocked.c_str()) == 0 && total_allocate == before ? 0 : 1;
      },
      "sc_file_check_path: mkdir (" + other + "/sub, 777) failed\n"
      "sc_file_write: sc_file_check_path(" + blocked + ") failed\n");
  EXPECT_FALSE(PathExists(dir_ / "c1"));
  EXPECT_FALSE(PathExists(dir_ / "c2"));
}

}  // namespace
