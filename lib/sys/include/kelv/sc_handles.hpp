// SPDX-License-Identifier: BSD-2-Clause
// C++ companion of <kelv/sc_file.h> and <kelv/sc_string.h>: the tracked-heap
// blocks the library hands out, owned by a std::unique_ptr whose deleter
// carries the size the block is released with. Header-only; C++17.
//
//   kelv::sys::TrackedBlock config = kelv::sys::read_file("/etc/example.conf");
//   if (!config) return -1;                           // the reader logged why
//   parse(config.get(), config.get_deleter().size - 1);  // bytes, then a NUL
#ifndef KELV_SC_HANDLES_HPP
#define KELV_SC_HANDLES_HPP

#if !defined(__cplusplus) || __cplusplus < 201703L
#error "<kelv/sc_handles.hpp> needs C++17 or later"
#endif

#include <cstring>
#include <memory>

#include "sc_file.h"
#include "sc_malloc.h"
#include "sc_string.h"

namespace kelv::sys {

// Releases a block of the tracked heap with the size it was allocated with.
struct TrackedFree {
  unsigned int size = 0;
  void operator()(char *p) const noexcept { (void)__sc_kfree(p, size); }
};
using TrackedBlock = std::unique_ptr<char[], TrackedFree>;

// The first `required` bytes of a file (0: all of it) and a NUL, in a block
// of get_deleter().size bytes; empty after sc_file_read_bytes' error line.
inline TrackedBlock read_file(const char *path, unsigned int required = 0) noexcept {
  char *data = nullptr;
  unsigned int size = 0;
  if (sc_file_read_bytes(path, &data, &size, required) != 0) return TrackedBlock();
  return TrackedBlock(data, TrackedFree{size});
}

// A copy made by sc_strdup, released with the length it had when copied;
// empty for NULL, or when memory ran out (logged).
inline TrackedBlock tracked_strdup(const char *s) noexcept {
  char *copy = sc_strdup(s);
  const unsigned int size = copy != nullptr ? static_cast<unsigned int>(std::strlen(copy) + 1) : 0;
  return TrackedBlock(copy, TrackedFree{size});
}

}  // namespace kelv::sys

#endif  // KELV_SC_HANDLES_HPP
