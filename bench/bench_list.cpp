// The intrusive list against std::list ("list" family): a million push and
// pop pairs. The list's elements carry their own links, so no operation
// allocates; std::list allocates and frees a node per pair. The tracked
// heap's allocation counter is reported (as "allocs") to show that the list
// made no request.
#include <kelv/sys.h>
#include <stdint.h>

#include <list>
#include <string>
#include <vector>

#include "bench.h"

namespace kelv_bench {
namespace {

constexpr unsigned kPairs = 1000000;

struct Item {
  sc_elist_link_t link;  // first: the element's address is its link's
  uint64_t value;
};

// A million elements pushed at the back, then popped from the front.
void ElistFillDrain(benchmark::State &state) {
  std::vector<Item> items(kPairs);
  sc_elist_t list = {};
  const unsigned allocs = no_allocs;
  uint64_t sum = 0;
  for (auto _ : state) {
    for (Item &item : items) sc_elist_push_back(&list, &item.link);
    while (sc_elist_link_t *e = sc_elist_pop_front(&list))
      sum += reinterpret_cast<Item *>(e)->value;
  }
  benchmark::DoNotOptimize(sum);
  state.counters["allocs"] = no_allocs - allocs;
  state.SetItemsProcessed(state.iterations() * kPairs);
}

void StdListFillDrain(benchmark::State &state) {
  std::list<uint64_t> list;
  uint64_t sum = 0;
  for (auto _ : state) {
    for (unsigned i = 0; i < kPairs; ++i) list.push_back(i);
    while (!list.empty()) {
      sum += list.front();
      list.pop_front();
    }
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * kPairs);
}

// A list that holds a million elements: each pair moves the front element
// to the back, so the cost per operation is shown not to depend on the
// length.
void ElistRotate(benchmark::State &state) {
  std::vector<Item> items(kPairs);
  sc_elist_t list = {};
  for (Item &item : items) sc_elist_push_back(&list, &item.link);
  const unsigned allocs = no_allocs;
  for (auto _ : state) sc_elist_push_back(&list, sc_elist_pop_front(&list));
  state.counters["allocs"] = no_allocs - allocs;
  state.SetItemsProcessed(state.iterations());
}

void StdListRotate(benchmark::State &state) {
  std::list<uint64_t> list;
  for (unsigned i = 0; i < kPairs; ++i) list.push_back(i);
  for (auto _ : state) {
    const uint64_t v = list.front();
    list.pop_front();
    list.push_back(v);
  }
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

void RegisterListBenchmarks() {
  benchmark::RegisterBenchmark(Name("list", "fill_drain_1000000", "sc_elist").c_str(),
                               ElistFillDrain);
  benchmark::RegisterBenchmark(Name("list", "fill_drain_1000000", "std::list").c_str(),
                               StdListFillDrain);
  benchmark::RegisterBenchmark(Name("list", "rotate_len_1000000", "sc_elist").c_str(), ElistRotate);
  benchmark::RegisterBenchmark(Name("list", "rotate_len_1000000", "std::list").c_str(),
                               StdListRotate);
}

}  // namespace kelv_bench
