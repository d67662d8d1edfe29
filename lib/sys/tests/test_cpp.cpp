// The C++ companions. Built twice, without and with exceptions, since the
// pool resource's failure path differs.
#include <signal.h>
#include <stdint.h>
#include <string.h>

#include <list>
#include <map>
#include <memory_resource>
#include <new>
#include <string>

#include <gtest/gtest.h>

#include "kelv/sys.hpp"
#include "test_support.h"

namespace {

using namespace kelv::sys;
using kelv::test::FaultGuard;
using kelv::test::RunInChild;
using kelv::test::RunLogged;

TEST(Companions, GuardLocksForItsScopeAndNeverUnlocksWhatItDidNotLock) {
  KMutex m(sc_kmutex_construct("guard", 1, 0));
  ASSERT_TRUE(m);
  {
    KMutexGuard outer(m.get());
    EXPECT_TRUE(outer);
    EXPECT_EQ(sc_kmutex_is_locked(m.get()), 1);
    __sc_debug_level = SC_LOG_NONE;  // the refusal's line is another test's
    KMutexGuard again(m.get());       // the holder relocking: refused
    __sc_debug_level = SC_LOG_ERROR;
    EXPECT_FALSE(again);
  }
  EXPECT_EQ(sc_kmutex_is_locked(m.get()), 0);
  EXPECT_FALSE(KMutexGuard(nullptr));
}

// Everything a resource hands out is aligned as asked, wholly usable, and
// released with its size: after the pool goes the tracked heap is back where
// it started, and small nodes came from pages, not one request each.
TEST(Companions, PoolResourceServesContainersAndEveryAlignment) {
  const kelv::test::ChildResult r = RunInChild([] {
    const unsigned base = total_allocate, allocs = no_allocs;
    {
      SzPool pool(sc_szconstruct("containers"));
      PoolResource resource(pool.get());
      std::pmr::list<int> list(&resource);
      std::pmr::map<int, std::pmr::string> map(&resource);
      for (int i = 0; i < 2000; ++i) {
        list.push_back(i);
        map.emplace(i, "a value long enough to leave the small-string buffer");
      }
      if (no_allocs - allocs > 300) return 1;
      for (size_t align = 1; align <= 4096; align *= 2) {
        for (size_t bytes : {size_t{1}, size_t{100}, size_t{8192}, size_t{9000}}) {
          void *p = resource.allocate(bytes, align);
          if (reinterpret_cast<uintptr_t>(p) % align != 0) return 2;
          memset(p, 0xa5, bytes);
          resource.deallocate(p, bytes, align);
        }
      }
      if (resource.is_equal(PoolResource(pool.get()))) return 3;
    }
    return total_allocate == base ? 0 : 4;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code << r.err;
}

TEST(Companions, PoolResourceFailureFollowsTheExceptionMode) {
  const kelv::test::ChildResult r = RunLogged([] {
    SzPool pool(sc_szconstruct("failure"));
    PoolResource resource(pool.get());
    FaultGuard refuse(kelv::sys::fault::Op::kMalloc, 0, 100, ENOMEM);
#if defined(__cpp_exceptions)
    try {
      (void)resource.allocate(40, 8);
    } catch (const std::bad_alloc &) {
      return 0;
    }
#else
    (void)resource.allocate(40, 8);
#endif
    return 1;
  });
#if defined(__cpp_exceptions)
  EXPECT_TRUE(r.ok()) << r.exit_code << r.err;
#else
  EXPECT_EQ(r.signal, SIGABRT);
  EXPECT_NE(r.err.find("kelv::sys::PoolResource: allocation of 40 bytes failed\n"), std::string::npos);
#endif
}

TEST(Companions, TrackedBlocksAreFreedWithTheirSize) {
  const kelv::test::ChildResult r = RunLogged([] {
    const unsigned base = total_allocate;
    char path[] = "/tmp/kelv-cpp-XXXXXX";
    close(mkstemp(path));
    {
      TrackedBlock text = tracked_strdup("hello");
      text[2] = '\0';  // shortening the text keeps the size it is freed with
      if (sc_file_write(path, "hello", 5) != 0) return 1;
      TrackedBlock whole = read_file(path), head = read_file(path, 3);
      if (strcmp(whole.get(), "hello") != 0 || whole.get_deleter().size != 6) return 2;
      if (strcmp(head.get(), "hel") != 0 || head.get_deleter().size != 4) return 3;
      if (read_file("/nonexistent") || tracked_strdup(nullptr)) return 4;
    }
    unlink(path);
    return total_allocate == base ? 0 : 5;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code;
  EXPECT_EQ(r.err, "sc_file_read_bytes: open(/nonexistent, O_RDONLY) failed\n");
}

}  // namespace
