// Size-class pool against a model of its pages, through the public interface.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <list>
#include <map>
#include <random>

#include <gtest/gtest.h>

#include "test_support.h"

constexpr unsigned W = sizeof(void *), kPage = 65536;
static unsigned Chunk(unsigned k) { return (k + 1) * 16; }
static unsigned PerPage(unsigned k) { return (kPage - 7 * W) / Chunk(k); }  // after a 7-word header
// The smallest request of class k, whose chunk holds it rounded up to a word, and a header word.
static unsigned Lo(unsigned k) { return k == 0 ? 0 : Chunk(k - 1) - W + 1; }

// A page hands out its last-freed chunk first, then its never-used chunks in address order. A
// class serves from the front page of its available list: new pages enter at the front, full ones
// leave, pages that were full come back at the back, and an unused page that is not the front one
// is released while more than 16 are available. The tracked heap holds just these pages. Unchecked,
// a free naming another class or another pool goes home all the same, and a null free does nothing.
TEST(Pool, RandomUseFollowsTheModel) {
  struct Page { char *first; unsigned fresh, used; std::vector<char *> freed; };
  std::list<Page> pages;
  std::map<unsigned, std::list<Page *>> avail;       // by class
  std::vector<std::tuple<char *, Page *, unsigned>> live;  // chunk, page, class
  std::mt19937 rng(20261206);
  auto size_in = [&](unsigned k) {  // either end of class k, or between
    const unsigned lo = Lo(k), hi = std::min(Lo(k + 1) - 1, 8192u), pick = rng() % 4;
    return pick == 0 ? lo : pick == 1 ? hi : lo + rng() % (hi - lo + 1);
  };
  const unsigned before = total_allocate;
  setenv("KELV_SYS_POOL_CHECKS", "0", 1);
  sc_sz_t *sz = sc_szconstruct("model"), *other = sc_szconstruct("other");
  unsetenv("KELV_SYS_POOL_CHECKS");
  unsigned pool = total_allocate - before, released = 0;
  auto alloc = [&](unsigned k) {
    const unsigned size = size_in(k);
    char *p = static_cast<char *>(sc_szalloc(sz, size));
    memset(p, 0x5a, size);
    if (avail[k].empty()) avail[k].push_front(&pages.emplace_back(Page{p, 0, 0, {}}));
    Page *pg = avail[k].front();
    char *want = pg->freed.empty() ? pg->first + pg->fresh++ * Chunk(k) : pg->freed.back();
    if (!pg->freed.empty()) pg->freed.pop_back();
    EXPECT_EQ(std::make_pair(p, uintptr_t(p) % (2 * W)), std::make_pair(want, uintptr_t{0})) << "class " << k;
    if (++pg->used == PerPage(k)) avail[k].pop_front();
    return std::make_tuple(p, pg, k);
  };
  for (unsigned i = 0; i <= PerPage(0); ++i) alloc(0);  // a full page of class 0, and a new one
  const unsigned kClasses[] = {0, 1, 255, 512, 512, 512};  // phases take class 512 past 17 pages and back
  for (int step = 0; step < 40000 && !HasFailure(); ++step) {
    if (live.empty() || rng() % 100 < ((step / 2500) % 2 ? 30u : 70u)) {
      live.push_back(alloc(kClasses[rng() % 6]));
    } else {
      std::swap(live[rng() % live.size()], live.back());
      auto [p, pg, k] = live.back();
      live.pop_back();
      if (rng() % 50 == 0) sc_szfree(sz, nullptr, size_in(k));
      sc_szfree(rng() % 8 ? sz : other, p, size_in(rng() % 8 ? k : kClasses[rng() % 6]));
      pg->freed.push_back(p);
      if (pg->used-- == PerPage(k)) {
        avail[k].push_back(pg);
      } else if (pg->used == 0 && avail[k].front() != pg && avail[k].size() > 16) {
        avail[k].remove(pg);
        ++released;
      }
    }
    EXPECT_EQ(total_allocate - before, pool + (pages.size() - released) * kPage);
  }
  sc_szdestruct(sz);
  sc_szdestruct(other);
  EXPECT_EQ(total_allocate, before);
}

// A free with a size of another class, into another pool, or a second time aborts with one line naming
// the pool, the pointer and the mistake when the checks are on (KELV_SYS_POOL_CHECKS=1, or unset in a
// build with assertions). With them off nothing is checked; the first two frees find the chunk's page
// all the same, so its own pool hands it out again.
TEST(Pool, MisuseAbortsWhenChecked) {
#ifdef NDEBUG
  const bool checked_by_default = false;
#else
  const bool checked_by_default = true;
#endif
  struct Case { unsigned size; bool other_pool, twice; const char *pool, *mistake; };
  const Case cases[] = {{100, false, false, "a", " freed with size 100 (class 6), allocated in class 2"},
                        {40, true, false, "b", " belongs to another pool"},
                        {40, false, true, "a", " freed twice"}};
  for (const char *mode : {"1", "0", static_cast<const char *>(nullptr)}) {
    const bool checked = mode != nullptr ? *mode == '1' : checked_by_default;
    for (const Case &c : cases) {
      if (c.twice && !checked) continue;  // unchecked, a second free corrupts the page's chain
      const kelv::test::ChildResult r = kelv::test::RunInChild([&] {
        mode != nullptr ? setenv("KELV_SYS_POOL_CHECKS", mode, 1) : unsetenv("KELV_SYS_POOL_CHECKS");
        sc_sz_t *a = sc_szconstruct("a"), *b = sc_szconstruct("b");
        void *p = sc_szalloc(a, 40);
        printf("%p", p);
        fflush(stdout);
        if (c.twice) sc_szfree(a, p, 40);
        sc_szfree(c.other_pool ? b : a, p, c.size);
        const bool home = sc_szalloc(a, 40) == p;
        sc_szdestruct(a);
        sc_szdestruct(b);
        return home ? 0 : 1;
      });
      const std::string line = "sc_szfree['" + std::string(c.pool) + "']: " + r.out + c.mistake + "\n";
      const auto want = checked ? std::make_pair(SIGABRT, line) : std::make_pair(0, std::string());
      EXPECT_EQ(std::make_pair(r.signal, r.err), want) << (mode != nullptr ? mode : "unset") << c.mistake;
      EXPECT_EQ(r.ok(), !checked);
    }
  }
}
