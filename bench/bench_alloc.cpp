// The pool allocator against glibc's malloc, jemalloc and mimalloc, each of
// the last two with and without its sized free, and against the floor of a
// size-class allocator ("alloc" family); the tracked heap against plain malloc
// ("heap" family). Same workloads, same process.
//
// Each allocator is an adapter with alloc(size) and release(ptr, size); every
// workload is a template over the adapter and writes the first word of every
// block it gets. Peers missing from the machine are left out of the run.
#include <kelv/sys.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
// benchmark run, with the misuse checks on or off whatever the environment.
template <bool kChecks>
class Pool {
 public:
  Pool() {
    const char *was = getenv(kChecksVar);
    const std::string saved = was != nullptr ? was : "";
    setenv(kChecksVar, kChecks ? "1" : "0", 1);
    sz_ = sc_szconstruct("bench");
    was != nullptr ? setenv(kChecksVar, saved.c_str(), 1) : unsetenv(kChecksVar);
  }
  ~Pool() { sc_szdestruct(sz_); }
  Pool(const Pool &) = delete;
  Pool &operator=(const Pool &) = delete;
  bool ok() const { return sz_ != nullptr; }
  void *alloc(unsigned size) { return sc_szalloc(sz_, size); }
  void release(void *p, unsigned size) { sc_szfree(sz_, p, size); }

 private:
  static constexpr const char *kChecksVar = "KELV_SYS_POOL_CHECKS";
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

// jemalloc and mimalloc, loaded at run time (peers.h), freeing with or
// without the size.
template <bool kSized>
struct Je {
  bool ok() const { return true; }
  void *alloc(unsigned size) { return Jemalloc()->malloc(size); }
  void release(void *p, unsigned size) {
    kSized ? Jemalloc()->sdallocx(p, size, 0) : Jemalloc()->free(p);
  }
};

template <bool kSized>
struct Mi {
  bool ok() const { return true; }
  void *alloc(unsigned size) { return Mimalloc()->mi_malloc(size); }
  void release(void *p, unsigned size) {
    kSized ? Mimalloc()->mi_free_size(p, size) : Mimalloc()->mi_free(p);
  }
};

// The floor (peers.h).
class FloorAdapter {
 public:
  FloorAdapter() : api_(FloorAllocator()), floor_(api_.create()) {}
  ~FloorAdapter() { api_.destroy(floor_); }
  FloorAdapter(const FloorAdapter &) = delete;
  FloorAdapter &operator=(const FloorAdapter &) = delete;
  bool ok() const { return floor_ != nullptr; }
  void *alloc(unsigned size) { return api_.alloc(floor_, size); }
  void release(void *p, unsigned size) { api_.release(floor_, p, size); }

 private:
  const FloorApi &api_;
  Floor *floor_;
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
// frees a random one and allocates a random size in its place. The slots are
// made (and touched) at construction, the objects by Fill.
template <class A>
class LiveSet {
 public:
  LiveSet(A &a, unsigned live, bool mixed)
      : a_(a), steps_(Steps()), live_(live), mixed_(mixed), ptr_(live), size_(live) {}
  ~LiveSet() {
    for (unsigned j = 0; j < filled_; ++j) a_.release(ptr_[j], size_[j]);
  }
  LiveSet(const LiveSet &) = delete;
  LiveSet &operator=(const LiveSet &) = delete;

  void Fill() {
    std::mt19937 rng(7);
    std::uniform_int_distribution<uint32_t> fill(8, mixed_ ? 8192 : 512);
    for (; filled_ < live_; ++filled_) {
      size_[filled_] = fill(rng);
      ptr_[filled_] = a_.alloc(size_[filled_]);
      Touch(ptr_[filled_], size_[filled_]);
    }
  }

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

  uint64_t LiveBytes() const {
    uint64_t sum = 0;
    for (unsigned j = 0; j < filled_; ++j) sum += size_[j];
    return sum;
  }

 private:
  A &a_;
  const std::vector<Step> &steps_;
  const unsigned live_;
  const bool mixed_;
  unsigned filled_ = 0;
  std::vector<void *> ptr_;
  std::vector<uint32_t> size_;
};

template <class A>
void WorkingSet(benchmark::State &state, unsigned live, bool mixed) {
  A a;
  if (!a.ok()) return state.SkipWithError("allocator construction failed");
  LiveSet<A> set(a, live, mixed);
  set.Fill();
  unsigned i = 0;
  for (auto _ : state) set.Replace(i++);
  state.SetItemsProcessed(state.iterations());
}

// `count` objects of 8..512 bytes allocated, then freed in the same order.
template <class A>
void FifoRound(A &a, std::vector<void *> &ptr) {
  const std::vector<Step> &steps = Steps();
  const auto count = static_cast<unsigned>(ptr.size());
  for (unsigned i = 0; i < count; ++i) {
    const unsigned n = steps[i].small_size;
    ptr[i] = a.alloc(n);
    Touch(ptr[i], n);
  }
  for (unsigned i = 0; i < count; ++i) a.release(ptr[i], steps[i].small_size);
}

template <class A>
void Fifo(benchmark::State &state, unsigned count) {
  A a;
  if (!a.ok()) return state.SkipWithError("allocator construction failed");
  std::vector<void *> ptr(count);
  for (auto _ : state) FifoRound(a, ptr);
  state.SetItemsProcessed(state.iterations() * count);
}

// A pattern for callgrind and the memory table: "lifo_<size>", "ws_<live>",
// "mixed_<live>" (8..8192 bytes) or "fifo_<count>".
struct Pattern {
  std::string kind;
  unsigned n = 0;
  static Pattern Parse(const std::string &text) {
    const size_t bar = text.find('_');
    if (bar == std::string::npos) return {};
    return {text.substr(0, bar), static_cast<unsigned>(strtoul(text.c_str() + bar + 1, nullptr, 10))};
  }
};

// For callgrind run with --collect-atstart=no: `pairs` allocation and free
// pairs of `pattern`, collected alone (set-up and clean-up left out). 0, or 1
// when the allocator fails or the pattern is unknown.
template <class A>
int CountedPairs(const Pattern &pattern, unsigned pairs) {
  A a;
  if (!a.ok() || pattern.n == 0) return 1;
  if (pattern.kind == "lifo") {
    KELV_BENCH_TOGGLE_COLLECT();
    for (unsigned i = 0; i < pairs; ++i) {
      void *p = a.alloc(pattern.n);
      Touch(p, pattern.n);
      a.release(p, pattern.n);
    }
    KELV_BENCH_TOGGLE_COLLECT();
  } else if (pattern.kind == "fifo") {
    std::vector<void *> ptr(pattern.n);
    FifoRound(a, ptr);  // the pages made once before counting
    KELV_BENCH_TOGGLE_COLLECT();
    for (unsigned done = 0; done < pairs; done += pattern.n) FifoRound(a, ptr);
    KELV_BENCH_TOGGLE_COLLECT();
  } else if (pattern.kind == "ws" || pattern.kind == "mixed") {
    LiveSet<A> set(a, pattern.n, pattern.kind == "mixed");
    set.Fill();
    KELV_BENCH_TOGGLE_COLLECT();
    for (unsigned i = 0; i < pairs; ++i) set.Replace(i);
    KELV_BENCH_TOGGLE_COLLECT();
  } else {
    return 1;
  }
  return 0;
}

// Kilobytes in the line "<field>: <n> kB" of /proc/self/status.
long StatusKb(const char *field) {
  FILE *f = fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long kb = -1;
  const size_t n = strlen(field);
  while (kb < 0 && fgets(line, sizeof line, f) != nullptr) {
    if (strncmp(line, field, n) == 0 && line[n] == ':') kb = strtol(line + n + 1, nullptr, 10);
  }
  fclose(f);
  return kb;
}

// Peak resident memory the allocator added for a working set of `live`
// objects through 2 * live replacements (at least a million), per live byte:
// run in a child of its own. The slots are made, and the allocator has served
// one pair, before the resident size is taken and the peak reset.
template <class A>
double PeakPerLiveByte(unsigned live, bool mixed) {
  A a;
  if (!a.ok()) return -1;
  a.release(a.alloc(64), 64);
  LiveSet<A> set(a, live, mixed);
  const long base = StatusKb("VmRSS");
  FILE *clear = fopen("/proc/self/clear_refs", "w");  // "5": the peak starts again from now
  if (clear == nullptr || fputs("5", clear) < 0 || fclose(clear) != 0) return -1;
  set.Fill();
  const unsigned replacements = std::max(2 * live, 1u << 20);
  for (unsigned i = 0; i < replacements; ++i) set.Replace(i);
  const long peak = StatusKb("VmHWM");
  return base < 0 || peak < 0 ? -1 : (peak - base) * 1024.0 / static_cast<double>(set.LiveBytes());
}

struct Contender {
  const char *name;
  void (*lifo)(benchmark::State &, unsigned);
  void (*working_set)(benchmark::State &, unsigned, bool);
  void (*fifo)(benchmark::State &, unsigned);
  int (*counted_pairs)(const Pattern &, unsigned);
  double (*peak_per_live_byte)(unsigned, bool);
};

template <class A>
Contender Make(const char *name) {
  return {name, Lifo<A>, WorkingSet<A>, Fifo<A>, CountedPairs<A>, PeakPerLiveByte<A>};
}

// The pool first, then its references (with checks, the floor), then the
// peers found.
std::vector<Contender> AllocContenders() {
  std::vector<Contender> all = {Make<Pool<false>>("pool"), Make<Pool<true>>("pool-checks"),
                                Make<FloorAdapter>("floor"), Make<Glibc>("glibc")};
  if (Jemalloc() != nullptr) {
    all.push_back(Make<Je<false>>("jemalloc"));
    all.push_back(Make<Je<true>>("jemalloc-sdallocx"));
  }
  if (Mimalloc() != nullptr) {
    all.push_back(Make<Mi<false>>("mimalloc"));
    all.push_back(Make<Mi<true>>("mimalloc-free_size"));
  }
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
    if (allocator == c.name) return c.counted_pairs(Pattern::Parse(pattern), pairs);
  }
  if (allocator == "kmalloc") return Make<Kmalloc>("kmalloc").counted_pairs(Pattern::Parse(pattern), pairs);
  fprintf(stderr, "kelv_bench: no allocator %s\n", allocator.c_str());
  return 2;
}

int PrintMemory(FILE *out) {
  const unsigned lives[] = {1000, 10000, 100000, 1000000};
  fprintf(out, "\npeak resident bytes per live byte (working sets of 8-512 bytes; mixed: 8-8192)\n%-20s",
          "allocator");
  for (unsigned live : lives) fprintf(out, " %9s", ("ws_" + std::to_string(live)).c_str());
  fprintf(out, " %9s\n", "mixed_1000");
  for (const Contender &c : AllocContenders()) {
    if (strcmp(c.name, "pool-checks") == 0) continue;  // the same pages as the pool
    fprintf(out, "%-20s", c.name);
    for (int i = 0; i <= 4; ++i) {
      fflush(out);
      const pid_t pid = fork();
      if (pid == 0) {
        const double per_byte = i < 4 ? c.peak_per_live_byte(lives[i], false)
                                      : c.peak_per_live_byte(1000, true);
        fprintf(out, " %9.3f", per_byte);
        fflush(out);
        _exit(per_byte < 0);
      }
      int status = 0;
      if (pid < 0 || waitpid(pid, &status, 0) != pid || status != 0) fprintf(out, " %9s", "failed");
    }
    fprintf(out, "\n");
  }
  return 0;
}

}  // namespace kelv_bench
