// File helpers: one table of calls, each row run in a child inside a fresh
// directory, logging exactly its lines at level 2 and nothing at level 1.
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
// The block read (NUL included) and freed; "-" for a failure (-1) with null and 0 out.
static S Read(const char *path, unsigned required = 0) {
  char *buf = reinterpret_cast<char *>(1);
  unsigned len = 99, heap = total_allocate;
  if (const int rc = sc_file_read_bytes(path, &buf, &len, required)) return rc == -1 && !buf && !len ? "-" : "?";
  const S got(buf, len);
  __sc_kfree(buf, len);
  return total_allocate == heap ? got : "leak";
}
// Arms the seam: the call of `op` after the next `skip` ones fails. True.
static bool Fail(Op op, unsigned skip) {
  kelv::sys::fault::arm(op, skip, 1, EACCES);
  return true;
}
// A new working directory below `root`, holding hello, empty and dir.
static bool InFreshDir(S root) {
  root += "/XXXXXX";
  return mkdtemp(&root[0]) && chdir(root.c_str()) == 0 && mkdir("dir", 0700) == 0 &&
         std::ofstream("hello") << "hello" && std::ofstream("empty");
}

TEST(FileHelpers, CallsResultsAndLines) {
  const S fd = std::to_string(kelv::test::RunInChild([] { return dup(0); }).exit_code);
  const S rd = "sc_file_read_bytes: ", wr = "sc_file_write: ", walk = "sc_file_check_path: ";
  const S deep = "p/" + S(200, 'q'), p511 = deep + "/" + S(308, 'r'), p512 = p511 + "r";
  const struct { S lines; std::function<bool()> call; } rows[] = {
      {"sc_file_remove: remove() x failed\nsc_file_rename: rename(x, y) failed\n",
       [] { return sc_file_remove("x") == -1 && sc_file_rename("x", "y") == -1 &&
                   !sc_file_remove("dir") && !sc_file_rename("hello", "y") && !Has("dir") &&
                   Slurp("y") + Slurp("hello") == "hello-"; }},
      {rd + "file size 5 < required bytes 6\n" + rd + "lseek (curr pos 0, end pos 0) failed\n" + rd +
           "open(x, O_RDONLY) failed\n" + rd + "NULL output for (null)\n" + rd + "lseek(" + fd +
           ", 0, SEEK_CUR) failed\n" + rd + "lseek(" + fd + ", 0, SEEK_END) failed\n" + rd + "lseek(" +
           fd + ", 0, SEEK_SET) failed\n" + "sc_kmalloc: do_malloc(6) failed\n" + rd +
           "sc_malloc(6) failed\n",
       [] { return Read("hello") == S("hello", 6) && Read("hello", 3) == S("hel", 4) &&
                   Read("hello", 5) == S("hello", 6) && Read("hello", 6) == "-" &&
                   Read("empty") == "-" && Read("x") == "-" &&
                   sc_file_read(nullptr, nullptr, nullptr) == -1 &&
                   Fail(Op::kLseek, 0) && Read("hello") == "-" && Fail(Op::kLseek, 1) &&
                   Read("hello") == "-" && Fail(Op::kLseek, 2) && Read("hello") == "-" &&
                   Fail(Op::kMalloc, 0) && Read("hello") == "-"; }},
      // A position kept in 32 bits would be negative here (a sparse file); its head still reads.
      {rd + "file size 2147483648 too large\n" + rd + "file size 2147483648 too large\n",
       [] { unsigned n = 0;
            return truncate("empty", 1LL << 31) == 0 && Read("empty") == "-" &&
                   Read("empty", 1u << 31) == "-" && Read("empty", 3) == S(4, '\0') &&
                   sc_file_exists("empty", &n) == 1 && n == 1u << 31; }},
      // Directories before the last slash; a prefix that exists (x/) is no failure.
      {walk + "NULL path\n" + walk + "path too long " + p512 + "\n" + walk + "mkdir (e/f, 777) failed\n",
       [&] { return sc_file_check_path(nullptr) == -1 && !sc_file_check_path("a/b/c") && Has("a/b") && !Has("a/b/c") &&
                    !sc_file_check_path("a/b/c/") && Has("a/b/c") && !sc_file_check_path("name") &&
                    !sc_file_check_path("/") && !sc_file_check_path("") && !Has("name") &&
                    !sc_file_check_path("x//y") && Has("x") && !Has("x/y") &&
                    sc_file_check_path(p512.c_str()) == -1 && !Has("p") &&
                    !sc_file_check_path(p511.c_str()) && Has(deep) && Fail(Op::kMkdir, 1) &&
                    sc_file_check_path("e/f/g") == -1 && Has("e") && !Has("e/f"); }},
      {wr + "fopen(hello/x, 'w') failed\n" + walk + "mkdir (hello/d, 777) failed\n" + wr +
           "sc_file_check_path(hello/d/x) failed\n" + wr + "NULL buffer of 4 bytes for u/f\n",
       [] { return !sc_file_write("a/b", "abc", 3) && !sc_file_append("a/b", "d\0e", 3) &&
                   !sc_file_append("c/d", "", 0) && !sc_file_write("hello", nullptr, 0) &&
                   Slurp("a/b") + Slurp("hello") + Slurp("c/d") == S("abcd\0e", 6) &&
                   sc_file_write("hello/x", "z", 1) == -1 &&
                   sc_file_append("hello/d/x", "z", 1) == -1 &&
                   sc_file_write("u/f", nullptr, 4) == -1 && !Has("u"); }},
      // A write that fails, even only in the flush at close, is not reported
      // as done; "w" has truncated already.
      {wr + "fwrite(dir/f, 1, 3) returns 0\n" + wr + "fclose(/dev/full) failed\n",
       [] { return Fail(Op::kFwrite, 0) && sc_file_write("dir/f", "abc", 3) == -1 &&
                   Slurp("dir/f").empty() && sc_file_write("/dev/full", "data", 4) == -1; }},
      // The copy holds exactly its source's bytes.
      {"sc_file_copy: destination file already exists\nsc_file_copy: source file does not exist\n" +
           rd + "lseek (curr pos 0, end pos 0) failed\n" + "sc_file_copy: file read failed\n",
       [] { return sc_file_copy("hello", "a/c") == 1 && Slurp("a/c") == "hello" &&
                   sc_file_copy(nullptr, "c") == 0 && sc_file_copy("hello", "empty") == 0 &&
                   sc_file_copy("x", "c") == 0 && sc_file_copy("empty", "c") == 0 &&
                   Slurp("empty").empty() && !Has("c"); }},
  };
  for (const auto &row : rows) {
    const kelv::test::ScratchDir dir;
    kelv::test::ExpectReported([&] { return InFreshDir(dir.path()) && row.call() ? 0 : 1; },
                               row.lines);
  }
}
