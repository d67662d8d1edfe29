// Named mutex: names, counts, misuse, failed construction, contending threads.
#include <dlfcn.h>

#include <thread>

#include <gtest/gtest.h>

#include "kelv/sc_mutex.hpp"
#include "test_support.h"

using kelv::sys::KMutex;
using kelv::sys::fault::Op;

// A lock returns the count held before it. A relock by the holder and an unlock
// by another thread (left to the thread sanitizer) fail, the unlock giving back
// the count it lowered. A mutex never made is never destroyed.
TEST(KMutex, NamesCountsMisuseAndFailedConstruction) {
  const bool tsan = dlsym(RTLD_DEFAULT, "__tsan_init") != nullptr;
  const std::string lock = "sc_kmutex_lock: pthread_mutex_lock() failed, mutex ",
                    unlock = "sc_kmutex_unlock: pthread_mutex_unlock() failed, mutex q_ffffffff ";
  kelv::test::ExpectReported([tsan] {
    int other = -1;
    const KMutex cut(sc_kmutex_szconstruct(&other, "abcdefghijklmnopqrst", 7, 0xabcd));
    const KMutex m(sc_kmutex_construct("q", ~0u, 0));
    if (strcmp(cut->name, "abcdefghijklmn") != 0 || cut->flags != 0xabcd) return 1;
    if (sc_kmutex_lock(m.get()) != 0 || sc_kmutex_lock(m.get()) != -1) return 2;
    if (!tsan) std::thread([&] { other = sc_kmutex_unlock(m.get()); }).join();
    if (other != -1 || !sc_kmutex_is_locked(m.get()) || sc_kmutex_unlock(m.get()) != 0) return 3;
    if (sc_kmutex_is_locked(m.get()) || (!tsan && sc_kmutex_unlock(m.get()) != -1)) return 4;
    if (m->n_count != 0 || sc_kmutex_lock(nullptr) != -1) return 5;
    kelv::sys::fault::arm(Op::kMutexDestroy, ~0u, 0, 0);  // counts the calls
    for (const Op op : {Op::kMalloc, Op::kMutexInit}) {
      kelv::sys::fault::arm(op, 0, 1, ENOMEM);
      if (sc_kmutex_construct("m", 1, 0) != nullptr) return 6;
    }
    sc_kmutex_destruct(sc_kmutex_construct("m", 1, 0));
    return kelv::sys::fault::calls(Op::kMutexDestroy) == 1 ? 0 : 7;
  }, lock + "q_ffffffff n_count 1, err " + std::to_string(EDEADLK) + "\n" +
         (tsan ? "" : unlock + "n_count 0\n" + unlock + "n_count -1\n") + lock +
         "(null) n_count 0, err " + std::to_string(EINVAL) + "\nsc_kmutex_construct: malloc(" +
         std::to_string(sizeof(sc_kmutex_t)) + ") failed\nsc_kmutex_init: pthread_mutex_init() "
         "failed\nsc_kmutex_construct: sc_kmutex_init() failed\n");
}

// Two threads contend while a third reads the count without the lock.
TEST(KMutex, ContendingThreadsKeepACounterExact) {
  const KMutex m(sc_kmutex_construct("shared", 0, 0));
  long counter = 0;
  std::atomic<int> bad{0}, running{2};
  const auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      bad += sc_kmutex_lock(m.get());
      ++counter;
      bad += sc_kmutex_unlock(m.get());
    }
    --running;
  };
  std::thread a(work), b(work);
  while (running > 0) bad += sc_kmutex_is_locked(m.get()) > 1;
  a.join();
  b.join();
  EXPECT_TRUE(counter == 40000 && bad == 0) << counter << " " << bad;
}
