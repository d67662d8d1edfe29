// The size-class pool under arbitrary sequences of allocations and frees
// (class sizes, oversized requests, and refusals of the heap underneath),
// checked against a model of the live chunks: every chunk is large enough,
// aligned, overlaps no other live chunk and keeps its contents until freed;
// after destruction the tracked heap is back where it started.
#include <errno.h>
#include <stdint.h>
#include <string.h>

#include <iterator>
#include <map>
#include <vector>

#include "fuzz_common.h"
#include "sc_debug_internal.h"
#include "sc_os.h"
#include "sc_string_internal.h"
#include "sc_sys_internal.h"
#include "sc_szalloc_internal.h"

namespace {

using kelv::fuzz::Reader;
namespace fault = kelv::sys::fault;

struct Chunk {
  unsigned char *ptr;
  unsigned size;
  unsigned char fill;
};

constexpr size_t kMaxLive = 1000;
constexpr size_t kMaxOps = 4000;

class Model {
 public:
  explicit Model(sc_sz_t *sz) : sz_(sz) {}

  void Alloc(unsigned size, bool may_fail) {
    unsigned char *p = static_cast<unsigned char *>(sc_szalloc(sz_, size));
    if (p == nullptr) {
      FUZZ_CHECK(may_fail);
      return;
    }
    FUZZ_CHECK(reinterpret_cast<uintptr_t>(p) % sizeof(void *) == 0);
    const uintptr_t begin = reinterpret_cast<uintptr_t>(p);
    const uintptr_t end = begin + (size == 0 ? 1 : size);
    auto next = by_address_.lower_bound(begin);
    if (next != by_address_.end()) FUZZ_CHECK(next->first >= end);
    if (next != by_address_.begin()) {
      auto prev = std::prev(next);
      FUZZ_CHECK(prev->second <= begin);
    }
    by_address_.emplace(begin, end);
    const unsigned char fill = static_cast<unsigned char>(++serial_);
    memset(p, fill, size);
    live_.push_back(Chunk{p, size, fill});
  }

  void Free(size_t index) {
    const Chunk c = live_[index];
    for (unsigned i = 0; i < c.size; ++i) FUZZ_CHECK(c.ptr[i] == c.fill);
    by_address_.erase(reinterpret_cast<uintptr_t>(c.ptr));
    live_[index] = live_.back();
    live_.pop_back();
    sc_szfree(sz_, c.ptr, c.size);
  }

  size_t live() const { return live_.size(); }

 private:
  sc_sz_t *sz_;
  std::vector<Chunk> live_;
  std::map<uintptr_t, uintptr_t> by_address_;  // begin -> end of live chunks
  unsigned serial_ = 0;
};

unsigned RequestSize(Reader &in, unsigned kind) {
  switch (kind) {
    case 0: return in.u8() % 64u;                      // the smallest classes
    case 1: return in.u16() % (SC_SZ_MAX_ALLOC + 1u);  // any class
    case 2: return SC_SZ_MAX_ALLOC - in.u8() % 32u;    // the largest classes
    default: return SC_SZ_MAX_ALLOC + 1u + in.u16() % 9000u;  // straight to the heap
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  kelv::fuzz::QuietDiagnostics();
  kelv::fuzz::MuteStderr mute;
  // Refused requests stay counted in the 32-bit total for good; after enough
  // of them, over many inputs, it would wrap (and a free then clamps it at 0).
  // Each input starts from zero so that its own figures can be compared.
  total_allocate = 0;
  const unsigned heap_before = total_allocate;
  sc_sz_t *sz = sc_szconstruct("fuzz");
  FUZZ_CHECK(sz != nullptr);
  bool refused = false;  // a refused request stays counted in total_allocate
  {
    Model model(sz);
    Reader in(data, size);
    for (size_t ops = 0; !in.empty() && ops < kMaxOps; ++ops) {
      const uint8_t op = in.u8();
      switch (op % 8) {
        case 0: case 1: case 2: case 3:
          if (model.live() < kMaxLive) model.Alloc(RequestSize(in, op % 4), false);
          break;
        case 4: case 5: case 6:
          if (model.live() > 0) model.Free(in.u16() % model.live());
          break;
        default: {
          // The heap refuses the next few requests: a new page may come out
          // smaller, or not at all.
          const unsigned skip = in.u8() % 3u, count = in.u8() % 8u;
          fault::arm(fault::Op::kMalloc, skip, count, ENOMEM);
          refused = refused || count > 0;
          if (model.live() < kMaxLive) model.Alloc(RequestSize(in, in.u8() % 4u), true);
          fault::disarm_all();
          break;
        }
      }
    }
    while (model.live() > 0) model.Free(model.live() - 1);
  }
  sc_szdestruct(sz);
  if (!refused) FUZZ_CHECK(total_allocate == heap_before);
  return 0;
}
