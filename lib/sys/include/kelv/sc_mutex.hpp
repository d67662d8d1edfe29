// SPDX-License-Identifier: BSD-2-Clause
// C++ companion of <kelv/sc_mutex.h>: an owner for sc_kmutex_t records and
// an RAII lock guard. Header-only (nothing here is in the shared library);
// C++17; works with or without exceptions (it throws none).
//
//   kelv::sys::KMutex table_lock("table", 1);   // sc_kmutex_construct
//   if (!table_lock) return -1;                  // construction failed (logged)
//   {
//     kelv::sys::KMutexGuard guard(table_lock);  // sc_kmutex_lock
//     if (!guard) return -1;                     // lock failed (logged)
//     ...
//   }                                            // sc_kmutex_unlock
//
// A guard whose unlock result matters calls unlock() itself and checks it;
// the destructor can only drop it (the library has logged the failure).
#ifndef KELV_SC_MUTEX_HPP
#define KELV_SC_MUTEX_HPP

#if !defined(__cplusplus) || __cplusplus < 201703L
#error "<kelv/sc_mutex.hpp> needs C++17 or later"
#endif

#include <utility>

#include "sc_mutex.h"

namespace kelv::sys {

// Owns one sc_kmutex_t: made by sc_kmutex_construct, released with
// sc_kmutex_destruct. Empty (false) when construction failed. Move-only.
class KMutex {
 public:
  KMutex() noexcept = default;
  KMutex(const char *name, unsigned int id, unsigned int flags = 0) noexcept
      : m_(sc_kmutex_construct(name, id, flags)) {}
  // Takes over a record made by sc_kmutex_construct (or NULL).
  static KMutex adopt(sc_kmutex_t *m) noexcept { return KMutex(m); }

  KMutex(KMutex &&other) noexcept : m_(other.release()) {}
  KMutex &operator=(KMutex &&other) noexcept {
    reset(other.release());
    return *this;
  }
  KMutex(const KMutex &) = delete;
  KMutex &operator=(const KMutex &) = delete;
  ~KMutex() { sc_kmutex_destruct(m_); }

  sc_kmutex_t *get() const noexcept { return m_; }
  explicit operator bool() const noexcept { return m_ != nullptr; }
  // sc_kmutex_is_locked: a snapshot, false for an empty owner.
  bool is_locked() const noexcept { return m_ != nullptr && sc_kmutex_is_locked(m_) != 0; }
  // Gives the record up without destroying it.
  sc_kmutex_t *release() noexcept { return std::exchange(m_, nullptr); }
  // Destroys the record held (if any) and takes `m`.
  void reset(sc_kmutex_t *m = nullptr) noexcept { sc_kmutex_destruct(std::exchange(m_, m)); }

 private:
  explicit KMutex(sc_kmutex_t *m) noexcept : m_(m) {}
  sc_kmutex_t *m_ = nullptr;
};

// Holds the lock of one sc_kmutex_t for a scope. The constructor locks and
// keeps sc_kmutex_lock's result (lock_result(): the hold count before the
// lock, normally 0, or -1 when the lock failed); the guard owns the lock only
// when that result is not negative, and only then does its destructor
// unlock. A NULL mutex is not locked (lock_result() -1, nothing logged).
// Move-only; a guard is not shared between threads.
class [[nodiscard]] KMutexGuard {
 public:
  explicit KMutexGuard(sc_kmutex_t *m) noexcept : m_(m) { (void)lock(); }
  explicit KMutexGuard(const KMutex &m) noexcept : KMutexGuard(m.get()) {}

  KMutexGuard(KMutexGuard &&other) noexcept
      : m_(other.m_), lock_result_(other.lock_result_), owns_(std::exchange(other.owns_, false)) {}
  KMutexGuard &operator=(KMutexGuard &&) = delete;
  KMutexGuard(const KMutexGuard &) = delete;
  KMutexGuard &operator=(const KMutexGuard &) = delete;
  ~KMutexGuard() {
    if (owns_) (void)sc_kmutex_unlock(m_);
  }

  // Locks again after unlock(): sc_kmutex_lock's result, and the guard owns
  // the lock when it is not negative. Locking while owning is refused (-1,
  // nothing called): the mutex is error-checking and would refuse it too.
  [[nodiscard]] int lock() noexcept {
    if (m_ == nullptr || owns_) return lock_result_ = -1;
    lock_result_ = sc_kmutex_lock(m_);
    owns_ = lock_result_ >= 0;
    return lock_result_;
  }
  // Unlocks before the end of the scope: sc_kmutex_unlock's result (0, or -1
  // after its error line). The guard no longer owns the lock either way.
  // Without a lock owned returns -1 and calls nothing.
  int unlock() noexcept {
    if (!owns_) return -1;
    owns_ = false;
    return sc_kmutex_unlock(m_);
  }

  bool owns_lock() const noexcept { return owns_; }
  explicit operator bool() const noexcept { return owns_; }
  int lock_result() const noexcept { return lock_result_; }
  sc_kmutex_t *mutex() const noexcept { return m_; }

 private:
  sc_kmutex_t *m_;
  int lock_result_ = -1;
  bool owns_ = false;
};

}  // namespace kelv::sys

#endif  // KELV_SC_MUTEX_HPP
