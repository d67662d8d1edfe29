// SPDX-License-Identifier: BSD-2-Clause
// C++ companion of <kelv/sc_file.h> and <kelv/sc_string.h>: owners for the
// two tracked-heap blocks the library hands to its callers, each released
// with the size the tracked heap needs. Header-only (nothing here is in the
// shared library); C++17; throws nothing.
//
//   kelv::sys::FileBuffer config;
//   if (config.read("/etc/example.conf") != 0) return -1;  // logged
//   parse(config.view());                                 // freed at scope end
//
//   kelv::sys::TrackedString name("worker");              // sc_strdup
//   if (!name) return -1;
#ifndef KELV_SC_HANDLES_HPP
#define KELV_SC_HANDLES_HPP

#if !defined(__cplusplus) || __cplusplus < 201703L
#error "<kelv/sc_handles.hpp> needs C++17 or later"
#endif

#include <cstring>
#include <string_view>
#include <utility>

#include "sc_file.h"
#include "sc_malloc.h"
#include "sc_string.h"

namespace kelv::sys {

namespace detail {

// A block of the tracked heap and the size it is released with
// (__sc_kfree(data(), block_size())). Move-only.
class TrackedBlock {
 public:
  TrackedBlock(TrackedBlock &&other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        block_size_(std::exchange(other.block_size_, 0u)) {}
  TrackedBlock &operator=(TrackedBlock &&other) noexcept {
    unsigned int n = 0;
    char *p = other.release(&n);
    reset();
    data_ = p;
    block_size_ = n;
    return *this;
  }
  TrackedBlock(const TrackedBlock &) = delete;
  TrackedBlock &operator=(const TrackedBlock &) = delete;
  ~TrackedBlock() { reset(); }

  char *data() const noexcept { return data_; }
  const char *c_str() const noexcept { return data_; }
  // The size the block is released with.
  unsigned int block_size() const noexcept { return block_size_; }
  explicit operator bool() const noexcept { return data_ != nullptr; }

  // Gives the block up: the caller frees it with __sc_kfree(p, *block_size).
  char *release(unsigned int *block_size) noexcept {
    if (block_size != nullptr) *block_size = block_size_;
    block_size_ = 0;
    return std::exchange(data_, nullptr);
  }
  void reset() noexcept {
    if (data_ != nullptr) (void)__sc_kfree(data_, block_size_);
    data_ = nullptr;
    block_size_ = 0;
  }

 protected:
  TrackedBlock() noexcept = default;
  TrackedBlock(char *block, unsigned int block_size) noexcept
      : data_(block), block_size_(block != nullptr ? block_size : 0) {}

  char *data_ = nullptr;
  unsigned int block_size_ = 0;
};

}  // namespace detail

// Owns the buffer of sc_file_read / sc_file_read_bytes: the file's bytes and
// a NUL, in a block of block_size() = size() + 1 bytes, released with
// __sc_kfree(data(), block_size()). Empty (false) until a read succeeds.
// Move-only; data(), c_str(), release() and reset() as in TrackedBlock.
class FileBuffer : public detail::TrackedBlock {
 public:
  FileBuffer() noexcept = default;
  // Takes over a buffer and the length the reader reported with it.
  FileBuffer(char *block, unsigned int block_size) noexcept : TrackedBlock(block, block_size) {}

  // Releases the buffer held, then reads the whole file: the reader's result
  // (0, or -1 after its error line, leaving the buffer empty).
  int read(const char *path) noexcept { return read_bytes(path, 0); }
  // As read(), for exactly the first `required` bytes (0: the whole file).
  int read_bytes(const char *path, unsigned int required) noexcept {
    reset();
    return sc_file_read_bytes(path, &data_, &block_size_, required);
  }

  // Number of file bytes (the NUL excluded); 0 when empty.
  unsigned int size() const noexcept { return block_size_ != 0 ? block_size_ - 1 : 0; }
  std::string_view view() const noexcept { return {data_ != nullptr ? data_ : "", size()}; }
};

// Owns a copy made by sc_strdup. The block size (strlen + 1) is taken when
// the copy is made or adopted, so editing the text in place (even shortening
// it) does not change the size it is released with. Empty (false) when the
// source was NULL or memory ran out (sc_strdup logged it). Move-only.
class TrackedString : public detail::TrackedBlock {
 public:
  TrackedString() noexcept = default;
  explicit TrackedString(const char *s) noexcept : TrackedString(sc_strdup(s), 0) {}
  // Takes over a string returned by sc_strdup (or NULL).
  static TrackedString adopt(char *copy) noexcept { return TrackedString(copy, 0); }

  std::string_view view() const noexcept { return data_ != nullptr ? data_ : ""; }

 private:
  TrackedString(char *copy, int) noexcept
      : TrackedBlock(copy, copy != nullptr ? static_cast<unsigned int>(std::strlen(copy) + 1) : 0) {}
};

}  // namespace kelv::sys

#endif  // KELV_SC_HANDLES_HPP
