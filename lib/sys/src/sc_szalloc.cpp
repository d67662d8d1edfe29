// Size-class pool allocator: 513 classes of 16-byte steps, pages from the
// tracked heap on two intrusive lists per class, chunks found by the caller's
// size and a header word pointing at their page.
//
// Layout of a page of P bytes (W = pointer size, chunk size C = (k + 1) * 16):
//
//   | page header: 7 words | chunk 0 | chunk 1 | ... | chunk n-1 | tail |
//                          ^ area = page + 7W, n = (P - 7W) / C
//   chunk: | header word | caller's bytes ... |
//
// The header word holds the page while the chunk is handed out, the next free
// chunk of the page while it is free. Caller pointers sit at page + 8W + j * C,
// a multiple of 2W from the page start, and pages come from malloc.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <initializer_list>

#include "sc_elist_internal.h"
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
namespace {

using internal::SzPage;

constexpr unsigned kWord = sizeof(void *);
constexpr unsigned kMaxAlloc = SC_SZ_MAX_ALLOC;
constexpr unsigned kClasses = internal::szpool_class_of(kMaxAlloc) + 1;
constexpr unsigned kKeepPages = 16;  // completely free pages beyond this are released
constexpr unsigned kNameSize = 20;

static_assert(kClasses == 513, "classes 0..512");
static_assert(internal::kSzPageHeaderSize == 7 * kWord, "page header of seven words");
static_assert(offsetof(SzPage, link) == 0, "a page is its own list element");
static_assert((internal::kSzPageHeaderSize + internal::kSzChunkHeaderSize) % (2 * kWord) == 0,
              "caller pointers are aligned to twice the pointer size");
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

struct SizeClass {
  sc_elist_t full;       // pages with no free chunk
  sc_elist_t available;  // pages with at least one free chunk; allocation uses the front
};

inline unsigned chunk_size_of(unsigned k) { return (k + 1) << 4; }
inline SzPage *page_of(sc_elist_link_t *link) { return reinterpret_cast<SzPage *>(link); }
inline unsigned page_size_of(const SzPage *page) {
  return static_cast<unsigned>(page->area_size) + internal::kSzPageHeaderSize;
}

}  // namespace
}  // namespace kelv::sys

struct sc_sz {
  char name[kelv::sys::kNameSize];
#if KELV_SYS_HAVE_VALGRIND
  bool on_valgrind;  // read once at construction
#endif
  kelv::sys::SizeClass classes[kelv::sys::kClasses];
};

namespace kelv::sys {
namespace {

// Debug aids: free chunks, header words and page tails are made inaccessible
// to AddressSanitizer and memcheck; handed-out chunks are memcheck mempool
// blocks. The hot paths are instantiated twice: kMemcheck = false is the
// normal one (the ASan calls compile to nothing in a plain build), and the
// entry points branch once, on a flag read at construction, to the other.
inline bool watched(const sc_sz *sz) {
#if KELV_SYS_HAVE_VALGRIND
  return SC_UNLIKELY(sz->on_valgrind);
#else
  (void)sz;
  return false;
#endif
}

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

template <bool kMemcheck>
inline void on_hand_out(sc_sz *sz, void *p, unsigned size) {
#if KELV_SYS_ASAN
  ASAN_UNPOISON_MEMORY_REGION(p, size);
#endif
#if KELV_SYS_HAVE_VALGRIND
  if constexpr (kMemcheck) VALGRIND_MEMPOOL_ALLOC(sz, p, size);
#endif
  (void)sz, (void)p, (void)size;
}

template <bool kMemcheck>
inline void on_take_back(sc_sz *sz, void *p, void **chunk, unsigned k) {
#if KELV_SYS_HAVE_VALGRIND
  if constexpr (kMemcheck) VALGRIND_MEMPOOL_FREE(sz, p);
#endif
  hide<kMemcheck>(chunk, chunk_size_of(k));
  (void)sz, (void)p;
}

// Gives a page back to the tracked heap with the size it was obtained with.
void release_page(SzPage *page) {
  const unsigned size = page_size_of(page);
#if KELV_SYS_ASAN
  ASAN_UNPOISON_MEMORY_REGION(page, size);
#endif
  sc_kfree_sz(page, size);
}

__attribute__((noinline)) SzPage *add_page(sc_sz *sz, unsigned k, const char *file, int line) {
  SzPage *page = nullptr;
  if (internal::szpool_init(sz, &page, chunk_size_of(k)) != 0) {
    SC_LOG(SC_LOG_ERROR, "sc_szalloc['%s']: szpool_init(%d) failed, caller[%s:%d]\n", sz->name,
           static_cast<int>(k), internal::printable(file), line);
    return nullptr;
  }
  page->class_adjust = 0;
  elist::push_front(&sz->classes[k].available, &page->link);
  return page;
}

// The chunk's header word takes its page; the caller's bytes follow it.
template <bool kMemcheck>
inline void *hand_out(sc_sz *sz, SzPage *page, void **chunk, unsigned size) {
  *chunk = page;
  hide<kMemcheck>(chunk, kWord);
  void *p = chunk + 1;
  on_hand_out<kMemcheck>(sz, p, size);
  return p;
}

// The chunk was the page's last free one: the page moves to the back of the
// full list. Out of line (and reached by a tail call), like the page
// creation below, so that the common path needs no stack frame.
template <bool kMemcheck>
__attribute__((noinline)) void *hand_out_last(sc_sz *sz, SizeClass *cls, SzPage *page,
                                              void **chunk, unsigned size) {
  elist::pop_front(&cls->available);
  elist::push_back(&cls->full, &page->link);
  return hand_out<kMemcheck>(sz, page, chunk, size);
}

template <bool kMemcheck>
void *take_chunk_from_new_page(sc_sz *sz, unsigned size, const char *file, int line);

// Allocation of `size` <= 8192 bytes: the first free chunk of the front page
// of its class, on a new page when there is none.
template <bool kMemcheck>
inline void *take_chunk(sc_sz *sz, unsigned size, const char *file, int line) {
  SizeClass &cls = sz->classes[internal::szpool_class_of(size)];
  SzPage *page = page_of(cls.available.head);
  if (SC_UNLIKELY(page == nullptr || page->free == nullptr)) {
    return take_chunk_from_new_page<kMemcheck>(sz, size, file, line);
  }
  void **chunk = page->free;
  open_word<kMemcheck>(chunk);
  page->free = static_cast<void **>(*chunk);
  ++page->used;
  if (SC_UNLIKELY(page->free == nullptr)) {
    return hand_out_last<kMemcheck>(sz, &cls, page, chunk, size);
  }
  return hand_out<kMemcheck>(sz, page, chunk, size);
}

// A new page goes to the front of the available list; the chunk comes from it.
template <bool kMemcheck>
__attribute__((noinline)) void *take_chunk_from_new_page(sc_sz *sz, unsigned size,
                                                         const char *file, int line) {
  if (add_page(sz, internal::szpool_class_of(size), file, line) == nullptr) return nullptr;
  return take_chunk<kMemcheck>(sz, size, file, line);
}

// The class of a chunk of `page` freed with `size`: the size's class plus the
// page's adjustment.
inline unsigned class_on_free(const SzPage *page, unsigned size) {
  return internal::szpool_class_of(size) + static_cast<unsigned>(page->class_adjust);
}

// A page that was full has a free chunk again: to the back of the available
// list of its class.
__attribute__((noinline)) void return_to_available(sc_sz *sz, SzPage *page, unsigned size) {
  SizeClass &cls = sz->classes[class_on_free(page, size)];
  elist::remove(&cls.full, &page->link);
  elist::push_back(&cls.available, &page->link);
}

// A completely free page beyond the kept ones goes back to the tracked heap.
__attribute__((noinline)) void release_unused_page(SizeClass *cls, SzPage *page) {
  elist::remove(&cls->available, &page->link);
  release_page(page);
}

// Free of a chunk of `size` <= 8192 bytes: back on its page's chain; a full
// page returns to the back of the available list, a completely free page
// beyond the kept ones goes back to the tracked heap. The class is read only
// where it is needed (the list moves, the page count of a page now unused,
// hiding the chunk in a debug build): the adjustment it takes may sit on the
// page header's next cache line, which the common free then leaves alone.
template <bool kMemcheck>
inline void give_chunk(sc_sz *sz, void *ptr, unsigned size) {
  void **chunk = static_cast<void **>(ptr) - 1;
  open_word<kMemcheck>(chunk);
  SzPage *page = static_cast<SzPage *>(*chunk);
  void **old_head = page->free;
  *chunk = old_head;
  page->free = chunk;
  --page->used;
  on_take_back<kMemcheck>(sz, ptr, chunk, class_on_free(page, size));
  if (SC_UNLIKELY(old_head == nullptr)) {
    return_to_available(sz, page, size);
  } else if (page->used == 0) {
    // A volatile read keeps the compiler from hoisting it above the test.
    const volatile uintptr_t &adjust = page->class_adjust;
    SizeClass &cls = sz->classes[internal::szpool_class_of(size) + static_cast<unsigned>(adjust)];
    if (SC_UNLIKELY(cls.available.count > kKeepPages && cls.available.head != &page->link)) {
      release_unused_page(&cls, page);
    }
  }
}

__attribute__((noinline)) void *take_chunk_watched(sc_sz *sz, unsigned size, const char *file,
                                                   int line) {
  return take_chunk<true>(sz, size, file, line);
}

__attribute__((noinline)) void give_chunk_watched(sc_sz *sz, void *ptr, unsigned size) {
  give_chunk<true>(sz, ptr, size);
}

}  // namespace

namespace internal {

int szpool_init(sc_sz_t *sz, SzPage **out, unsigned int chunk_size) {
  unsigned page_size = 0;
  void *mem = sc_kmalloc_sz(&page_size);
  if (mem == nullptr) {
    SC_LOG(SC_LOG_ERROR, "szpool_init['%s']: sc_kmalloc_sz() failed\n", sz->name);
    return -1;
  }
  if (chunk_size + kSzPageHeaderSize > page_size) {
    sc_kfree_sz(mem, page_size);
    return -1;
  }
  auto *page = static_cast<SzPage *>(mem);
  page->link.next = nullptr;
  page->link.prev = nullptr;
  page->area = reinterpret_cast<char *>(page + 1);
  page->area_size = page_size - kSzPageHeaderSize;
  page->used = 0;
  page->class_adjust = 0;
  const uintptr_t chunks = page->area_size / chunk_size;
  char *chunk = page->area;
  for (uintptr_t i = 1; i < chunks; ++i, chunk += chunk_size) {
    *reinterpret_cast<void **>(chunk) = chunk + chunk_size;
  }
  *reinterpret_cast<void **>(chunk) = nullptr;
  page->free = reinterpret_cast<void **>(page->area);
  if (watched(sz)) {
    hide<true>(page->area, page->area_size);
  } else {
    hide<false>(page->area, page->area_size);
  }
  *out = page;
  return 0;
}

#if KELV_SYS_TESTING
sc_elist_t *szpool_full_list(sc_sz_t *sz, unsigned int k) { return &sz->classes[k].full; }

sc_elist_t *szpool_available_list(sc_sz_t *sz, unsigned int k) {
  return &sz->classes[k].available;
}

unsigned int szpool_free_chunks(const sc_sz_t *sz, const SzPage *page) {
  unsigned n = 0;
  const bool memcheck = watched(sz);
  for (void **chunk = page->free; chunk != nullptr; ++n) {
    memcheck ? open_word<true>(chunk) : open_word<false>(chunk);
    void **next = static_cast<void **>(*chunk);
    memcheck ? hide<true>(chunk, kWord) : hide<false>(chunk, kWord);
    chunk = next;
  }
  return n;
}
#endif

}  // namespace internal
}  // namespace kelv::sys

using namespace kelv::sys;

sc_sz_t *sc_szconstruct(const char *name) {
  constexpr unsigned kSize = sizeof(sc_sz);
  auto *sz = static_cast<sc_sz *>(__sc_kmalloc(kSize));
  if (sz == nullptr) {
    SC_LOG(SC_LOG_ERROR, "sc_szconstruct: sc_kmalloc(%d) failed\n", static_cast<int>(kSize));
    return nullptr;
  }
  memset(sz, 0, kSize);
  strncpy(sz->name, name != nullptr ? name : "", kNameSize - 1);
#if KELV_SYS_HAVE_VALGRIND
  sz->on_valgrind = RUNNING_ON_VALGRIND != 0;
  if (sz->on_valgrind) VALGRIND_CREATE_MEMPOOL(sz, 0, 0);
#endif
  return sz;
}

void sc_szdestruct(sc_sz_t *sz) {
  if (sz == nullptr) return;
#if KELV_SYS_HAVE_VALGRIND
  if (watched(sz)) VALGRIND_DESTROY_MEMPOOL(sz);
#endif
  for (SizeClass &cls : sz->classes) {
    for (sc_elist_t *list : {&cls.full, &cls.available}) {
      for (sc_elist_link_t *link = list->head; link != nullptr;) {
        sc_elist_link_t *next = link->next;
        release_page(page_of(link));
        link = next;
      }
    }
  }
  __sc_kfree(sz, sizeof(sc_sz));
}

void *__sc_szalloc(sc_sz_t *sz, unsigned int size, unsigned int reserved, const char *file,
                   int line) {
  (void)reserved;
  if (SC_UNLIKELY(size > kMaxAlloc)) return __sc_kmalloc(size);
  if (watched(sz)) return take_chunk_watched(sz, size, file, line);
  return take_chunk<false>(sz, size, file, line);
}

void __sc_szfree(sc_sz_t *sz, void *ptr, unsigned int size) {
  if (ptr == nullptr) return;
  if (SC_UNLIKELY(size > kMaxAlloc)) {
    __sc_kfree(ptr, size);
    return;
  }
  if (watched(sz)) {
    give_chunk_watched(sz, ptr, size);
  } else {
    give_chunk<false>(sz, ptr, size);
  }
}

unsigned int sc_sz_get_max_alloc(void) { return kMaxAlloc; }
