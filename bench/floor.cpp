// The floor allocator of peers.h, in a file of its own so that the
// benchmarks reach it through function pointers, as they reach the peers.
#include <stdlib.h>

#include <vector>

#include "peers.h"

namespace kelv_bench {

struct Floor {
  struct Class {
    void *free = nullptr;  // last freed chunk; its first word links to the next
    char *bump = nullptr;  // next chunk never handed out
    char *end = nullptr;   // end of the class's current slab
  };
  Class classes[513];
  std::vector<void *> slabs;
};

namespace {

constexpr unsigned kSlab = 65536;

Floor *Create() { return new Floor; }

void Destroy(Floor *floor) {
  for (void *slab : floor->slabs) free(slab);
  delete floor;
}

// Class k has chunks of (k + 1) * 16 bytes: size >> 4 for 0..8192 bytes.
__attribute__((noinline)) void *NewSlab(Floor *floor, Floor::Class &c, unsigned chunk) {
  char *slab = static_cast<char *>(malloc(kSlab));
  if (slab == nullptr) return nullptr;
  floor->slabs.push_back(slab);
  c.bump = slab + chunk;
  c.end = slab + kSlab / chunk * chunk;
  return slab;
}

void *Alloc(Floor *floor, unsigned size) {
  Floor::Class &c = floor->classes[size >> 4];
  if (void *p = c.free) {
    c.free = *static_cast<void **>(p);
    return p;
  }
  const unsigned chunk = ((size >> 4) + 1) << 4;
  if (c.end - c.bump >= static_cast<long>(chunk)) {
    void *p = c.bump;
    c.bump += chunk;
    return p;
  }
  return NewSlab(floor, c, chunk);
}

void Release(Floor *floor, void *ptr, unsigned size) {
  Floor::Class &c = floor->classes[size >> 4];
  *static_cast<void **>(ptr) = c.free;
  c.free = ptr;
}

constexpr FloorApi kFloor = {Create, Destroy, Alloc, Release};

}  // namespace

const FloorApi &FloorAllocator() { return kFloor; }

}  // namespace kelv_bench
