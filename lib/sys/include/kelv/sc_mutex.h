/* SPDX-License-Identifier: BSD-2-Clause */
/* Named, counted wrapper of a POSIX mutex.
 *
 * The mutex is error-checking: a second lock by the thread that holds it, and
 * an unlock by a thread that does not, fail (and are reported) instead of
 * hanging or corrupting the lock. Any thread may lock and unlock a record;
 * construction and destruction must not overlap any other use of it. Failures
 * are logged at error level through SC_LOG. Records come from the system heap
 * (malloc/free), not the tracked heap. */
#ifndef KELV_SC_MUTEX_H
#define KELV_SC_MUTEX_H

#include <pthread.h>

#include "sc_defs.h"

SC_BEGIN_DECLS

#define SC_KMUTEX_NAME_LEN 16

/* Layout fixed for both word sizes: name at 0, flags at 16, n_count at 20,
 * mutex at 24. Read the fields, never write them. */
typedef struct sc_kmutex {
  char name[SC_KMUTEX_NAME_LEN]; /* "<name>_<id in hex>", at most 14 characters */
  unsigned int flags;            /* the caller's; never interpreted */
  int n_count;                   /* hold count; the library updates it atomically:
                                    read it with sc_kmutex_is_locked */
  pthread_mutex_t mutex;
} sc_kmutex_t;

/* Allocates and initialises a record named "<name>_<id in lower-case hex>",
 * cut to 14 characters (a NULL name counts as ""), with `flags` stored as
 * given and a hold count of 0. Returns the record (release it with
 * sc_kmutex_destruct), or NULL after "sc_kmutex_construct: malloc(<n>)
 * failed", or after "sc_kmutex_init: pthread_mutex_init() failed" followed by
 * "sc_kmutex_construct: sc_kmutex_init() failed". */
SC_API sc_kmutex_t *sc_kmutex_construct(const char *name, unsigned int id, unsigned int flags);

/* sc_kmutex_construct(name, id, flags); `sz` is ignored (may be NULL). */
SC_API sc_kmutex_t *sc_kmutex_szconstruct(void *sz, const char *name, unsigned int id,
                                          unsigned int flags);

/* Destroys the mutex and frees the record; NULL does nothing. Whether the
 * mutex is still held is not checked. Reports nothing. */
SC_API void sc_kmutex_destruct(sc_kmutex_t *m);

/* Locks; returns the hold count as it was before (0 when nobody held it).
 * On failure (the caller holds it already; NULL `m`, reported as mutex
 * "(null)" with err EINVAL) returns -1 with "sc_kmutex_lock:
 * pthread_mutex_lock() failed, mutex <name> n_count <n>, err <r>"; the count
 * is unchanged. */
SC_API int sc_kmutex_lock(sc_kmutex_t *m);

/* Lowers the hold count (while the caller still holds the mutex), then
 * unlocks. Returns 0, or -1 with "sc_kmutex_unlock: pthread_mutex_unlock()
 * failed, mutex <name> n_count <lowered count>" when the caller does not hold
 * it; the count is then restored, so a stray unlock does not leave a held
 * mutex looking free. A NULL `m` is reported the same way as
 * mutex "(null)" with n_count 0. */
SC_API int sc_kmutex_unlock(sc_kmutex_t *m);

/* 1 when the hold count is above 0, else 0 (also for NULL). Takes no lock:
 * the answer is a snapshot that may be stale by the time it is used. */
SC_API int sc_kmutex_is_locked(sc_kmutex_t *m);

SC_END_DECLS

#endif /* KELV_SC_MUTEX_H */
