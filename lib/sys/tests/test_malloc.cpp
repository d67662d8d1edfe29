// Tracked heap: counters, refusals of the system heap, and the pool's lines when its pages are refused.
#include <algorithm>

#include <gtest/gtest.h>

#include "test_support.h"

namespace fault = kelv::sys::fault;

static bool Counted(unsigned total, unsigned peak, unsigned allocs, unsigned frees) {
  return total_allocate == total && peak_allocate == peak && no_allocs == allocs && no_frees == frees;
}
// The system heap refuses the next n requests (none: it only counts them).
static bool Refuse(unsigned n) { return fault::arm(fault::Op::kMalloc, 0, n, ENOMEM), true; }
static std::string Heap(int size) { return "sc_kmalloc: do_malloc(" + std::to_string(size) + ") failed\n"; }
static std::string Pages(int n) { return n == 0 ? "" : Pages(n - 1) + Heap(65536 >> (n - 1)); }

TEST(TrackedHeap, CountsAndReports) {
  sc_sz_t *sz = sc_szconstruct("refused-pool-name-is-long");
  const auto body = [sz] {
    total_allocate = peak_allocate = no_allocs = no_frees = 0;  // in a child: they are process-wide
    char *stale = static_cast<char *>(__sc_kmalloc(300));  // its bytes may come back to calloc
    std::fill(stale, stale + 300, 'x');
    __sc_kfree(stale, 300);
    char *zeroed = static_cast<char *>(__sc_kcalloc(10, 30));
    void *small = __sc_kmalloc(50);
    if (std::count(zeroed, zeroed + 300, 0) != 300 || __sc_kfree(nullptr, 7) || __sc_kfree(zeroed, 300) ||
        !Counted(50, 350, 3, 2)) return 1;
    unsigned total = 0, peak = 0, next_peak = 0, page = 0;
    sc_get_mem_stats(&total, &peak);
    sc_get_mem_stats(&total, &next_peak);
    // Freeing more than is counted leaves 0; refused requests stay counted.
    if (total != 50 || peak != 350 || next_peak != 50 || sc_kfree_sz(small, 1000) || !Counted(0, 50, 3, 3) ||
        sc_kmalloc_init() != 0 || !Refuse(1) || __sc_kmalloc(123) || !Counted(123, 123, 4, 3)) return 2;
    // A page request halves, down to 1024 bytes.
    void *got = Refuse(4) ? sc_kmalloc_sz(&page) : nullptr;
    if (got == nullptr || page != 4096 || no_allocs != 9 || sc_kfree_sz(got, page)) return 3;
    if (!Refuse(7) || sc_kmalloc_sz(&page) || page != 512 || no_allocs != 16) return 4;
    // 0 bytes reach malloc; a product beyond 32 bits, or a negative factor, never does.
    volatile int minus_one = -1, big = 65536;  // hidden from the compiler's size checks
    Refuse(0);
    for (void *none : {__sc_kcalloc(0, 7), __sc_kcalloc(7, 0)}) __sc_kfree(none, 0);
    if (__sc_kcalloc(big, big + 1) || __sc_kcalloc(minus_one, 16) || fault::calls(fault::Op::kMalloc) != 2 ||
        no_allocs != 20) return 5;
    // No page at all; a page of 8 KiB, too small for a chunk of 8 KiB and the page header, given back.
    const unsigned counted = total_allocate;
    if (!Refuse(7) || __sc_szalloc(sz, 20, 0, "a.c", 1) || !Refuse(3) ||
        __sc_szalloc(sz, 8180, 0, "b.c", 2)) return 6;
    // Pages of 1 KiB hold one 600-byte chunk: emptied while full, a page moves back and serves again.
    void *one[20];
    __sc_debug_level = 0;  // the refused page requests unlogged from here on
    for (void *&p : one) p = Refuse(6) ? sc_szalloc(sz, 600) : nullptr;
    for (void *p : one) sc_szfree(sz, p, 600);
    sc_szfree(sz, sc_szalloc(sz, 8193), 8193);  // beyond 8192: the tracked heap's
    void *again = sc_szalloc(sz, 600);
    sc_szfree(sz, again, 600);  // not left handed out: memcheck would call it lost
    return again && total_allocate - counted == 130048 + 114688 + 20 * 130048 ? 0 : 7;
  };
  const std::string pool = "['refused-pool-name-i']: ";
  kelv::test::ExpectReported(
      body, Heap(123) + Pages(4) + Pages(7) + Heap(-1) + Heap(-1) + Pages(7) + "szpool_init" + pool +
                "sc_kmalloc_sz() failed\n" + "sc_szalloc" + pool + "szpool_init(1) failed, caller[a.c:1]\n" +
                Pages(3) + "sc_szalloc" + pool + "szpool_init(511) failed, caller[b.c:2]\n");
  sc_szdestruct(sz);
}
