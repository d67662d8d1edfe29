// Size-class pool allocator: 513 classes of 16-byte steps over pages from the
// tracked heap. A class serves from the front of its list of pages with free
// chunks; full pages wait on the pool's list until a chunk comes back.
//
// Layout of a page of P bytes (W = pointer size, chunk size C = (k + 1) * 16):
//
//   | page header: 7 words | chunk 0 | chunk 1 | ... | chunk n-1 | tail |
//                          ^ page + 7W, n = (P - 7W) / C
//   chunk: | header word | caller's bytes ... |
//
// Caller pointers sit at page + 8W + j * C, a multiple of 2W from the page
// start, and pages come from malloc. A chunk handed out holds its page in its
// header word. A page of 64 KiB is also found, with its chain of free chunks,
// in the pool's page directory: then neither an allocation nor a free reads
// the page header or the freed chunk. The front page of a class, which
// allocation serves from, keeps its chain in the class record instead, so
// that LIFO use of a class touches nothing else.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "sc_os.h"
#include "sc_string_internal.h"
#include "sc_szalloc_internal.h"

#if defined(__SANITIZE_ADDRESS__)
#define KELV_SYS_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KELV_SYS_ASAN 1
#endif
#endif
#if KELV_SYS_ASAN
#include <sanitizer/asan_interface.h>
#endif
#if KELV_SYS_HAVE_VALGRIND
#include <valgrind/memcheck.h>
#endif

namespace kelv::sys {
namespace internal {

// The available pages of one class, and the chain of the front one, which
// allocation serves from. The front page is never full (a page leaves the
// list when its last chunk is handed out) and never released, so its count
// of chunks handed out is not kept: it leaves the front full.
struct SzClass {
  void **free;    // the front page's next chunk (its header word); no_page() when none
  SzPage *head;   // the front page
  SzPage *tail;
  uint32_t span;  // the front page's size, 0 when none: a free tests it without the page header
  uint32_t count;
};

// A slot of the page directory: the full-size page that starts in the slot's
// 64 KiB window, and its chain.
struct SzSlot {
  uint32_t page;  // see page_id
  SzChain chain;
};

}  // namespace internal

namespace {

using internal::SzChain;
using internal::SzClass;
using internal::SzPage;
using internal::SzSlot;

constexpr unsigned kWord = sizeof(void *);
constexpr unsigned kMaxAlloc = SC_SZ_MAX_ALLOC;
constexpr unsigned kClasses = internal::szpool_class_of(kMaxAlloc) + 1;
constexpr unsigned kKeepPages = 16;  // completely free pages beyond this are released
constexpr unsigned kNameSize = 20;
constexpr const char *kChecksVar = "KELV_SYS_POOL_CHECKS";
constexpr unsigned kSlots = 4096;  // one per window, over 256 MiB
constexpr unsigned kWindowShift = 16;  // full-size pages: 64 KiB

// The allocator object keeps the size it has always had (a name and two
// 32-character-named list headers per class); the class records use less.
constexpr size_t kObjectSize =
    (kNameSize + 4 + kClasses * 2 * sizeof(sc_elist_t) + kWord - 1) / kWord * kWord;

static_assert(kClasses == 513, "classes 0..512");
static_assert(internal::kSzPageHeaderSize == 7 * kWord, "page header of seven words");
static_assert((internal::kSzPageHeaderSize + internal::kSzChunkHeaderSize) % (2 * kWord) == 0,
              "caller pointers are aligned to twice the pointer size");
static_assert(alignof(max_align_t) % (2 * kWord) == 0, "pages are aligned to twice the word size");
static_assert(kMaxAlloc + kWord <= kClasses * 16, "the largest request fits class 512");

// The literal rule: round up to a word, add the header word, round up to 16,
// subtract 16, divide by 16.
constexpr unsigned literal_class(unsigned s) {
  return (((s + kWord - 1) / kWord * kWord + kWord + 15) / 16 * 16 - 16) / 16;
}
constexpr bool class_rule_holds(unsigned from, unsigned to) {
  for (unsigned s = from; s <= to; ++s)
    if (internal::szpool_class_of(s) != literal_class(s)) return false;
  return true;
}
static_assert(class_rule_holds(0, 4096) && class_rule_holds(4097, kMaxAlloc),
              "the shift computes the literal class rule");

// The modes chosen at construction. Plain is the fast path; any other mode
// takes a second instantiation of the hot paths.
enum Mode : uint8_t {
  kMemcheck = 1,  // running under valgrind: chunks described to memcheck
  kChecks = 2,    // frees checked for misuse
};

}  // namespace
}  // namespace kelv::sys

struct sc_sz_used {
  char name[kelv::sys::kNameSize];
  uint32_t plain_below;  // sizes below this take the plain paths: 8193, or 0 in another mode
  uint8_t mode;
  kelv::sys::SzPage *full;  // pages of every class with no free chunk, in no order
  uintptr_t high;           // address bits above those a directory slot holds
  kelv::sys::SzClass classes[kelv::sys::kClasses];
  kelv::sys::SzSlot slots[kelv::sys::kSlots];  // the page directory
};

struct sc_sz : sc_sz_used {
  char unused[kelv::sys::kObjectSize - sizeof(sc_sz_used)];
};

namespace kelv::sys {
namespace {

static_assert(sizeof(sc_sz) == kObjectSize, "object size kept");

inline unsigned chunk_size_of(unsigned k) { return (k + 1) << 4; }
inline unsigned class_index(const sc_sz *sz, const SzClass *cls) {
  return static_cast<unsigned>(cls - sz->classes);
}

inline void **chain_end() {
  return reinterpret_cast<void **>(internal::kSzFreeMark | internal::kSzSlowLink);
}
inline bool slow_link(const void *link) {
  return (reinterpret_cast<uintptr_t>(link) & internal::kSzSlowLink) != 0;
}
inline void *never_used(char *chunk) { return chunk + internal::kSzSlowLink; }

// The `free` of a class with no page: a word holding the end of the chain,
// so that allocation finds it on its slow path without a test of its own.
void *const kNoPage = reinterpret_cast<void *>(internal::kSzFreeMark | internal::kSzSlowLink);
inline void **no_page() { return const_cast<void **>(&kNoPage); }

// The page directory: a full-size page may own the slot of the 64 KiB window
// it starts in (one page at most starts in a window), so the page of an
// address starts in the address's window or the one before. A page whose
// slot was taken, and a smaller page, keep their chain in their header and
// are found through the chunk's header word.
inline SzSlot &slot_of(sc_sz *sz, uintptr_t window) { return sz->slots[window & (kSlots - 1)]; }
inline uintptr_t window_of(const void *p) { return reinterpret_cast<uintptr_t>(p) >> kWindowShift; }
inline char *base(SzPage *page) { return reinterpret_cast<char *>(page); }
inline uint16_t offset_in(SzPage *page, void **word) {
  return static_cast<uint16_t>(reinterpret_cast<char *>(word) - base(page));
}

// A slot names its page by bits 4-35 of its address; the bits above are the
// pool object's own (`high`), and a page elsewhere gets no slot. 0: no page.
constexpr unsigned kIdShift = 4;
constexpr unsigned kHighShift = sizeof(uintptr_t) > 4 ? 36 : 0;

inline uintptr_t high_bits_of(const void *p) {
  const auto addr = reinterpret_cast<uintptr_t>(p);
  if constexpr (kHighShift == 0) return 0;
  return addr >> (kHighShift % (8 * sizeof(uintptr_t))) << (kHighShift % (8 * sizeof(uintptr_t)));
}

inline uint32_t page_id(const sc_sz *sz, const SzPage *page) {
  if (high_bits_of(page) != sz->high) return 0;
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(page) >> kIdShift);
}

inline uintptr_t start_of(const sc_sz *sz, const SzSlot &slot) {
  return sz->high | uintptr_t{slot.page} << kIdShift;
}

// Where a page not at the front keeps its chain.
inline SzChain *chain_of(SzPage *page) {
  SzSlot &slot = slot_of(page->pool, window_of(page));
  return slot.page != 0 && slot.page == page_id(page->pool, page) ? &slot.chain : &page->chain;
}

// The page of a chunk handed out by `sz`, and its chain, from the directory:
// the page that starts in the chunk's window at or below the chunk, else the
// one that starts in the window before. False when the directory does not
// know it.
inline bool find_page(sc_sz *sz, void **chunk, SzPage **page, SzChain **chain) {
  const auto addr = reinterpret_cast<uintptr_t>(chunk);
  SzSlot *slot = &slot_of(sz, addr >> kWindowShift);
  uintptr_t start = start_of(sz, *slot);
  if (slot->page == 0 || addr - start >= (1u << kWindowShift)) {
    slot = &slot_of(sz, (addr >> kWindowShift) - 1);
    start = start_of(sz, *slot);
    if (slot->page == 0 || addr - start >= (1u << kWindowShift)) return false;
  }
  *page = reinterpret_cast<SzPage *>(start);
  *chain = &slot->chain;
  return true;
}

// The chunk lies on the front page of `cls`.
inline bool on_front_page(const SzClass *cls, void **chunk) {
  return reinterpret_cast<uintptr_t>(chunk) - reinterpret_cast<uintptr_t>(cls->head) < cls->span;
}

// `page`, first on the available list of `cls` (or none), becomes its front
// page: its chain moves into the class record.
void set_front(SzClass *cls, SzPage *page) {
  if (page == nullptr) {
    cls->free = no_page();
    cls->span = 0;
    return;
  }
  SzChain *chain = chain_of(page);
  cls->free = reinterpret_cast<void **>(base(page) + chain->free);
  chain->free = internal::kSzAtFront;
  cls->span = static_cast<uint32_t>(page->size);
}

void unlink(SzPage **head, SzPage **tail, SzPage *page) {
  (page->prev != nullptr ? page->prev->next : *head) = page->next;
  if (page->next != nullptr) {
    page->next->prev = page->prev;
  } else if (tail != nullptr) {
    *tail = page->prev;
  }
}

// Debug aids: free chunks, header words and page tails are made inaccessible
// to AddressSanitizer and memcheck; handed-out chunks are memcheck mempool
// blocks. The ASan calls compile to nothing in a plain build, the memcheck
// ones unless kMemcheck.
template <bool kMemcheck>
inline void hide(const void *p, size_t n) {
#if KELV_SYS_ASAN
  ASAN_POISON_MEMORY_REGION(p, n);
#endif
#if KELV_SYS_HAVE_VALGRIND
  if constexpr (kMemcheck) VALGRIND_MAKE_MEM_NOACCESS(p, n);
#endif
  (void)p, (void)n;
}

// Makes a chunk's header word readable and writable until hidden again.
template <bool kMemcheck>
inline void open_word(void **word) {
#if KELV_SYS_ASAN
  ASAN_UNPOISON_MEMORY_REGION(word, kWord);
#endif
#if KELV_SYS_HAVE_VALGRIND
  if constexpr (kMemcheck) VALGRIND_MAKE_MEM_DEFINED(word, kWord);
#endif
  (void)word;
}

// A chunk goes to the caller: its header word takes its page.
template <bool kMemcheck>
inline void *hand_out(sc_sz *sz, SzPage *page, void **chunk, unsigned size) {
  *chunk = page;
  hide<kMemcheck>(chunk, kWord);
  void *p = chunk + 1;
#if KELV_SYS_ASAN
  ASAN_UNPOISON_MEMORY_REGION(p, size);
#endif
#if KELV_SYS_HAVE_VALGRIND
  if constexpr (kMemcheck) VALGRIND_MEMPOOL_ALLOC(sz, p, size);
#endif
  (void)sz, (void)size;
  return p;
}

// A chunk back on `page`, whichever pool and size the free named.
template <bool kMemcheck>
inline void on_take_back(SzPage *page, void *p, void **chunk) {
#if KELV_SYS_HAVE_VALGRIND
  if constexpr (kMemcheck) VALGRIND_MEMPOOL_FREE(page->pool, p);
#endif
  hide<kMemcheck>(chunk, chunk_size_of(class_index(page->pool, page->cls)));
  (void)page, (void)p;
}

// Gives a page back to the tracked heap with the size it was obtained with.
void release_page(SzPage *page) {
  const auto size = static_cast<unsigned>(page->size);
  SzSlot &slot = slot_of(page->pool, window_of(page));
  if (slot.page != 0 && slot.page == page_id(page->pool, page)) slot.page = 0;
#if KELV_SYS_ASAN
  ASAN_UNPOISON_MEMORY_REGION(page, size);
#endif
  sc_kfree_sz(page, size);
}

// Makes a page for class k, on no list, or logs why it could not.
SzPage *make_page(sc_sz *sz, unsigned k) {
  unsigned page_size = 0;
  void *mem = sc_kmalloc_sz(&page_size);
  if (mem == nullptr) {
    SC_LOG(SC_LOG_ERROR, "szpool_init['%s']: sc_kmalloc_sz() failed\n", sz->name);
    return nullptr;
  }
  const unsigned chunk = chunk_size_of(k), area = page_size - internal::kSzPageHeaderSize;
  if (chunk > area) {
    sc_kfree_sz(mem, page_size);
    return nullptr;
  }
  auto *page = static_cast<SzPage *>(mem);
  char *first = reinterpret_cast<char *>(page + 1);
  page->cls = &sz->classes[k];
  page->size = page_size;
  page->pool = sz;
  SzSlot &slot = slot_of(sz, window_of(page));
  if (page_size == 1u << kWindowShift && slot.page == 0) slot.page = page_id(sz, page);
  chain_of(page)->free = static_cast<uint16_t>(first - base(page));
  *reinterpret_cast<void **>(first) = never_used(first + chunk);
  if (sz->mode & kMemcheck) {
    hide<true>(first, area);
  } else {
    hide<false>(first, area);
  }
  return page;
}

// A class gets a page only when it has none available (its front page is
// never full): the new page is the list's only one, and its front page.
__attribute__((noinline)) bool add_page(sc_sz *sz, SzClass *cls, const char *file, int line) {
  const unsigned k = class_index(sz, cls);
  SzPage *page = make_page(sz, k);
  if (page == nullptr) {
    SC_LOG(SC_LOG_ERROR, "sc_szalloc['%s']: szpool_init(%d) failed, caller[%s:%d]\n", sz->name,
           static_cast<int>(k), internal::printable(file), line);
    return false;
  }
  page->next = page->prev = nullptr;
  cls->head = cls->tail = page;
  cls->count = 1;
  set_front(cls, page);
  return true;
}

// The front page has given its last free chunk: to the full list, with all
// its chunks counted as handed out; the next available page comes to the
// front.
void to_full(sc_sz *sz, SzClass *cls, SzPage *page) {
  SzChain *chain = chain_of(page);
  chain->free = internal::kSzFull;
  chain->used = static_cast<uint16_t>((page->size - internal::kSzPageHeaderSize) /
                                      chunk_size_of(class_index(sz, cls)));
  unlink(&cls->head, &cls->tail, page);
  --cls->count;
  set_front(cls, cls->head);
  page->prev = nullptr;
  page->next = sz->full;
  if (sz->full != nullptr) sz->full->prev = page;
  sz->full = page;
}

// A page that was full has a free chunk again: to the back of the available
// list of its class, and to the front if the list was empty.
__attribute__((noinline)) void to_available(SzPage *page) {
  SzClass *cls = page->cls;
  unlink(&page->pool->full, nullptr, page);
  page->next = nullptr;
  page->prev = cls->tail;
  (cls->tail != nullptr ? cls->tail->next : cls->head) = page;
  cls->tail = page;
  if (++cls->count == 1) set_front(cls, page);
}

// A completely free page, not the front one, goes back to the tracked heap
// when its class has more than kKeepPages available.
__attribute__((noinline)) void release_if_unneeded(SzPage *page) {
  SzClass *cls = page->cls;
  if (cls->count <= kKeepPages) return;
  unlink(&cls->head, &cls->tail, page);
  --cls->count;
  release_page(page);
}

template <bool kMemcheck>
void *take_chunk_slow(sc_sz *sz, unsigned size, SzClass *cls, const char *file, int line);

// Allocation of `size` <= 8192 bytes: the next chunk of the front page of
// its class.
template <bool kMemcheck>
inline void *take_chunk(sc_sz *sz, unsigned size, const char *file, int line) {
  SzClass *cls = &sz->classes[internal::szpool_class_of(size)];
  void **chunk = cls->free;
  open_word<kMemcheck>(chunk);
  auto **next = static_cast<void **>(*chunk);
  if (SC_UNLIKELY(slow_link(next))) return take_chunk_slow<kMemcheck>(sz, size, cls, file, line);
  __builtin_prefetch(next, 1);
  cls->free = next;
  return hand_out<kMemcheck>(sz, cls->head, chunk, size);
}

// The class has no page, or the front page's next chunk was never used: the
// chunk after it, if it fits the page, is the next never-used one; else the
// page is full once this chunk is handed out.
template <bool kMemcheck>
__attribute__((noinline)) void *take_chunk_slow(sc_sz *sz, unsigned size, SzClass *cls,
                                                const char *file, int line) {
  SzPage *page = cls->head;
  if (page == nullptr) {
    if (!add_page(sz, cls, file, line)) return nullptr;
    return take_chunk<kMemcheck>(sz, size, file, line);
  }
  void **chunk = cls->free;
  auto **next = static_cast<void **>(*chunk);
  char *after = reinterpret_cast<char *>(next) - internal::kSzSlowLink;
  const unsigned chunk_size = chunk_size_of(class_index(sz, cls));
  if (next != chain_end() && after + chunk_size <= base(page) + cls->span) {
    open_word<kMemcheck>(reinterpret_cast<void **>(after));
    *reinterpret_cast<void **>(after) = never_used(after + chunk_size);
    hide<kMemcheck>(after, kWord);
    cls->free = reinterpret_cast<void **>(after);
  } else {
    to_full(sz, cls, page);
  }
  return hand_out<kMemcheck>(sz, page, chunk, size);
}

// The one line of a misuse caught by the checks, then abort.
[[noreturn]] __attribute__((noinline, cold)) void misuse(const sc_sz *sz, const void *ptr,
                                                         unsigned size, uintptr_t word) {
  char line[160];
  const auto *page = reinterpret_cast<const SzPage *>(word);
  int n;
  if (word & (2 * kWord - 1)) {
    n = snprintf(line, sizeof line, "sc_szfree['%s']: %p %s\n", sz->name, ptr,
                 word & internal::kSzFreeMark ? "freed twice" : "not from a pool");
  } else if (page->cls < sz->classes || page->cls >= sz->classes + kClasses) {
    n = snprintf(line, sizeof line, "sc_szfree['%s']: %p belongs to another pool\n", sz->name, ptr);
  } else {
    n = snprintf(line, sizeof line,
                 "sc_szfree['%s']: %p freed with size %u (class %u), allocated in class %u\n",
                 sz->name, ptr, size, internal::szpool_class_of(size),
                 static_cast<unsigned>(page->cls - sz->classes));
  }
  if (n > 0) (void)!write(STDERR_FILENO, line, std::min(static_cast<size_t>(n), sizeof line - 1));
  abort();
}

// A free onto a page other than the front page of the size's class: the page
// comes from the directory, else from the chunk's header word. A page that
// was full returns to the back of the available list; one now completely free
// may be released. The lists are the page's own, whatever the size or pool
// given.
template <bool kMemcheck>
__attribute__((noinline)) void give_to_page(sc_sz *sz, void **chunk, void *ptr) {
  if (ptr == nullptr) return;
  SzPage *page;
  SzChain *chain;
  if (kMemcheck || !find_page(sz, chunk, &page, &chain)) {
    page = static_cast<SzPage *>(*chunk);
    chain = chain_of(page);
  }
  const uint16_t old = chain->free;
  if (SC_UNLIKELY(old == internal::kSzAtFront)) {  // another class's size named a front page
    SzClass *cls = page->cls;
    *chunk = cls->free;
    cls->free = chunk;
    on_take_back<kMemcheck>(page, ptr, chunk);
    return;
  }
  *chunk = old != internal::kSzFull ? base(page) + old : static_cast<void *>(chain_end());
  chain->free = offset_in(page, chunk);
  const uint16_t used = --chain->used;
  on_take_back<kMemcheck>(page, ptr, chunk);  // before the page may be released
  if (SC_UNLIKELY(old == internal::kSzFull)) {
    to_available(page);
  } else if (SC_UNLIKELY(used == 0)) {
    release_if_unneeded(page);
  }
}

// Free of a chunk of `size` <= 8192 bytes: back on its page's chain, which
// for the front page of the size's class is in the class record. The checks
// read the chunk's header word: the page it names must serve that class.
template <bool kMemcheck, bool kChecks>
inline void give_chunk(sc_sz *sz, void *ptr, unsigned size) {
  // In integers: a null `ptr` (passed on by the plain path) has no word before it.
  auto **chunk = reinterpret_cast<void **>(reinterpret_cast<uintptr_t>(ptr) - kWord);
  SzClass *cls = &sz->classes[internal::szpool_class_of(size)];
#if KELV_SYS_ASAN
  if (ptr == nullptr) return;  // the word before null has no shadow to unpoison
#endif
  open_word<kMemcheck>(chunk);
  if constexpr (kChecks) {
    const auto word = reinterpret_cast<uintptr_t>(*chunk);
    if (SC_UNLIKELY((word & (2 * kWord - 1)) != 0 || reinterpret_cast<SzPage *>(word)->cls != cls)) {
      misuse(sz, ptr, size, word);
    }
  }
  if (SC_UNLIKELY(!on_front_page(cls, chunk))) return give_to_page<kMemcheck>(sz, chunk, ptr);
  *chunk = cls->free;
  cls->free = chunk;
  on_take_back<kMemcheck>(cls->head, ptr, chunk);
}

// The entry points' other paths: requests above 8192 bytes, null frees,
// and every request in a mode other than plain.
__attribute__((noinline)) void *take_chunk_other(sc_sz *sz, unsigned size, const char *file,
                                                 int line) {
  if (size > kMaxAlloc) return __sc_kmalloc(size);
  if (sz->mode & kMemcheck) return take_chunk<true>(sz, size, file, line);
  return take_chunk<false>(sz, size, file, line);
}

__attribute__((noinline)) void give_chunk_other(sc_sz *sz, void *ptr, unsigned size) {
  if (ptr == nullptr) return;
  if (size > kMaxAlloc) {
    __sc_kfree(ptr, size);
    return;
  }
  switch (sz->mode) {
    case 0:
      return give_chunk<false, false>(sz, ptr, size);
    case kChecks:
      return give_chunk<false, true>(sz, ptr, size);
    case kMemcheck:
      return give_chunk<true, false>(sz, ptr, size);
    default:
      return give_chunk<true, true>(sz, ptr, size);
  }
}

// Checks on when KELV_SYS_POOL_CHECKS is "1", off when "0", else on in a
// build with assertions only.
bool checks_wanted() {
  const char *value = getenv(kChecksVar);
  if (value != nullptr && strcmp(value, "1") == 0) return true;
  if (value != nullptr && strcmp(value, "0") == 0) return false;
#ifdef NDEBUG
  return false;
#else
  return true;
#endif
}

}  // namespace
}  // namespace kelv::sys

using namespace kelv::sys;

sc_sz_t *sc_szconstruct(const char *name) {
  constexpr unsigned kSize = sizeof(sc_sz);
  auto *sz = static_cast<sc_sz *>(__sc_kmalloc(kSize));
  if (sz == nullptr) {
    SC_LOG(SC_LOG_ERROR, "sc_szconstruct: sc_kmalloc(%d) failed\n", static_cast<int>(kSize));
    return nullptr;
  }
  memset(sz, 0, sizeof(sc_sz_used));
  strncpy(sz->name, name != nullptr ? name : "", kNameSize - 1);
  sz->mode = checks_wanted() ? kChecks : 0;
  sz->high = high_bits_of(sz);
  for (SzClass &cls : sz->classes) cls.free = no_page();
#if KELV_SYS_HAVE_VALGRIND
  if (RUNNING_ON_VALGRIND) {
    sz->mode |= kMemcheck;
    VALGRIND_CREATE_MEMPOOL(sz, 0, 0);
  }
#endif
  sz->plain_below = sz->mode == 0 ? kMaxAlloc + 1 : 0;
  return sz;
}

void sc_szdestruct(sc_sz_t *sz) {
  if (sz == nullptr) return;
#if KELV_SYS_HAVE_VALGRIND
  if (sz->mode & kMemcheck) VALGRIND_DESTROY_MEMPOOL(sz);
#endif
  SzPage *lists[kClasses + 1] = {sz->full};
  for (unsigned k = 0; k < kClasses; ++k) lists[k + 1] = sz->classes[k].head;
  for (SzPage *page : lists) {
    while (page != nullptr) {
      SzPage *next = page->next;
      release_page(page);
      page = next;
    }
  }
  __sc_kfree(sz, sizeof(sc_sz));
}

void *__sc_szalloc(sc_sz_t *sz, unsigned int size, unsigned int reserved, const char *file,
                   int line) {
  (void)reserved;
  if (SC_LIKELY(size < sz->plain_below)) return take_chunk<false>(sz, size, file, line);
  return take_chunk_other(sz, size, file, line);
}

// A null pointer never lies on a page: the plain path passes it on.
void __sc_szfree(sc_sz_t *sz, void *ptr, unsigned int size) {
  if (SC_LIKELY(size < sz->plain_below)) return give_chunk<false, false>(sz, ptr, size);
  give_chunk_other(sz, ptr, size);
}

unsigned int sc_sz_get_max_alloc(void) { return kMaxAlloc; }
