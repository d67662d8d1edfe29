/* Named, counted wrapper of a POSIX mutex. */
#ifndef KELV_SC_MUTEX_H
#define KELV_SC_MUTEX_H

#include <pthread.h>

#include "sc_defs.h"

SC_BEGIN_DECLS

#define SC_KMUTEX_NAME_LEN 16

typedef struct sc_kmutex {
  char name[SC_KMUTEX_NAME_LEN]; /* "<name>_<id in hex>", at most 14 characters */
  unsigned int flags;            /* the caller's; never interpreted */
  int n_count;                   /* hold count; read it with sc_kmutex_is_locked */
  pthread_mutex_t mutex;
} sc_kmutex_t;

SC_API sc_kmutex_t *sc_kmutex_construct(const char *name, unsigned int id, unsigned int flags);
SC_API sc_kmutex_t *sc_kmutex_szconstruct(void *sz, const char *name, unsigned int id,
                                          unsigned int flags);
SC_API void sc_kmutex_destruct(sc_kmutex_t *m);
SC_API int sc_kmutex_lock(sc_kmutex_t *m);
SC_API int sc_kmutex_unlock(sc_kmutex_t *m);
SC_API int sc_kmutex_is_locked(sc_kmutex_t *m);

SC_END_DECLS

#endif /* KELV_SC_MUTEX_H */
