// Named mutex: names, hold counts, misuse refused by the error-checking
// mutex, failed construction, and threads contending on one record.
#include <dlfcn.h>

#include <thread>

#include <gtest/gtest.h>

#include "kelv/sc_mutex.hpp"
#include "test_support.h"

using kelv::sys::KMutex;
using S = std::string;
namespace fault = kelv::sys::fault;

// A lock returns the count held before it. A relock by the holder and an
// unlock by a thread not holding the mutex fail (the thread sanitizer reports
// the latter itself); the failed unlock gives back the count it lowered. A
// record whose mutex was never created is freed without destroying one.
TEST(KMutex, NamesCountsMisuseAndFailedConstruction) {
  const bool tsan = dlsym(RTLD_DEFAULT, "__tsan_init") != nullptr;
  const S lock = "sc_kmutex_lock: pthread_mutex_lock() failed, mutex ";
  const S unlock = "sc_kmutex_unlock: pthread_mutex_unlock() failed, mutex queue_ffffffff n_count ";
  kelv::test::ExpectReported([tsan] {
    int stranger = -1;
    const KMutex cut(sc_kmutex_szconstruct(&stranger, "abcdefghijklmnopqrst", 7, 0xabcd));
    const KMutex m(sc_kmutex_construct("queue", ~0u, 0));
    if (S(cut->name) != "abcdefghijklmn" || cut->flags != 0xabcd || S(m->name) != "queue_ffffffff")
      return 1;
    if (sc_kmutex_lock(m.get()) != 0 || sc_kmutex_lock(m.get()) != -1) return 2;
    if (!tsan) std::thread([&] { stranger = sc_kmutex_unlock(m.get()); }).join();
    if (stranger != -1 || !sc_kmutex_is_locked(m.get()) || sc_kmutex_unlock(m.get())) return 3;
    if (sc_kmutex_is_locked(m.get()) || (!tsan && sc_kmutex_unlock(m.get()) != -1)) return 4;
    sc_kmutex_destruct(nullptr);
    if (m->n_count || sc_kmutex_lock(nullptr) != -1 || sc_kmutex_unlock(nullptr) != -1) return 5;
    fault::arm(fault::Op::kMutexDestroy, ~0u, 0, 0);  // counts the calls
    for (const fault::Op op : {fault::Op::kMalloc, fault::Op::kMutexInit}) {
      fault::arm(op, 0, 1, ENOMEM);
      if (sc_kmutex_construct("m", 1, 0) != nullptr) return 6;
    }
    sc_kmutex_destruct(sc_kmutex_construct("m", 1, 0));
    return fault::calls(fault::Op::kMutexDestroy) == 1 ? 0 : 7;
  }, lock + "queue_ffffffff n_count 1, err " + std::to_string(EDEADLK) + "\n" +
         (tsan ? "" : unlock + "0\n" + unlock + "-1\n") + lock + "(null) n_count 0, err " +
         std::to_string(EINVAL) + "\nsc_kmutex_unlock: pthread_mutex_unlock() failed, mutex (null) "
         "n_count 0\nsc_kmutex_construct: malloc(" + std::to_string(sizeof(sc_kmutex_t)) +
         ") failed\nsc_kmutex_init: pthread_mutex_init() failed\n"
         "sc_kmutex_construct: sc_kmutex_init() failed\n");
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
  EXPECT_EQ(counter, 40000);
  EXPECT_EQ(bad, 0);
}
