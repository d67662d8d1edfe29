// File helpers: one table of calls, each row run in a child inside a fresh
// directory holding hello, empty and dir, logging exactly its lines at level
// 2 and nothing at level 1.
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "test_support.h"

using kelv::sys::fault::Op;
using S = std::string;

static bool Has(const S &path) { return access(path.c_str(), F_OK) == 0; }
// The contents of a file, or "-" when it cannot be read.
static S Slurp(const char *path) {
  std::ifstream in(path, std::ios::binary);
  return in ? S(std::istreambuf_iterator<char>(in), {}) : "-";
}
// The block read (its NUL included), then freed; "-" for a failure that left
// null and 0 in the outputs.
static S Read(const char *path, unsigned required = 0) {
  char *buf = reinterpret_cast<char *>(1);
  unsigned len = 99, heap = total_allocate;
  if (sc_file_read_bytes(path, &buf, &len, required) != 0) return buf || len ? "?" : "-";
  const S got(buf, len);
  __sc_kfree(buf, len);
  return total_allocate == heap ? got : "leak";
}
// `call`, with the call of `op` after the first `skip` failing.
static bool Failing(Op op, unsigned skip, bool (*call)()) {
  kelv::test::FaultGuard guard(op, skip, 1, EACCES);
  return call();
}
static bool ReadFails() { return Read("hello") == "-"; }

TEST(FileHelpers, CallsResultsAndLines) {
  const S fd = std::to_string(kelv::test::RunInChild([] { return dup(0); }).exit_code);
  const S rd = "sc_file_read_bytes: ", wr = "sc_file_write: ", walk = "sc_file_check_path: ";
  const S deep = "p/" + S(200, 'q'), p511 = deep + "/" + S(308, 'r'), p512 = p511 + "r";
  const struct { S lines; std::function<bool()> call; } rows[] = {
      {"sc_file_remove: remove() x failed\nsc_file_rename: rename(x, y) failed\n"
       "sc_file_rename: rename(y, (null)) failed\n",
       [] { return sc_file_remove("x") == -1 && sc_file_remove("dir") == 0 &&
                   sc_file_rename("x", "y") == -1 && sc_file_rename("hello", "y") == 0 &&
                   sc_file_rename("y", nullptr) == -1 && Slurp("y") + Slurp("hello") == "hello-" &&
                   !Has("dir"); }},
      {rd + "file size 5 < required bytes 6" + rd + "lseek (curr pos 0, end pos 0) failed" + rd +
           "open(x, O_RDONLY) failed" + rd + "NULL output for (null)",
       [] { return Read("hello") == S("hello", 6) && Read("hello", 3) == S("hel", 4) &&
                   Read("hello", 5) == S("hello", 6) && Read("hello", 6) == "-" &&
                   Read("empty") == "-" && Read("x") == "-" &&
                   sc_file_read(nullptr, nullptr, nullptr) == -1; }},
      {rd + "lseek(" + fd + ", 0, SEEK_CUR) failed" + rd + "lseek(" + fd + ", 0, SEEK_END) failed" +
           rd + "lseek(" + fd + ", 0, SEEK_SET) failed" + "sc_kmalloc: do_malloc(6) failed\n" +
           rd + "sc_malloc(6) failed",
       [] { return Failing(Op::kLseek, 0, ReadFails) && Failing(Op::kLseek, 1, ReadFails) &&
                   Failing(Op::kLseek, 2, ReadFails) && Failing(Op::kMalloc, 0, ReadFails); }},
      // Positions kept in 32 bits would see 0 or 5 bytes in these sparse files.
      {rd + "file size 2147483648 too large" + rd + "file size 4294967301 too large",
       [] { unsigned n = 0;
            return truncate("empty", 1LL << 31) == 0 && Read("empty") == "-" &&
                   truncate("empty", 0x100000005LL) == 0 && Read("empty") == "-" &&
                   sc_file_exists("empty", &n) == 1 && n == 5; }},
      // mkdir: a and a/b; a, a/b and a/b/c; nothing for name, / and ""; x and x/.
      {walk + "path too long " + p512 + "\n" + walk + "mkdir (e/f, 777) failed\n",
       [&] { kelv::sys::fault::arm(Op::kMkdir, ~0u, 0, 0);
             return !sc_file_check_path("a/b/c") && Has("a/b") && !Has("a/b/c") &&
                    !sc_file_check_path("a/b/c/") && Has("a/b/c") && !sc_file_check_path("name") &&
                    !sc_file_check_path("/") && !sc_file_check_path("") &&
                    !sc_file_check_path("x//y") && kelv::sys::fault::calls(Op::kMkdir) == 7 &&
                    sc_file_check_path(p512.c_str()) == -1 && !Has("p") &&
                    !sc_file_check_path(p511.c_str()) && Has(deep) && Failing(Op::kMkdir, 1, [] {
                      return sc_file_check_path("e/f/g") == -1 && Has("e") && !Has("e/f"); }); }},
      {wr + "fopen(hello/x, 'w') failed\n" + walk + "mkdir (hello/d, 777) failed\n" + wr +
           "sc_file_check_path(hello/d/x) failed\n" + wr + "fopen(s/, 'a') failed\n" + wr +
           "NULL buffer of 4 bytes for u/f\n",
       [] { return !sc_file_write("a/b", "abc", 3) && !sc_file_append("a/b", "d\0e", 3) &&
                   !sc_file_append("c/d", "", 0) && !sc_file_write("hello", nullptr, 0) &&
                   Slurp("a/b") + Slurp("hello") + Slurp("c/d") == S("abcd\0e", 6) &&
                   sc_file_write("hello/x", "z", 1) == -1 && sc_file_append("hello/d/x", "z", 1) == -1 &&
                   sc_file_append("s/", "z", 1) == -1 && sc_file_write("u/f", nullptr, 4) == -1 &&
                   Has("s") && !Has("u"); }},
      // A write that fails, even only in the flush at close, is not reported
      // as done; "w" has truncated already.
      {wr + "fwrite(dir/f, 1, 3) returns 0\n" + wr + "fclose(/dev/full) failed\n",
       [] { return Failing(Op::kFwrite, 0, [] { return sc_file_write("dir/f", "abc", 3) == -1; }) &&
                   Slurp("dir/f").empty() && sc_file_write("/dev/full", "data", 4) == -1; }},
      // The copy carries the reader's NUL: one byte longer than its source.
      {"sc_file_copy: destination file already exists\nsc_file_copy: source file does not exist\n" +
           rd + "lseek (curr pos 0, end pos 0) failed" + "sc_file_copy: file read failed\n" + walk +
           "mkdir (empty/s, 777) failed\n" + wr + "sc_file_check_path(empty/s/c) failed\n",
       [] { return sc_file_copy("hello", "a/c") == 1 && Slurp("a/c") == S("hello", 6) &&
                   sc_file_copy(nullptr, "c") == 0 && sc_file_copy("hello", "empty") == 0 &&
                   sc_file_copy("x", "c") == 0 && sc_file_copy("empty", "c") == 0 &&
                   sc_file_copy("hello", "empty/s/c") == 0 && Slurp("empty").empty() && !Has("c"); }},
  };
  for (const auto &row : rows) {
    for (const int level : {SC_LOG_ERROR, SC_LOG_FATAL}) {
      const kelv::test::ScratchDir dir;
      kelv::test::WriteFileOrDie(dir / "hello", "hello");
      kelv::test::WriteFileOrDie(dir / "empty", "");
      ASSERT_EQ(mkdir((dir / "dir").c_str(), 0700), 0);
      const auto r = kelv::test::RunLogged(
          [&] { return chdir(dir.path().c_str()) == 0 && row.call() ? 0 : 1; }, level);
      EXPECT_TRUE(r.ok()) << "row " << &row - rows << ", level " << level;
      EXPECT_EQ(r.err, level == SC_LOG_ERROR ? row.lines : "") << "row " << &row - rows;
    }
  }
}
