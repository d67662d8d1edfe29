// The tracked heap: the system heap with byte, peak and call counters, and
// release by size instead of per-block headers.
#include <limits.h>
#include <string.h>

#include "sc_os.h"

// The system heap is called through the GOT, without a PLT stub's jump.
#if defined(__has_attribute)
#if __has_attribute(noplt)
extern "C" void *malloc(size_t size) noexcept __attribute__((noplt));
extern "C" void free(void *ptr) noexcept __attribute__((noplt));
#endif
#endif

unsigned int total_allocate = 0;
unsigned int peak_allocate = 0;
unsigned int no_allocs = 0;
unsigned int no_frees = 0;

namespace kelv::sys {
namespace {

constexpr unsigned kPageSize = 65536;
constexpr unsigned kSmallestPage = 1024;
constexpr unsigned kReportedTotalMb = 0xFFFFFFFFu >> 20;
constexpr unsigned kReportedLimitPercent = 100;

inline void count_request(unsigned size) {
  total_allocate += size;
  if (peak_allocate < total_allocate) peak_allocate = total_allocate;
  ++no_allocs;
}

// The failure line of every refused request, `size` as the caller sees it;
// returns null. Reached by a tail call: the common path keeps only the size
// across malloc.
__attribute__((noinline, cold)) void *refused(int size) {
  SC_LOG(SC_LOG_ERROR, "sc_kmalloc: do_malloc(%d) failed\n", size);
  return nullptr;
}

}  // namespace
}  // namespace kelv::sys

using namespace kelv::sys;

void *__sc_kmalloc(unsigned int size) {
  count_request(size);
  void *p = os::malloc(size);
  if (SC_LIKELY(p != nullptr)) return p;
  return refused(static_cast<int>(size));
}

void *__sc_kcalloc(int count, int size) {
  if (count < 0 || size < 0 ||
      (size != 0 && static_cast<unsigned>(count) > UINT_MAX / static_cast<unsigned>(size))) {
    ++no_allocs;
    return refused(-1);
  }
  const unsigned bytes = static_cast<unsigned>(count) * static_cast<unsigned>(size);
  void *p = __sc_kmalloc(bytes);
  if (p != nullptr) memset(p, 0, bytes);
  return p;
}

int __sc_kfree(void *ptr, unsigned int size) {
  if (ptr == nullptr) return 0;
  total_allocate = size <= total_allocate ? total_allocate - size : 0;
  ++no_frees;
  free(ptr);
  return 0;
}

int sc_kfree_sz(void *ptr, unsigned int size) { return __sc_kfree(ptr, size); }

void *sc_kmalloc_sz(unsigned int *size) {
  *size = kPageSize;
  do {
    if (void *p = __sc_kmalloc(*size)) return p;
    *size /= 2;
  } while (*size >= kSmallestPage);
  return nullptr;
}

void sc_get_mem_stats(unsigned int *total, unsigned int *peak) {
  if (total != nullptr) *total = total_allocate;
  if (peak != nullptr) *peak = peak_allocate;
  peak_allocate = total_allocate;
}

int sc_kmalloc_init(void) {
  SC_LOG(SC_LOG_DEBUG, "sc_kmalloc_init: [total: %u Mb, limit: %u%%, %u Mb]\n", kReportedTotalMb,
         kReportedLimitPercent, kReportedTotalMb);
  return 0;
}

void sc_kmalloc_fini(void) { SC_LOG(SC_LOG_DEBUG, "sc_kmalloc_fini: done\n"); }
