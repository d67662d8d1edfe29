/* SPDX-License-Identifier: BSD-2-Clause */
/* Size-class pool allocator for many small, short-lived objects.
 *
 * Requests of up to SC_SZ_MAX_ALLOC (8192) bytes come from 513 size classes:
 * class k has chunks of (k + 1) * 16 bytes, each a header word (one pointer)
 * followed by the caller's bytes, so class k serves requests up to
 * (k + 1) * 16 - sizeof(void *) bytes. Each class carves its chunks out of
 * pages of 64 KiB (down to 1 KiB when memory is short) taken from the tracked
 * heap; a page starts with a header of seven pointer-sized words. Larger
 * requests go straight to the tracked heap.
 *
 * Pointers returned for pooled requests are aligned to twice the pointer size
 * (8 bytes on i386, 16 on x86-64); oversized requests have malloc's alignment.
 *
 * The caller passes the size again when freeing: any size of the same class
 * will do for pooled requests, exactly the allocated size for larger ones.
 * Each page records its class and its pool, so a pooled chunk freed with a
 * size of another class, or through another pool, still goes back to its own
 * page. Freeing a chunk twice, or a pointer that no pool handed out, corrupts
 * the allocator.
 *
 * Misuse checks, chosen when the pool is constructed: on when the environment
 * variable KELV_SYS_POOL_CHECKS is "1", off when it is "0", otherwise on only
 * in a build of the library with assertions (NDEBUG not defined). With them
 * on, a free with a size of another class, through another pool, or of a
 * chunk already free aborts the process after one line on standard error:
 *   sc_szfree['<pool>']: <pointer> freed with size <n> (class <k>),
 *     allocated in class <j>
 *   sc_szfree['<pool>']: <pointer> belongs to another pool
 *   sc_szfree['<pool>']: <pointer> freed twice
 * Off, nothing is checked.
 *
 * In an AddressSanitizer build, free chunks, chunk header words, the bytes of
 * a chunk past its request and the unused tail of each page are poisoned;
 * under valgrind the pool is described to memcheck as a mempool; so a use
 * after free or a write past a request is reported by either tool.
 *
 * Allocation and free are constant time and make no system call except when
 * a page is made or released. One thread at a time per allocator; no locks. */
#ifndef KELV_SC_SZALLOC_H
#define KELV_SC_SZALLOC_H

#include "sc_defs.h"

SC_BEGIN_DECLS

/* Opaque allocator object. */
typedef struct sc_sz sc_sz_t;

#define SC_SZ_MAX_ALLOC 8192

/* Makes an empty allocator on the tracked heap, named with the first 19
 * characters of `name` (a NULL name gives an empty name); the name appears in
 * its failure lines. Reads KELV_SYS_POOL_CHECKS once, for its misuse checks.
 * On failure logs "sc_szconstruct: sc_kmalloc(<size>) failed" at error level
 * and returns NULL. Release with sc_szdestruct. */
SC_API sc_sz_t *sc_szconstruct(const char *name);

/* Gives every page back to the tracked heap (each with the size it was
 * obtained with), then the allocator itself. Chunks still handed out become
 * invalid; oversized blocks are the caller's to free. NULL does nothing. */
SC_API void sc_szdestruct(sc_sz_t *sz);

/* Returns `size` bytes, or NULL. A request above SC_SZ_MAX_ALLOC is
 * __sc_kmalloc(size). Otherwise the chunk comes from the front page of its
 * class; when the class has no free chunk a new page is made, and if that
 * fails logs "szpool_init['<name>']: sc_kmalloc_sz() failed" (when no page
 * could be obtained) and "sc_szalloc['<name>']: szpool_init(<class>) failed,
 * caller[<file>:<line>]" at error level and returns NULL. `reserved` is
 * ignored; `file` and `line` name the caller for that line (sc_szalloc()
 * supplies them). Release with __sc_szfree(sz, ptr, size). */
SC_API void *__sc_szalloc(sc_sz_t *sz, unsigned int size, unsigned int reserved,
                          const char *file, int line) SC_MALLOC SC_ALLOC_SIZE(2);

/* Releases `ptr` from __sc_szalloc(sz, size', ...), where `size` is in the
 * class of size' (for size' above SC_SZ_MAX_ALLOC: size == size'); NULL does
 * nothing. A page that becomes completely free is given back to the tracked
 * heap when its class holds more than 16 pages with free chunks, unless it is
 * the page the class allocates from. */
SC_API void __sc_szfree(sc_sz_t *sz, void *ptr, unsigned int size);

/* The largest request served from the classes: SC_SZ_MAX_ALLOC. */
SC_API unsigned int sc_sz_get_max_alloc(void);

/* Allocation with the caller's file and line supplied, and its release. */
#define sc_szalloc(sz, size) __sc_szalloc((sz), (size), 0, __FILE__, __LINE__)
#define sc_szfree(sz, ptr, size) __sc_szfree((sz), (ptr), (size))

SC_END_DECLS

#endif /* KELV_SC_SZALLOC_H */
