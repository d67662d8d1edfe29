/* Size-class pool allocator for many small, short-lived objects. Requests of
 * up to 8192 bytes come from 513 size classes of (k + 1) * 16-byte chunks;
 * larger ones go straight to the tracked heap. The caller passes the size
 * again when freeing (any size of the same class will do). One thread at a
 * time per allocator; no locks. */
#ifndef KELV_SC_SZALLOC_H
#define KELV_SC_SZALLOC_H

#include "sc_defs.h"

SC_BEGIN_DECLS

/* Opaque allocator object. */
typedef struct sc_sz sc_sz_t;

#define SC_SZ_MAX_ALLOC 8192

SC_API sc_sz_t *sc_szconstruct(const char *name);
SC_API void sc_szdestruct(sc_sz_t *sz);
SC_API void *__sc_szalloc(sc_sz_t *sz, unsigned int size, unsigned int reserved,
                          const char *file, int line) SC_MALLOC SC_ALLOC_SIZE(2);
SC_API void __sc_szfree(sc_sz_t *sz, void *ptr, unsigned int size);
SC_API unsigned int sc_sz_get_max_alloc(void);

/* Allocation and release with the caller's file and line supplied. */
#define sc_szalloc(sz, size) __sc_szalloc((sz), (size), 0, __FILE__, __LINE__)
#define sc_szfree(sz, ptr, size) __sc_szfree((sz), (ptr), (size))

SC_END_DECLS

#endif /* KELV_SC_SZALLOC_H */
