// SPDX-License-Identifier: BSD-2-Clause
// C++ companion of <kelv/sc_szalloc.h>: a std::unique_ptr owner for pools
// and a std::pmr::memory_resource over a pool, so that standard containers
// draw their memory from it. Header-only; C++17.
//
//   kelv::sys::SzPool pool(sc_szconstruct("requests"));
//   if (!pool) return -1;
//   kelv::sys::PoolResource resource(pool.get());
//   std::pmr::vector<Request> queue(&resource);  // chunks from the pool
//
// std::pmr hands deallocate() the size given to allocate(), which is exactly
// the size the pool needs on free. Pooled blocks are aligned to twice the
// pointer size; a stricter alignment (alignas(64), or max_align_t on i386)
// takes `bytes + alignment` from the pool and hands out an aligned address
// inside it, with the offset back to the block in the word before it.
//
// When the pool refuses (it has logged why), allocate() throws
// std::bad_alloc, or without exceptions writes one line to standard error
// and aborts, as the standard library does. Like the pool, a resource serves
// one thread at a time, and its containers must go before the pool.
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
#include <memory>
#include <memory_resource>
#include <new>

#include "sc_szalloc.h"

namespace kelv::sys {

struct SzDestruct {
  void operator()(sc_sz_t *sz) const noexcept { sc_szdestruct(sz); }
};
using SzPool = std::unique_ptr<sc_sz_t, SzDestruct>;

// A memory resource over a pool it does not own; equal only to itself.
class PoolResource : public std::pmr::memory_resource {
 public:
  explicit PoolResource(sc_sz_t *sz) noexcept : sz_(sz) {}

 private:
  static constexpr std::size_t kPoolAlignment = 2 * sizeof(void *);
  static std::size_t extra_for(std::size_t alignment) {
    return alignment > kPoolAlignment ? alignment : 0;
  }

  void *do_allocate(std::size_t bytes, std::size_t alignment) override {
    const std::size_t extra = extra_for(alignment);
    void *block = bytes <= UINT_MAX - extra
                      ? __sc_szalloc(sz_, static_cast<unsigned int>(bytes + extra), 0, __FILE__, __LINE__)
                      : nullptr;
    if (block == nullptr) {
#if defined(__cpp_exceptions)
      throw std::bad_alloc();
#else
      std::fprintf(stderr, "kelv::sys::PoolResource: allocation of %zu bytes failed\n", bytes);
      std::abort();
#endif
    }
    if (extra == 0) return block;
    // The aligned address lies 1..alignment bytes into the block; the gap is
    // a multiple of kPoolAlignment, so the offset word always fits in it.
    const std::uintptr_t raw = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t aligned = (raw + alignment) & ~(std::uintptr_t{alignment} - 1);
    const std::uintptr_t offset = aligned - raw;
    std::memcpy(reinterpret_cast<void *>(aligned - sizeof offset), &offset, sizeof offset);
    return reinterpret_cast<void *>(aligned);
  }

  void do_deallocate(void *p, std::size_t bytes, std::size_t alignment) override {
    const std::size_t extra = extra_for(alignment);
    if (extra != 0) {
      std::uintptr_t offset;
      std::memcpy(&offset, static_cast<char *>(p) - sizeof offset, sizeof offset);
      p = static_cast<char *>(p) - offset;
    }
    __sc_szfree(sz_, p, static_cast<unsigned int>(bytes + extra));
  }

  bool do_is_equal(const std::pmr::memory_resource &other) const noexcept override {
    return this == &other;
  }

  sc_sz_t *sz_;
};

}  // namespace kelv::sys

#endif  // KELV_SC_PMR_HPP
