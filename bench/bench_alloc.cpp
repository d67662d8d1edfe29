// The pool allocator against glibc's malloc, jemalloc and mimalloc ("alloc"
// family), and the tracked heap against plain malloc ("heap" family), on the
// same workloads in the same process.
//
// Each allocator is an adapter with alloc(size) and release(ptr, size); every
// workload is a template over the adapter and writes the first word of every
// block it gets. Peers missing from the machine are left out of the run.
#include <kelv/sys.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <random>
#include <string>
#include <vector>

#include "bench.h"
#include "peers.h"

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define KELV_BENCH_TOGGLE_COLLECT() CALLGRIND_TOGGLE_COLLECT
#else
#define KELV_BENCH_TOGGLE_COLLECT() ((void)0)
#endif

namespace kelv_bench {
namespace {

// The size-class pool, through the public entry points; one allocator per
// benchmark run.
class Pool {
 public:
  Pool() : sz_(sc_szconstruct("bench")) {}
  ~Pool() { sc_szdestruct(sz_); }
  Pool(const Pool &) = delete;
  Pool &operator=(const Pool &) = delete;
  bool ok() const { return sz_ != nullptr; }
  void *alloc(unsigned size) { return sc_szalloc(sz_, size); }
  void release(void *p, unsigned size) { sc_szfree(sz_, p, size); }

 private:
  sc_sz_t *sz_;
};

// The tracked heap.
struct Kmalloc {
  bool ok() const { return true; }
  void *alloc(unsigned size) { return __sc_kmalloc(size); }
  void release(void *p, unsigned size) { __sc_kfree(p, size); }
};

// The C library's allocator (glibc's malloc: the process's own).
struct Glibc {
  bool ok() const { return true; }
  void *alloc(unsigned size) { return malloc(size); }
  void release(void *p, unsigned) { free(p); }
};

// jemalloc's sized interface, loaded at run time (peers.h).
struct Je {
  bool ok() const { return true; }
  void *alloc(unsigned size) { return Jemalloc()->mallocx(size, 0); }
  void release(void *p, unsigned size) { Jemalloc()->sdallocx(p, size, 0); }
};

// mimalloc, loaded at run time (peers.h).
struct Mi {
  bool ok() const { return true; }
  void *alloc(unsigned size) { return Mimalloc()->mi_malloc(size); }
  void release(void *p, unsigned) { Mimalloc()->mi_free(p); }
};

// Writes the first word of a block; the pointer escapes, so that no compiler
// can drop a malloc and free pair whose block nobody reads.
inline void Touch(void *p, unsigned size) {
  *static_cast<uintptr_t *>(p) = size;
  benchmark::DoNotOptimize(p);
}

// One size allocated and freed at once, over and over: the fastest path of
// every allocator, one pair per iteration.
template <class A>
void Lifo(benchmark::State &state, unsigned size) {
  A a;
  if (!a.ok()) return state.SkipWithError("allocator construction failed");
  for (auto _ : state) {
    void *p = a.alloc(size);
    Touch(p, size);
    a.release(p, size);
  }
  state.SetItemsProcessed(state.iterations());
}

// A fixed-seed sequence of random numbers shared by every allocator: the
// slot to replace and the size of its new object.
constexpr unsigned kSteps = 1u << 20;

struct Step {
  uint32_t slot;        // scaled to the live count at use
  uint16_t small_size;  // 8..512
  uint16_t mixed_size;  // 8..8192
};

const std::vector<Step> &Steps() {
  static const std::vector<Step> steps = [] {
    std::mt19937 rng(42);
    std::uniform_int_distribution<uint32_t> small(8, 512), mixed(8, 8192);
    std::vector<Step> v(kSteps);
    for (Step &s : v) {
      s.slot = static_cast<uint32_t>(rng());
      s.small_size = static_cast<uint16_t>(small(rng));
      s.mixed_size = static_cast<uint16_t>(mixed(rng));
    }
    return v;
  }();
  return steps;
}

inline unsigned SizeOf(const Step &s, bool mixed) { return mixed ? s.mixed_size : s.small_size; }

// `live` objects of 8..512 bytes (8..8192 when `mixed`); each replacement
// frees a random one and allocates a random size in its place.
template <class A>
class LiveSet {
 public:
  LiveSet(A &a, unsigned live, bool mixed)
      : a_(a), steps_(Steps()), live_(live), mixed_(mixed), ptr_(live), size_(live) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<uint32_t> fill(8, mixed ? 8192 : 512);
    for (unsigned i = 0; i < live; ++i) {
      size_[i] = fill(rng);
      ptr_[i] = a_.alloc(size_[i]);
      Touch(ptr_[i], size_[i]);
    }
  }
  ~LiveSet() {
    for (unsigned j = 0; j < live_; ++j) a_.release(ptr_[j], size_[j]);
  }
  LiveSet(const LiveSet &) = delete;
  LiveSet &operator=(const LiveSet &) = delete;

  // The i-th replacement of the fixed sequence.
  void Replace(unsigned i) {
    const Step &s = steps_[i & (kSteps - 1)];
    const auto slot = static_cast<unsigned>((uint64_t{s.slot} * live_) >> 32);
    a_.release(ptr_[slot], size_[slot]);
    const unsigned n = SizeOf(s, mixed_);
    void *p = a_.alloc(n);
    Touch(p, n);
    ptr_[slot] = p;
    size_[slot] = n;
  }

 private:
  A &a_;
  const std::vector<Step> &steps_;
  const unsigned live_;
  const bool mixed_;
  std::vector<void *> ptr_;
  std::vector<uint32_t> size_;
};

template <class A>
void WorkingSet(benchmark::State &state, unsigned live, bool mixed) {
  A a;
  if (!a.ok()) return state.SkipWithError("allocator construction failed");
  LiveSet<A> set(a, live, mixed);
  unsigned i = 0;
  for (auto _ : state) set.Replace(i++);
  state.SetItemsProcessed(state.iterations());
}

// `count` objects of 8..512 bytes allocated, then freed in the same order.
template <class A>
void Fifo(benchmark::State &state, unsigned count) {
  A a;
  if (!a.ok()) return state.SkipWithError("allocator construction failed");
  const std::vector<Step> &steps = Steps();
  std::vector<void *> ptr(count);
  for (auto _ : state) {
    for (unsigned i = 0; i < count; ++i) {
      const unsigned n = steps[i].small_size;
      ptr[i] = a.alloc(n);
      Touch(ptr[i], n);
    }
    for (unsigned i = 0; i < count; ++i) a.release(ptr[i], steps[i].small_size);
  }
  state.SetItemsProcessed(state.iterations() * count);
}

// For callgrind run with --collect-atstart=no: `pairs` pairs of 64-byte LIFO
// churn, or of replacements in a working set of 100,000 objects, collected
// alone (set-up and clean-up left out). 0, or 1 when the allocator fails.
template <class A>
int CountedPairs(bool working_set, unsigned pairs) {
  A a;
  if (!a.ok()) return 1;
  if (!working_set) {
    KELV_BENCH_TOGGLE_COLLECT();
    for (unsigned i = 0; i < pairs; ++i) {
      void *p = a.alloc(64);
      Touch(p, 64);
      a.release(p, 64);
    }
    KELV_BENCH_TOGGLE_COLLECT();
    return 0;
  }
  LiveSet<A> set(a, 100000, false);
  KELV_BENCH_TOGGLE_COLLECT();
  for (unsigned i = 0; i < pairs; ++i) set.Replace(i);
  KELV_BENCH_TOGGLE_COLLECT();
  return 0;
}

struct Contender {
  const char *name;
  void (*lifo)(benchmark::State &, unsigned);
  void (*working_set)(benchmark::State &, unsigned, bool);
  void (*fifo)(benchmark::State &, unsigned);
  int (*counted_pairs)(bool, unsigned);
};

template <class A>
Contender Make(const char *name) {
  return {name, Lifo<A>, WorkingSet<A>, Fifo<A>, CountedPairs<A>};
}

std::vector<Contender> AllocContenders() {
  std::vector<Contender> all = {Make<Pool>("pool"), Make<Glibc>("glibc")};
  if (Jemalloc() != nullptr) all.push_back(Make<Je>("jemalloc"));
  if (Mimalloc() != nullptr) all.push_back(Make<Mi>("mimalloc"));
  return all;
}

// Case by case, every contender in turn, so that the contenders of a case
// run next to each other.
void Register(const char *family, const std::vector<Contender> &all, bool full) {
  const std::vector<unsigned> sizes =
      full ? std::vector<unsigned>{16, 64, 256, 1024, 4096, 8192} : std::vector<unsigned>{64};
  for (unsigned size : sizes)
    for (const Contender &c : all)
      benchmark::RegisterBenchmark(Name(family, "lifo_" + std::to_string(size), c.name).c_str(),
                                   c.lifo, size);
  const std::vector<unsigned> lives =
      full ? std::vector<unsigned>{1000, 10000, 100000, 1000000} : std::vector<unsigned>{10000};
  for (unsigned live : lives)
    for (const Contender &c : all)
      benchmark::RegisterBenchmark(Name(family, "ws_" + std::to_string(live), c.name).c_str(),
                                   c.working_set, live, false);
  if (!full) return;
  for (const Contender &c : all)
    benchmark::RegisterBenchmark(Name(family, "mixed_8-8192_ws_1000", c.name).c_str(),
                                 c.working_set, 1000u, true);
  for (const Contender &c : all)
    benchmark::RegisterBenchmark(Name(family, "fifo_100000", c.name).c_str(), c.fifo, 100000u);
}

}  // namespace

void RegisterAllocBenchmarks() {
  Register("alloc", AllocContenders(), true);
  Register("heap", {Make<Kmalloc>("kmalloc"), Make<Glibc>("malloc")}, false);
}

int CountPairs(const std::string &allocator, const std::string &pattern, unsigned pairs) {
  for (const Contender &c : AllocContenders()) {
    if (allocator == c.name) return c.counted_pairs(pattern == "ws", pairs);
  }
  fprintf(stderr, "kelv_bench: no allocator %s\n", allocator.c_str());
  return 2;
}

}  // namespace kelv_bench
