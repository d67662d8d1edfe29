/* SPDX-License-Identifier: BSD-2-Clause */
/* The tracked heap: malloc/free with exact counters and sized release.
 *
 * Every block is released with the size it was allocated with, so the layer
 * keeps no per-block header. The counters are plain unsigned 32-bit globals
 * updated without locking: with several threads they are approximate (the
 * system heap underneath stays thread-safe). */
#ifndef KELV_SC_MALLOC_H
#define KELV_SC_MALLOC_H

#include "sc_defs.h"

SC_BEGIN_DECLS

/* Bytes counted as allocated: raised by every request (failed ones too),
 * lowered by every sized free, clamped at 0. */
extern SC_API unsigned int total_allocate;
/* Highest total_allocate since the previous sc_get_mem_stats. */
extern SC_API unsigned int peak_allocate;
/* Allocation requests, failed ones included. */
extern SC_API unsigned int no_allocs;
/* Frees of non-null pointers. */
extern SC_API unsigned int no_frees;

/* Allocates `size` bytes. Counts the request first, whatever the outcome.
 * On failure logs "sc_kmalloc: do_malloc(<size>) failed" at error level and
 * returns NULL. Release with __sc_kfree(ptr, size). */
SC_API void *__sc_kmalloc(unsigned int size) SC_MALLOC SC_ALLOC_SIZE(1);

/* Allocates count * size zeroed bytes (counted and logged as __sc_kmalloc).
 * A negative count or size, or a product that does not fit 32 bits, never
 * reaches the system heap: it is counted in no_allocs (not in total_allocate,
 * which cannot hold it), logged as "sc_kmalloc: do_malloc(-1) failed", and
 * returns NULL. Release with __sc_kfree(ptr, count * size). */
SC_API void *__sc_kcalloc(int count, int size) SC_MALLOC SC_ALLOC_SIZE(1, 2);

/* Releases `ptr`, which was allocated with `size` bytes; NULL does nothing.
 * Always returns 0. */
SC_API int __sc_kfree(void *ptr, unsigned int size);

/* Same as __sc_kfree. */
SC_API int sc_kfree_sz(void *ptr, unsigned int size);

/* Page allocation: tries 65536 bytes, halving after each failure down to
 * 1024. On success returns the block and stores its size in *size (release
 * it with sc_kfree_sz(ptr, *size)). When every size fails returns NULL with
 * *size = 512. Every failed attempt is counted and logged. */
SC_API void *sc_kmalloc_sz(unsigned int *size);

/* Stores total_allocate in *total and peak_allocate in *peak, then lowers
 * the peak to the current total: each call reports the peak since the last. */
SC_API void sc_get_mem_stats(unsigned int *total, unsigned int *peak);

/* Logs the fixed limits at debug level; sets nothing up. Returns 0. */
SC_API int sc_kmalloc_init(void);
/* Logs "sc_kmalloc_fini: done" at debug level. */
SC_API void sc_kmalloc_fini(void);

/* Convenience spellings of the entry points. */
#define sc_kmalloc(size) __sc_kmalloc(size)
#define sc_kcalloc(count, size) __sc_kcalloc((count), (size))
#define sc_kfree(ptr, size) __sc_kfree((ptr), (size))

SC_END_DECLS

#endif /* KELV_SC_MALLOC_H */
