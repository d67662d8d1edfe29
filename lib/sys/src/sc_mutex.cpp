// Named mutex: an error-checking POSIX mutex in a record that also carries a
// short name, the caller's flags and a hold count.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "sc_os.h"

namespace kelv::sys {
namespace {

// The record's layout is part of the ABI.
static_assert(offsetof(sc_kmutex_t, name) == 0 && offsetof(sc_kmutex_t, flags) == 16 &&
                  offsetof(sc_kmutex_t, n_count) == 20 && offsetof(sc_kmutex_t, mutex) == 24,
              "sc_kmutex_t fields are name, flags, n_count, mutex");
static_assert(sizeof(unsigned) == 4 && sizeof(int) == 4, "flags and n_count are 32-bit");
// The sizes are glibc's (the offsets above hold on every C library).
#if defined(__GLIBC__) && UINTPTR_MAX == 0xffffffffu
static_assert(sizeof(pthread_mutex_t) == 24 && alignof(sc_kmutex_t) == 4 &&
                  sizeof(sc_kmutex_t) == 48,
              "32-bit layout");
#elif defined(__GLIBC__)
static_assert(sizeof(pthread_mutex_t) == 40 && alignof(sc_kmutex_t) == 8 &&
                  sizeof(sc_kmutex_t) == 64,
              "64-bit layout");
#endif

// n_count stays a plain int in the public record; inside the library every
// access is an atomic operation on it, so the lock-free snapshot of
// sc_kmutex_is_locked never races with the holder's updates.
static_assert(alignof(int) == sizeof(int) && __atomic_always_lock_free(sizeof(int), 0),
              "an int is naturally aligned and lock-free atomic");

int count_of(const sc_kmutex_t *m) { return __atomic_load_n(&m->n_count, __ATOMIC_RELAXED); }
int raise_count(sc_kmutex_t *m) { return __atomic_fetch_add(&m->n_count, 1, __ATOMIC_RELAXED); }
int lower_count(sc_kmutex_t *m) { return __atomic_sub_fetch(&m->n_count, 1, __ATOMIC_RELAXED); }

constexpr unsigned kNameSize = 15;  // 14 characters and the terminator

int lock_failed(const char *name, int count, int err) {
  SC_LOG(SC_LOG_ERROR, "sc_kmutex_lock: pthread_mutex_lock() failed, mutex %s n_count %d, err %d\n",
         name, count, err);
  return -1;
}

int unlock_failed(const char *name, int count) {
  SC_LOG(SC_LOG_ERROR, "sc_kmutex_unlock: pthread_mutex_unlock() failed, mutex %s n_count %d\n",
         name, count);
  return -1;
}

}  // namespace

namespace internal {

// Creates the POSIX mutex, then names the record. On failure the name stays
// empty, which tells the destructor there is no mutex to destroy.
int sc_kmutex_init(sc_kmutex_t *m, const char *name, unsigned id, unsigned flags) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
  m->flags = flags;
  const int rc = os::pthread_mutex_init(&m->mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
  if (rc != 0) {
    SC_LOG(SC_LOG_ERROR, "sc_kmutex_init: pthread_mutex_init() failed\n");
    return -1;
  }
  sc_snprintf(m->name, kNameSize, "%s_%x", name != nullptr ? name : "", id);
  m->name[SC_KMUTEX_NAME_LEN - 1] = '\0';
  __atomic_store_n(&m->n_count, 0, __ATOMIC_RELAXED);
  return 0;
}

}  // namespace internal
}  // namespace kelv::sys

using namespace kelv::sys;

sc_kmutex_t *sc_kmutex_construct(const char *name, unsigned int id, unsigned int flags) {
  auto *m = static_cast<sc_kmutex_t *>(os::malloc(sizeof(sc_kmutex_t)));
  if (m == nullptr) {
    SC_LOG(SC_LOG_ERROR, "sc_kmutex_construct: malloc(%d) failed\n",
           static_cast<int>(sizeof(sc_kmutex_t)));
    return nullptr;
  }
  memset(m, 0, sizeof *m);
  if (internal::sc_kmutex_init(m, name, id, flags) < 0) {
    SC_LOG(SC_LOG_ERROR, "sc_kmutex_construct: sc_kmutex_init() failed\n");
    sc_kmutex_destruct(m);
    return nullptr;
  }
  return m;
}

sc_kmutex_t *sc_kmutex_szconstruct(void *, const char *name, unsigned int id, unsigned int flags) {
  return sc_kmutex_construct(name, id, flags);
}

void sc_kmutex_destruct(sc_kmutex_t *m) {
  if (m == nullptr) return;
  if (m->name[0] != '\0') (void)os::pthread_mutex_destroy(&m->mutex);
  free(m);
}

int sc_kmutex_lock(sc_kmutex_t *m) {
  if (m == nullptr) return lock_failed("(null)", 0, EINVAL);
  const int rc = pthread_mutex_lock(&m->mutex);
  if (rc != 0) return lock_failed(m->name, count_of(m), rc);
  // A stray unlock racing with this lock may have lowered the count below 0
  // for a moment; a successful lock never reports a negative count.
  const int previous = raise_count(m);
  return previous < 0 ? 0 : previous;
}

int sc_kmutex_unlock(sc_kmutex_t *m) {
  if (m == nullptr) return unlock_failed("(null)", 0);
  // Lowered first, while the caller still holds the mutex. An unlock that
  // fails came from a thread that does not hold it (the mutex checks its
  // owner): the line shows the lowered count, then the holder's count is
  // given back so the misuse cannot make a held mutex look free.
  const int count = lower_count(m);
  if (pthread_mutex_unlock(&m->mutex) != 0) {
    raise_count(m);
    return unlock_failed(m->name, count);
  }
  return 0;
}

int sc_kmutex_is_locked(sc_kmutex_t *m) { return m != nullptr && count_of(m) > 0 ? 1 : 0; }
