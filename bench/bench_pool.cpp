// The pool allocator against other allocators on the same workloads.
//
// Each allocator is an adapter with alloc(size) and release(ptr, size); every
// workload is a template over the adapter, and KELV_BENCH_ALLOCATOR registers
// all workloads for one adapter. To compare another allocator, add an adapter
// and one KELV_BENCH_ALLOCATOR line.
#include <stdint.h>
#include <stdlib.h>

#include <random>
#include <vector>

#include <benchmark/benchmark.h>
#include <kelv/sys.h>

namespace {

// The size-class pool, through the public entry points.
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

// The C library's malloc and free.
class SystemMalloc {
 public:
  bool ok() const { return true; }
  void *alloc(unsigned size) { return malloc(size); }
  void release(void *p, unsigned) { free(p); }
};

// One size allocated and freed at once, over and over: the allocator's
// fastest path, one pair per iteration.
template <class Allocator>
void LifoChurn(benchmark::State &state) {
  Allocator a;
  if (!a.ok()) return state.SkipWithError("allocator construction failed");
  const auto size = static_cast<unsigned>(state.range(0));
  for (auto _ : state) {
    void *p = a.alloc(size);
    benchmark::DoNotOptimize(p);
    a.release(p, size);
  }
  state.SetItemsProcessed(state.iterations());
}

// A working set of 10,000 objects of 8 to 512 bytes; each iteration frees a
// random one and allocates a random size in its place, writing its first
// word. The same fixed-seed sequence drives every allocator.
constexpr unsigned kWorkingSet = 10000;
constexpr unsigned kSteps = 1u << 16;

struct Step {
  uint32_t slot;
  uint32_t size;
};

const std::vector<Step> &RandomSteps() {
  static const std::vector<Step> steps = [] {
    std::mt19937 rng(42);
    std::uniform_int_distribution<uint32_t> slot(0, kWorkingSet - 1), size(8, 512);
    std::vector<Step> v(kSteps + kWorkingSet);
    for (Step &s : v) s = {slot(rng), size(rng)};
    return v;
  }();
  return steps;
}

template <class Allocator>
void RandomWorkingSet(benchmark::State &state) {
  Allocator a;
  if (!a.ok()) return state.SkipWithError("allocator construction failed");
  const std::vector<Step> &steps = RandomSteps();
  std::vector<void *> ptr(kWorkingSet);
  std::vector<uint32_t> size(kWorkingSet);
  for (unsigned i = 0; i < kWorkingSet; ++i) {
    size[i] = steps[kSteps + i].size;
    ptr[i] = a.alloc(size[i]);
  }
  unsigned i = 0;
  for (auto _ : state) {
    const Step &s = steps[i++ & (kSteps - 1)];
    a.release(ptr[s.slot], size[s.slot]);
    void *p = a.alloc(s.size);
    *static_cast<uintptr_t *>(p) = s.size;
    ptr[s.slot] = p;
    size[s.slot] = s.size;
  }
  for (unsigned j = 0; j < kWorkingSet; ++j) a.release(ptr[j], size[j]);
  state.SetItemsProcessed(state.iterations());
}

#define KELV_BENCH_ALLOCATOR(A)                                         \
  BENCHMARK_TEMPLATE(LifoChurn, A)->Arg(16)->Arg(64)->Arg(256)->Arg(4096); \
  BENCHMARK_TEMPLATE(RandomWorkingSet, A)

KELV_BENCH_ALLOCATOR(Pool);
KELV_BENCH_ALLOCATOR(SystemMalloc);

}  // namespace

BENCHMARK_MAIN();
