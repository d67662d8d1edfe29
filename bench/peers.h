// The peer allocators, measured as themselves beside glibc's malloc in one
// process.
//
// jemalloc and mimalloc (Debian's builds) both export malloc and free: linked
// into the program, either would replace the C library's allocator for the
// whole process, glibc's malloc included. So they are not linked: each is
// loaded with dlopen(RTLD_LOCAL | RTLD_DEEPBIND), which keeps its symbols out
// of the global scope (the process's malloc stays glibc's) and binds its own
// references to itself, and is called through its own entry points found with
// dlsym: jemalloc's malloc, free and sdallocx (its sized free), mimalloc's
// mi_malloc, mi_free and mi_free_size (its sized free). jemalloc keeps its thread data in the static TLS
// block, which a dlopened library may only use when the loader reserved room
// for it: PreparePeers re-executes the program once with
// GLIBC_TUNABLES=glibc.rtld.optional_static_tls=16384 for that.
#ifndef KELV_BENCH_PEERS_H
#define KELV_BENCH_PEERS_H

#include <stddef.h>

namespace kelv_bench {

struct JemallocApi {
  void *(*malloc)(size_t size);
  void (*free)(void *ptr);
  void (*sdallocx)(void *ptr, size_t size, int flags);
};

struct MimallocApi {
  void *(*mi_malloc)(size_t size);
  void (*mi_free)(void *ptr);
  void (*mi_free_size)(void *ptr, size_t size);
};

// The floor of a size-class allocator with sized free, a reference for the
// pool (not a peer): 513 classes of 16-byte steps, one LIFO free list per
// class, chunks cut with a bump pointer from 64 KiB slabs taken from malloc,
// no header word, no per-slab bookkeeping. Slabs go back at destruction only.
struct FloorApi {
  struct Floor *(*create)();
  void (*destroy)(struct Floor *floor);
  void *(*alloc)(struct Floor *floor, unsigned size);
  void (*release)(struct Floor *floor, void *ptr, unsigned size);
};

// Call first in main: may re-execute the program (see above).
void PreparePeers(char **argv);

// The entry points, or null when the peer was not found at build time or
// cannot be loaded (a line on standard error says why).
const JemallocApi *Jemalloc();
const MimallocApi *Mimalloc();
// Defined in floor.cpp, so that its calls stay indirect like the peers'.
const FloorApi &FloorAllocator();

}  // namespace kelv_bench

#endif  // KELV_BENCH_PEERS_H
