// The C++ companions: lock guard, pool memory resource, buffer and string
// owners. Built twice, with the project's -fno-exceptions and with
// exceptions on, since the resource's failure path differs. Tests that read
// the tracked heap's counters or the diagnostic settings run in a child.
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>

#include <list>
#include <map>
#include <memory_resource>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "kelv/sys.hpp"
#include "test_support.h"

namespace {

using kelv::sys::FileBuffer;
using kelv::sys::KMutex;
using kelv::sys::KMutexGuard;
using kelv::sys::kPoolAlignment;
using kelv::sys::PoolResource;
using kelv::sys::SzPool;
using kelv::sys::TrackedString;
using kelv::sys::fault::Op;
using kelv::test::ChildResult;
using kelv::test::FaultGuard;
using kelv::test::RunInChild;
using kelv::test::RunLogged;
using kelv::test::ScratchDir;

// ---- lock guard ----------------------------------------------------------

TEST(KMutexGuard, HoldsTheLockForItsScope) {
  KMutex m("guard", 1);
  ASSERT_TRUE(m);
  EXPECT_STREQ(m.get()->name, "guard_1");
  {
    KMutexGuard g(m);
    EXPECT_TRUE(g.owns_lock());
    EXPECT_EQ(g.lock_result(), 0);
    EXPECT_TRUE(m.is_locked());
  }
  EXPECT_FALSE(m.is_locked());
}

TEST(KMutexGuard, EarlyUnlockAndRelockReportTheLibraryResults) {
  KMutex m("early", 2);
  KMutexGuard g(m.get());
  EXPECT_EQ(g.unlock(), 0);
  EXPECT_FALSE(g);
  EXPECT_FALSE(m.is_locked());
  EXPECT_EQ(g.unlock(), -1);  // nothing owned: nothing called
  EXPECT_EQ(g.lock(), 0);
  EXPECT_EQ(g.lock(), -1);  // owned already: refused without a call
  EXPECT_TRUE(g.owns_lock());
  EXPECT_TRUE(m.is_locked());
}

TEST(KMutexGuard, MovedGuardUnlocksOnce) {
  KMutex m("moved", 3);
  {
    KMutexGuard outer = [&] {
      KMutexGuard inner(m);
      return inner;
    }();
    EXPECT_TRUE(outer.owns_lock());
    KMutexGuard last(std::move(outer));
    EXPECT_FALSE(outer.owns_lock());
    EXPECT_TRUE(last.owns_lock());
    EXPECT_TRUE(m.is_locked());
  }
  EXPECT_FALSE(m.is_locked());
}

TEST(KMutexGuard, FailedLockIsVisibleAndNeverUnlocked) {
  ChildResult r = RunLogged([] {
    KMutex m("twice", 4);
    KMutexGuard first(m);
    {
      KMutexGuard second(m);  // same thread: the error-checking mutex refuses
      if (second.owns_lock() || second.lock_result() != -1) return 1;
    }
    if (!m.is_locked() || !first.owns_lock()) return 2;  // `second` left it alone
    KMutexGuard none(nullptr);
    return none.lock_result() == -1 && !none ? 0 : 3;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code << r.err;
  EXPECT_NE(r.err.find("sc_kmutex_lock: pthread_mutex_lock() failed, mutex twice_4 n_count 1"),
            std::string::npos)
      << r.err;
}

TEST(KMutexGuard, SerialisesThreads) {
  KMutex m("threads", 5);
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5000; ++i) {
        KMutexGuard g(m);
        ++counter;
      }
    });
  }
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(counter, 4 * 5000);
  EXPECT_FALSE(m.is_locked());
}

TEST(KMutex, OwnerReleasesResetsAndReportsFailure) {
  ChildResult r = RunLogged([] {
    {
      FaultGuard refuse(Op::kMalloc, 0, 1, ENOMEM);
      KMutex failed("nomem", 6);
      if (failed || failed.is_locked()) return 1;
    }
    KMutex a("a", 7);
    KMutex b = std::move(a);
    if (a || !b) return 2;
    sc_kmutex_t *raw = b.release();
    KMutex c = KMutex::adopt(raw);
    c.reset(sc_kmutex_construct("d", 8, 0));
    return c && strcmp(c.get()->name, "d_8") == 0 ? 0 : 3;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code << r.err;
  EXPECT_NE(r.err.find("sc_kmutex_construct: malloc("), std::string::npos) << r.err;
}

// ---- pool memory resource -------------------------------------------------

TEST(PoolResource, ContainersDrawFromPoolPagesAndGiveEverythingBack) {
  ChildResult r = RunInChild([] {
    const unsigned base_total = total_allocate, base_allocs = no_allocs;
    {
      SzPool pool("containers");
      if (!pool) return 1;
      PoolResource resource(pool.get());
      std::pmr::list<int> list(&resource);
      std::pmr::map<int, std::pmr::string> map(&resource);
      std::pmr::vector<long> vector(&resource);
      for (int i = 0; i < 2000; ++i) {
        list.push_back(i);
        map.emplace(i, "a value long enough to leave the small-string buffer");
        vector.push_back(i);
      }
      if (total_allocate <= base_total) return 2;
      // Small nodes come from 64 KiB pages: a few hundred tracked-heap
      // requests at most, not one per node.
      if (no_allocs - base_allocs > 300) return 3;
    }
    return total_allocate == base_total ? 0 : 4;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code << r.err;
}

TEST(PoolResource, ReleasesWithTheAllocatedSize) {
  ChildResult r = RunInChild([] {
    const unsigned base = total_allocate;
    SzPool pool("sizes");
    PoolResource resource(pool.get());
    // Above the largest class the pool is the tracked heap itself, so its
    // byte counter shows the size every release names.
    const unsigned with_pool = total_allocate;
    void *big = resource.allocate(9000, 8);
    if (total_allocate != with_pool + 9000) return 1;
    resource.deallocate(big, 9000, 8);
    if (total_allocate != with_pool) return 2;
    std::vector<std::pair<void *, size_t>> blocks;
    for (size_t n = 0; n <= 12000; n += 37) blocks.emplace_back(resource.allocate(n, 4), n);
    for (size_t i = 0; i < blocks.size(); i += 2) resource.deallocate(blocks[i].first, blocks[i].second, 4);
    for (size_t i = 1; i < blocks.size(); i += 2) resource.deallocate(blocks[i].first, blocks[i].second, 4);
    pool.reset();
    return total_allocate == base ? 0 : 3;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code << r.err;
}

TEST(PoolResource, HonoursEveryAlignment) {
  ChildResult r = RunInChild([] {
    const unsigned base = total_allocate;
    {
      SzPool pool("aligned");
      PoolResource resource(pool.get());
      for (size_t align = 1; align <= 4096; align *= 2) {
        for (size_t bytes : {size_t{1}, size_t{24}, size_t{100}, size_t{8100}, size_t{8192},
                             size_t{9000}}) {
          void *p = resource.allocate(bytes, align);
          if (reinterpret_cast<uintptr_t>(p) % align != 0) return 1;
          if (align <= kPoolAlignment && reinterpret_cast<uintptr_t>(p) % kPoolAlignment != 0) {
            return 2;
          }
          memset(p, 0xa5, bytes);  // all of it is ours (AddressSanitizer checks)
          resource.deallocate(p, bytes, align);
        }
      }
    }
    return total_allocate == base ? 0 : 3;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code << r.err;
}

TEST(PoolResource, TryAllocateRefusesWhatThePoolCannotServe) {
  ChildResult r = RunLogged([] {
    SzPool pool("refusals");
    PoolResource resource(pool.get());
    const unsigned allocs = no_allocs;
    if (resource.try_allocate(16, 3) != nullptr) return 1;             // not a power of two
    if (resource.try_allocate(UINT_MAX - 8, 64) != nullptr) return 2;  // size + alignment overflows
    if (sizeof(size_t) > sizeof(unsigned) &&
        resource.try_allocate(static_cast<size_t>(UINT_MAX) + 1, 1) != nullptr) {
      return 3;
    }
    if (no_allocs != allocs) return 4;  // none of these reached the heap
    PoolResource empty(nullptr);
    if (empty.try_allocate(8) != nullptr) return 5;
    FaultGuard refuse(Op::kMalloc, 0, 100, ENOMEM);
    return resource.try_allocate(40, kPoolAlignment) == nullptr ? 0 : 6;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code << r.err;
  EXPECT_NE(r.err.find("sc_szalloc['refusals']: szpool_init(2) failed"), std::string::npos) << r.err;
}

TEST(PoolResource, AllocateFailureFollowsTheExceptionMode) {
  ChildResult r = RunLogged([] {
    SzPool pool("failure");
    PoolResource resource(pool.get());
    FaultGuard refuse(Op::kMalloc, 0, 100, ENOMEM);
#if defined(__cpp_exceptions)
    try {
      (void)resource.allocate(40, 8);
    } catch (const std::bad_alloc &) {
      return 0;
    }
    return 1;
#else
    (void)resource.allocate(40, 8);
    return 1;
#endif
  });
#if defined(__cpp_exceptions)
  EXPECT_TRUE(r.ok()) << r.exit_code << r.err;
#else
  EXPECT_FALSE(r.exited);
  EXPECT_EQ(r.signal, SIGABRT);
  EXPECT_NE(r.err.find("kelv::sys::PoolResource: allocation of 40 bytes (alignment 8) failed\n"),
            std::string::npos)
      << r.err;
#endif
}

TEST(PoolResource, EqualOnlyToItself) {
  SzPool pool("equality");
  PoolResource a(pool.get()), b(pool.get());
  EXPECT_TRUE(a.is_equal(a));
  EXPECT_FALSE(a.is_equal(b));
  EXPECT_FALSE(a.is_equal(*std::pmr::new_delete_resource()));
  EXPECT_EQ(a.pool(), pool.get());
}

TEST(SzPool, OwnerMovesAndFailsCleanly) {
  ChildResult r = RunLogged([] {
    {
      FaultGuard refuse(Op::kMalloc, 0, 1, ENOMEM);
      SzPool failed("nomem");
      if (failed) return 1;
    }
    const unsigned base = total_allocate;  // the refused request stays counted
    SzPool a("a");
    SzPool b(std::move(a));
    if (a || !b) return 2;
    SzPool c = SzPool::adopt(b.release());
    c = SzPool("d");  // the first pool is destroyed here
    c.reset();
    return total_allocate == base ? 0 : 3;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code << r.err;
}

// ---- buffer and string owners ---------------------------------------------

TEST(FileBuffer, OwnsTheReadBufferAndFreesItWithItsSize) {
  ScratchDir dir;
  kelv::test::WriteFileOrDie(dir / "hello", "hello");
  const std::string path = dir / "hello";
  ChildResult r = RunInChild([&] {
    const unsigned base = total_allocate, frees = no_frees;
    {
      FileBuffer b;
      if (b || b.size() != 0 || b.view() != "") return 1;
      if (b.read(path.c_str()) != 0) return 2;
      if (b.size() != 5 || b.block_size() != 6 || b.view() != "hello") return 3;
      if (strcmp(b.c_str(), "hello") != 0) return 4;
      if (b.read_bytes(path.c_str(), 3) != 0 || b.view() != "hel" || b.block_size() != 4) return 5;
      if (total_allocate != base + 4) return 6;  // the first buffer went back
    }
    return total_allocate == base && no_frees == frees + 2 ? 0 : 7;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code << r.err;
}

TEST(FileBuffer, FailedReadLeavesItEmpty) {
  ScratchDir dir;
  kelv::test::WriteFileOrDie(dir / "five", "12345");
  const std::string five = dir / "five", missing = dir / "missing";
  ChildResult r = RunLogged([&] {
    const unsigned base = total_allocate;
    FileBuffer b;
    if (b.read(five.c_str()) != 0) return 1;
    if (b.read(missing.c_str()) != -1 || b || b.data() != nullptr) return 2;
    if (b.read_bytes(five.c_str(), 6) != -1 || b) return 3;
    return total_allocate == base ? 0 : 4;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code << r.err;
  EXPECT_NE(r.err.find("sc_file_read_bytes: open("), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("sc_file_read_bytes: file size 5 < required bytes 6"), std::string::npos)
      << r.err;
}

TEST(FileBuffer, MovesAdoptsAndReleases) {
  ScratchDir dir;
  kelv::test::WriteFileOrDie(dir / "f", "abc");
  const std::string path = dir / "f";
  ChildResult r = RunInChild([&] {
    const unsigned base = total_allocate;
    char *raw = nullptr;
    unsigned len = 0;
    if (sc_file_read(path.c_str(), &raw, &len) != 0) return 1;
    FileBuffer a(raw, len);
    FileBuffer b;
    if (b.read(path.c_str()) != 0) return 2;
    b = std::move(a);  // b's own buffer is freed, a's is taken over
    if (a || b.view() != "abc" || total_allocate != base + 4) return 3;
    FileBuffer c(std::move(b));
    unsigned n = 0;
    char *out = c.release(&n);
    if (c || n != 4) return 4;
    __sc_kfree(out, n);
    return total_allocate == base ? 0 : 5;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code << r.err;
}

TEST(TrackedString, FreesWithTheSizeOfTheCopyEvenWhenShortened) {
  ChildResult r = RunInChild([] {
    const unsigned base = total_allocate;
    {
      TrackedString s("worker");
      if (!s || s.view() != "worker" || s.block_size() != 7) return 1;
      if (total_allocate != base + 7) return 2;
      s.data()[2] = '\0';  // shortened in place: still released as 7 bytes
      if (s.view() != "wo") return 3;
    }
    if (total_allocate != base) return 4;
    TrackedString adopted = TrackedString::adopt(sc_strdup("xyz"));
    TrackedString other("other");
    other = std::move(adopted);  // "other" is freed here
    if (adopted || other.view() != "xyz" || total_allocate != base + 4) return 5;
    unsigned n = 0;
    char *raw = other.release(&n);
    __sc_kfree(raw, n);
    return total_allocate == base ? 0 : 6;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code << r.err;
}

TEST(TrackedString, NullSourceAndRefusedCopyAreEmpty) {
  ChildResult r = RunLogged([] {
    const unsigned allocs = no_allocs;
    TrackedString none(nullptr);
    if (none || none.view() != "" || none.block_size() != 0 || no_allocs != allocs) return 1;
    FaultGuard refuse(Op::kMalloc, 0, 1, ENOMEM);
    TrackedString refused("abc");
    return refused ? 2 : 0;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code << r.err;
  EXPECT_NE(r.err.find("sc_strdup: sc_malloc(4) failed"), std::string::npos) << r.err;
}

}  // namespace
