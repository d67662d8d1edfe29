// SPDX-License-Identifier: BSD-2-Clause
// C++ companion of <kelv/sc_mutex.h>: a std::unique_ptr owner for
// sc_kmutex_t records and a scoped lock. Header-only; C++17; throws nothing.
//
//   kelv::sys::KMutex table_lock(sc_kmutex_construct("table", 1, 0));
//   if (!table_lock) return -1;                  // construction failed (logged)
//   {
//     kelv::sys::KMutexGuard guard(table_lock.get());
//     if (!guard) return -1;                     // lock failed (logged)
//     ...
//   }                                            // unlocked here
#ifndef KELV_SC_MUTEX_HPP
#define KELV_SC_MUTEX_HPP

#if !defined(__cplusplus) || __cplusplus < 201703L
#error "<kelv/sc_mutex.hpp> needs C++17 or later"
#endif

#include <memory>

#include "sc_mutex.h"

namespace kelv::sys {

struct KMutexDestruct {
  void operator()(sc_kmutex_t *m) const noexcept { sc_kmutex_destruct(m); }
};
using KMutex = std::unique_ptr<sc_kmutex_t, KMutexDestruct>;

// Holds the lock of one mutex for a scope: true when sc_kmutex_lock
// succeeded, and only then is the mutex unlocked at the end of the scope. A
// NULL mutex is not locked (false, nothing logged).
class [[nodiscard]] KMutexGuard {
 public:
  explicit KMutexGuard(sc_kmutex_t *m) noexcept : m_(m), owns_(m != nullptr && sc_kmutex_lock(m) >= 0) {}
  ~KMutexGuard() {
    if (owns_) (void)sc_kmutex_unlock(m_);
  }
  KMutexGuard(const KMutexGuard &) = delete;
  KMutexGuard &operator=(const KMutexGuard &) = delete;
  explicit operator bool() const noexcept { return owns_; }

 private:
  sc_kmutex_t *m_;
  bool owns_;
};

}  // namespace kelv::sys

#endif  // KELV_SC_MUTEX_HPP
