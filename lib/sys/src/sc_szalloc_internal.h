// The pool allocator's page layout and class rule. Never installed.
#ifndef KELV_SYS_SRC_SC_SZALLOC_INTERNAL_H
#define KELV_SYS_SRC_SC_SZALLOC_INTERNAL_H

#include <stdint.h>

#include "kelv/sc_szalloc.h"

namespace kelv::sys::internal {

struct SzClass;

// Where a page keeps its free chunks while it is not its class's front page:
// one chain from `free`, the freed chunks last freed first, then the ones
// never handed out, in address order. The page is carved lazily: only the
// first never-used chunk carries a link, tagged, to the chunk after it, and
// each carving links the next one. The front page's chain is kept in its
// class record instead.
struct SzChain {
  uint16_t free;  // offset from the page of the next chunk's header word, or:
  uint16_t used;  // chunks handed out
};
constexpr uint16_t kSzFull = 0;     // `free`: no free chunk
constexpr uint16_t kSzAtFront = 1;  // `free`: the chain is in the class record

// The header of a page: seven words. A page that owns a slot of its pool's
// directory keeps its chain there, where frees find it without touching the
// page; `chain` is then unused.
struct SzPage {
  union {
    SzChain chain;
    uintptr_t chain_word;
  };
  SzPage *next;   // neighbours on the class's available list or the pool's full list
  SzPage *prev;
  SzClass *cls;   // the class, in the owning pool, that this page serves
  sc_sz_t *pool;  // the owning pool
  uintptr_t size; // bytes obtained from the tracked heap
  uintptr_t reserved;
};
constexpr unsigned kSzPageHeaderSize = sizeof(SzPage);
constexpr unsigned kSzChunkHeaderSize = sizeof(void *);

// A chunk's header word holds its page while the chunk is handed out, and a
// link of the chain while it is free. Pages are aligned to twice the word
// size, and header words sit at odd multiples of the word size, so a link
// always has the bit kSzFreeMark set and a page address never does. Bit 0
// (kSzSlowLink) marks the links an allocation cannot simply follow: one to a
// never-used chunk, and the end of the chain, which has no address.
constexpr uintptr_t kSzFreeMark = sizeof(void *);
constexpr uintptr_t kSzSlowLink = 1;

// Class of a request of `size` <= 8192 bytes: the smallest k whose chunk of
// (k + 1) * 16 bytes holds the request rounded up to a word, plus the header
// word. No division: (roundup(size, W) + W) <= 16 (k + 1) iff
// size + W - 1 < 16 (k + 1).
constexpr unsigned szpool_class_of(unsigned size) { return (size + kSzChunkHeaderSize - 1) >> 4; }

}  // namespace kelv::sys::internal

#endif  // KELV_SYS_SRC_SC_SZALLOC_INTERNAL_H
