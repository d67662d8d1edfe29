// Shared by the fuzz harnesses: a reader over the input, calls with standard error muted
// (KELV_FUZZ_VERBOSE keeps it, for replaying a crash), and a check that aborts.
#pragma once
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>

#include "kelv/sys.h"

// Past the end every read yields zeros; Str stops at (and consumes) a NUL.
struct FuzzInput {
  const uint8_t *data;
  size_t size, pos = 0;
  uint8_t Byte() { return pos < size ? data[pos++] : 0; }
  std::string Str(size_t max) {
    std::string s;
    for (char c; s.size() < max && pos < size && (c = static_cast<char>(data[pos++])) != '\0';) s += c;
    return s;
  }
};

inline int Muted(const std::function<int()> &f) {
  static const int saved = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 10);
  static const int null = getenv("KELV_FUZZ_VERBOSE") ? saved : open("/dev/null", O_WRONLY | O_CLOEXEC);
  fflush(stderr), dup2(null, STDERR_FILENO);
  const int result = f();
  return fflush(stderr), dup2(saved, STDERR_FILENO), result;
}

#define FUZZ_CHECK(cond) if (!(cond)) fprintf(stderr, "fuzz check failed: %s\n", #cond), abort()
