// Named mutex: names, hold counts, error-checking misuse, failures of
// construction, and two threads contending on one record.
#include <errno.h>
#include <pthread.h>
#include <string.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using kelv::sys::fault::Op;
using kelv::test::FaultGuard;
using kelv::test::ExpectReported;

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif
#else
constexpr bool kThreadSanitizer = false;
#endif

struct Destruct {
  void operator()(sc_kmutex_t *m) const { sc_kmutex_destruct(m); }
};
using Mutex = std::unique_ptr<sc_kmutex_t, Destruct>;

TEST(KMutex, NamesAreFormattedAndCut) {
  const Mutex pool(sc_kmutex_construct("pool", 0x1f, 0xabcd));
  ASSERT_NE(pool, nullptr);
  EXPECT_STREQ(pool->name, "pool_1f");
  EXPECT_EQ(pool->flags, 0xabcdu);
  EXPECT_EQ(pool->n_count, 0);
  EXPECT_EQ(sc_kmutex_is_locked(pool.get()), 0);

  const Mutex queue(sc_kmutex_szconstruct(nullptr, "queue", 0xffffffffu, 0));
  ASSERT_NE(queue, nullptr);
  EXPECT_STREQ(queue->name, "queue_ffffffff");

  const Mutex longer(sc_kmutex_szconstruct(queue.get(), "abcdefghijklmnopqrst", 7, 0));
  ASSERT_NE(longer, nullptr);
  EXPECT_STREQ(longer->name, "abcdefghijklmn");
  EXPECT_EQ(longer->name[SC_KMUTEX_NAME_LEN - 1], '\0');

  const Mutex unnamed(sc_kmutex_construct(nullptr, 0, 0));
  ASSERT_NE(unnamed, nullptr);
  EXPECT_STREQ(unnamed->name, "_0");
}

TEST(KMutex, LockReturnsThePreviousCount) {
  const Mutex m(sc_kmutex_construct("m", 1, 0));
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(sc_kmutex_lock(m.get()), 0);
  EXPECT_EQ(sc_kmutex_is_locked(m.get()), 1);
  EXPECT_EQ(m->n_count, 1);
  EXPECT_EQ(sc_kmutex_unlock(m.get()), 0);
  EXPECT_EQ(sc_kmutex_is_locked(m.get()), 0);
  std::thread other([&] {
    EXPECT_EQ(sc_kmutex_lock(m.get()), 0);
    EXPECT_EQ(sc_kmutex_unlock(m.get()), 0);
  });
  other.join();
  EXPECT_EQ(m->n_count, 0);
}

// The error-checking mutex refuses a relock by its holder instead of hanging.
TEST(KMutex, RelockByTheHolderFails) {
  ExpectReported(
      [] {
        sc_kmutex_t *m = sc_kmutex_construct("m", 1, 0);
        if (m == nullptr || sc_kmutex_lock(m) != 0) return 1;
        if (sc_kmutex_lock(m) != -1 || m->n_count != 1) return 2;
        if (sc_kmutex_unlock(m) != 0 || sc_kmutex_is_locked(m) != 0) return 3;
        sc_kmutex_destruct(m);
        return 0;
      },
      "sc_kmutex_lock: pthread_mutex_lock() failed, mutex m_1 n_count 1, err " +
          std::to_string(EDEADLK) + "\n");
}

// A failed unlock reports the lowered count, then restores it: a stray unlock
// never makes a held mutex look free.
TEST(KMutex, UnlockByANonHolderFails) {
  if (kThreadSanitizer) GTEST_SKIP() << "the sanitizer reports this misuse itself";
  ExpectReported(
      [] {
        sc_kmutex_t *idle = sc_kmutex_construct("m", 2, 0);
        if (idle == nullptr || sc_kmutex_unlock(idle) != -1) return 1;
        if (idle->n_count != 0 || sc_kmutex_is_locked(idle) != 0) return 2;
        sc_kmutex_destruct(idle);
        sc_kmutex_t *m = sc_kmutex_construct("m", 3, 0);
        if (m == nullptr || sc_kmutex_lock(m) != 0) return 3;
        int stranger = 0;
        std::thread([&] { stranger = sc_kmutex_unlock(m); }).join();
        if (stranger != -1 || m->n_count != 1 || sc_kmutex_is_locked(m) != 1) return 4;
        if (sc_kmutex_unlock(m) != 0) return 5;  // the holder still can
        sc_kmutex_destruct(m);
        return 0;
      },
      "sc_kmutex_unlock: pthread_mutex_unlock() failed, mutex m_2 n_count -1\n"
      "sc_kmutex_unlock: pthread_mutex_unlock() failed, mutex m_3 n_count 0\n");
}

TEST(KMutex, NullRecords) {
  ExpectReported(
      [] {
        sc_kmutex_destruct(nullptr);
        if (sc_kmutex_is_locked(nullptr) != 0) return 1;
        return sc_kmutex_lock(nullptr) == -1 && sc_kmutex_unlock(nullptr) == -1 ? 0 : 2;
      },
      "sc_kmutex_lock: pthread_mutex_lock() failed, mutex (null) n_count 0, err " +
          std::to_string(EINVAL) +
          "\n"
          "sc_kmutex_unlock: pthread_mutex_unlock() failed, mutex (null) n_count 0\n");
}

TEST(KMutex, RecordAllocationFails) {
  ExpectReported(
      [] {
        FaultGuard refuse(Op::kMalloc, 0, 1, ENOMEM);
        return sc_kmutex_construct("m", 1, 0) == nullptr ? 0 : 1;
      },
      "sc_kmutex_construct: malloc(" + std::to_string(sizeof(sc_kmutex_t)) + ") failed\n");
}

// A record whose mutex was never created is freed without destroying one;
// leak checkers see that it is freed.
TEST(KMutex, MutexCreationFails) {
  ExpectReported(
      [] {
        FaultGuard refuse(Op::kMutexInit, 0, 1, EAGAIN);
        kelv::sys::fault::arm(Op::kMutexDestroy, 1000, 0, 0);  // counts the calls
        if (sc_kmutex_szconstruct(nullptr, "m", 1, 0) != nullptr) return 1;
        if (kelv::sys::fault::calls(Op::kMutexDestroy) != 0) return 2;
        sc_kmutex_destruct(sc_kmutex_construct("m", 1, 0));
        return kelv::sys::fault::calls(Op::kMutexDestroy) == 1 ? 0 : 3;
      },
      "sc_kmutex_init: pthread_mutex_init() failed\n"
      "sc_kmutex_construct: sc_kmutex_init() failed\n");
}

// Two threads contend; a third polls the count without the lock. The shared
// counter must end exact, and every lock finds the count at 0.
TEST(KMutex, ContendingThreadsKeepACounterExact) {
  constexpr int kRounds = 20000;
  const Mutex m(sc_kmutex_construct("shared", 0, 0));
  ASSERT_NE(m, nullptr);
  long counter = 0;
  std::atomic<int> bad_returns{0};
  std::atomic<bool> done{false};
  const auto work = [&] {
    for (int i = 0; i < kRounds; ++i) {
      if (sc_kmutex_lock(m.get()) != 0) ++bad_returns;
      ++counter;
      if (sc_kmutex_unlock(m.get()) != 0) ++bad_returns;
    }
  };
  std::thread poller([&] {
    while (!done.load()) {
      const int locked = sc_kmutex_is_locked(m.get());
      if (locked != 0 && locked != 1) ++bad_returns;
    }
  });
  std::thread a(work), b(work);
  a.join();
  b.join();
  done = true;
  poller.join();
  EXPECT_EQ(counter, 2L * kRounds);
  EXPECT_EQ(bad_returns.load(), 0);
  EXPECT_EQ(sc_kmutex_is_locked(m.get()), 0);
}

}  // namespace
