// SPDX-License-Identifier: BSD-2-Clause
// C++ companion of <kelv/sc_szalloc.h>: an owner for sc_sz_t pools and a
// std::pmr::memory_resource over a pool, so that standard containers draw
// their memory from it. Header-only (nothing here is in the shared library);
// C++17.
//
//   kelv::sys::SzPool pool("requests");          // sc_szconstruct
//   if (!pool) return -1;
//   kelv::sys::PoolResource resource(pool.get());
//   std::pmr::vector<Request> queue(&resource);  // chunks from the pool
//
// Every block is released with the size it was allocated with, exactly as
// the pool requires: std::pmr hands deallocate() the size given to
// allocate(), and PoolResource passes it on to __sc_szfree unchanged.
//
// Alignment: pooled blocks are aligned to kPoolAlignment (twice the pointer
// size) and larger ones to malloc's alignment, which is at least that. A
// request for a stricter alignment (alignas(64) types, or the default
// alignof(max_align_t) on i386) takes `bytes + alignment` from the pool and
// hands out an aligned address inside it; the release finds the block again
// from a word stored just before that address.
//
// Failure: std::pmr requires allocate() to return memory or throw. When the
// pool refuses (it has logged its error line) or the request does not fit
// the pool's 32-bit sizes, allocate() throws std::bad_alloc when exceptions
// are enabled; compiled with -fno-exceptions it writes one line to standard
// error and calls std::abort(), as the standard library itself does there.
// try_allocate() is the non-throwing form: NULL on failure.
//
// Threads: like the pool, a PoolResource serves one thread at a time; guard
// it with a lock (or use std::pmr::synchronized_pool_resource upstream) when
// several threads share it. Every container using it must be destroyed
// before the pool.
#ifndef KELV_SC_PMR_HPP
#define KELV_SC_PMR_HPP

#if !defined(__cplusplus) || __cplusplus < 201703L
#error "<kelv/sc_pmr.hpp> needs C++17 or later"
#endif

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory_resource>
#include <new>
#include <utility>

#include "sc_szalloc.h"

namespace kelv::sys {

// Alignment of every block the pool hands out without asking.
inline constexpr std::size_t kPoolAlignment = 2 * sizeof(void *);

// Owns one sc_sz_t: made by sc_szconstruct, released with sc_szdestruct
// (which gives every page back; blocks still in use become invalid). Empty
// (false) when construction failed. Move-only.
class SzPool {
 public:
  SzPool() noexcept = default;
  explicit SzPool(const char *name) noexcept : sz_(sc_szconstruct(name)) {}
  // Takes over a pool made by sc_szconstruct (or NULL).
  static SzPool adopt(sc_sz_t *sz) noexcept { return SzPool(sz, 0); }

  SzPool(SzPool &&other) noexcept : sz_(other.release()) {}
  SzPool &operator=(SzPool &&other) noexcept {
    reset(other.release());
    return *this;
  }
  SzPool(const SzPool &) = delete;
  SzPool &operator=(const SzPool &) = delete;
  ~SzPool() { sc_szdestruct(sz_); }

  sc_sz_t *get() const noexcept { return sz_; }
  explicit operator bool() const noexcept { return sz_ != nullptr; }
  sc_sz_t *release() noexcept { return std::exchange(sz_, nullptr); }
  void reset(sc_sz_t *sz = nullptr) noexcept { sc_szdestruct(std::exchange(sz_, sz)); }

 private:
  SzPool(sc_sz_t *sz, int) noexcept : sz_(sz) {}
  sc_sz_t *sz_ = nullptr;
};

// A std::pmr::memory_resource over a pool it does not own. Two resources
// compare equal only when they are the same object.
class PoolResource : public std::pmr::memory_resource {
 public:
  explicit PoolResource(sc_sz_t *sz) noexcept : sz_(sz) {}
  sc_sz_t *pool() const noexcept { return sz_; }

  // `bytes` aligned to `alignment` (a power of two), or NULL when the pool
  // refuses or the request cannot be expressed in its 32-bit sizes. Release
  // with deallocate(p, bytes, alignment) or free_block with the same values.
  void *try_allocate(std::size_t bytes,
                     std::size_t alignment = alignof(std::max_align_t)) noexcept {
    if (sz_ == nullptr || alignment == 0 || (alignment & (alignment - 1)) != 0) return nullptr;
    const std::size_t extra = alignment > kPoolAlignment ? alignment : 0;
    if (bytes > UINT_MAX - extra) return nullptr;
    void *block = __sc_szalloc(sz_, static_cast<unsigned int>(bytes + extra), 0, __FILE__, __LINE__);
    if (block == nullptr || extra == 0) return block;
    // The aligned address lies 1..alignment bytes into the block; the gap is
    // a multiple of kPoolAlignment, so it always holds the offset word.
    const std::uintptr_t raw = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t aligned = (raw + alignment) & ~(std::uintptr_t{alignment} - 1);
    const std::uintptr_t offset = aligned - raw;
    std::memcpy(reinterpret_cast<void *>(aligned - sizeof offset), &offset, sizeof offset);
    return reinterpret_cast<void *>(aligned);
  }

  // Releases a block of try_allocate (or allocate) with its own values.
  void free_block(void *p, std::size_t bytes,
                  std::size_t alignment = alignof(std::max_align_t)) noexcept {
    if (p == nullptr) return;
    const std::size_t extra = alignment > kPoolAlignment ? alignment : 0;
    if (extra != 0) {
      std::uintptr_t offset;
      std::memcpy(&offset, static_cast<char *>(p) - sizeof offset, sizeof offset);
      p = static_cast<char *>(p) - offset;
    }
    __sc_szfree(sz_, p, static_cast<unsigned int>(bytes + extra));
  }

 private:
  void *do_allocate(std::size_t bytes, std::size_t alignment) override {
    if (void *p = try_allocate(bytes, alignment)) return p;
#if defined(__cpp_exceptions)
    throw std::bad_alloc();
#else
    std::fprintf(stderr, "kelv::sys::PoolResource: allocation of %zu bytes (alignment %zu) failed\n",
                 bytes, alignment);
    std::abort();
#endif
  }
  void do_deallocate(void *p, std::size_t bytes, std::size_t alignment) override {
    free_block(p, bytes, alignment);
  }
  bool do_is_equal(const std::pmr::memory_resource &other) const noexcept override {
    return this == &other;
  }

  sc_sz_t *sz_;
};

}  // namespace kelv::sys

#endif  // KELV_SC_PMR_HPP
