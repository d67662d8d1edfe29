// The pool allocator's page layout and class rule. Never installed.
#ifndef KELV_SYS_SRC_SC_SZALLOC_INTERNAL_H
#define KELV_SYS_SRC_SC_SZALLOC_INTERNAL_H

#include <stdint.h>

#include "kelv/sc_elist.h"
#include "kelv/sc_szalloc.h"

namespace kelv::sys::internal {

// Every size is derived from the pointer size W: a page header of seven
// words, a chunk header of one word.
struct SzPage {
  sc_elist_link_t link;    // next and previous page of the class's list
  void **free;             // header word of the first free chunk, or null
  char *area;              // first chunk: the byte after this header
  uintptr_t area_size;     // page size less this header
  uintptr_t used;          // chunks handed out
  uintptr_t class_adjust;  // added to the class computed on free; always 0
};
constexpr unsigned kSzPageHeaderSize = sizeof(SzPage);
constexpr unsigned kSzChunkHeaderSize = sizeof(void *);

// Class of a request of `size` <= 8192 bytes: the smallest k whose chunk of
// (k + 1) * 16 bytes holds the request rounded up to a word, plus the header
// word. No division: (roundup(size, W) + W) <= 16 (k + 1) iff
// size + W - 1 < 16 (k + 1).
constexpr unsigned szpool_class_of(unsigned size) { return (size + kSzChunkHeaderSize - 1) >> 4; }

// Makes a page for chunks of `chunk_size` bytes, carved and chained in address
// order, on no list. 0, or -1 (logged when no page could be obtained).
int szpool_init(sc_sz_t *sz, SzPage **page, unsigned int chunk_size);

#if KELV_SYS_TESTING
// The full and available page lists of class k, and the length of a page's
// free-chunk chain.
sc_elist_t *szpool_full_list(sc_sz_t *sz, unsigned int k);
sc_elist_t *szpool_available_list(sc_sz_t *sz, unsigned int k);
unsigned int szpool_free_chunks(const sc_sz_t *sz, const SzPage *page);
#endif

}  // namespace kelv::sys::internal

#endif  // KELV_SYS_SRC_SC_SZALLOC_INTERNAL_H
