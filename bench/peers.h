// The peer allocators, measured as themselves beside glibc's malloc in one
// process.
//
// jemalloc and mimalloc (Debian's builds) both export malloc and free: linked
// into the program, either would replace the C library's allocator for the
// whole process, glibc's malloc included. So they are not linked: each is
// loaded with dlopen(RTLD_LOCAL | RTLD_DEEPBIND), which keeps its symbols out
// of the global scope (the process's malloc stays glibc's) and binds its own
// references to itself, and is called through its own entry points found with
// dlsym: jemalloc's mallocx and sdallocx (its sized free), mimalloc's
// mi_malloc and mi_free. jemalloc keeps its thread data in the static TLS
// block, which a dlopened library may only use when the loader reserved room
// for it: PreparePeers re-executes the program once with
// GLIBC_TUNABLES=glibc.rtld.optional_static_tls=16384 for that.
#ifndef KELV_BENCH_PEERS_H
#define KELV_BENCH_PEERS_H

#include <stddef.h>

namespace kelv_bench {

struct JemallocApi {
  void *(*mallocx)(size_t size, int flags);
  void (*sdallocx)(void *ptr, size_t size, int flags);
};

struct MimallocApi {
  void *(*mi_malloc)(size_t size);
  void (*mi_free)(void *ptr);
};

// Call first in main: may re-execute the program (see above).
void PreparePeers(char **argv);

// The entry points, or null when the peer was not found at build time or
// cannot be loaded (a line on standard error says why).
const JemallocApi *Jemalloc();
const MimallocApi *Mimalloc();

}  // namespace kelv_bench

#endif  // KELV_BENCH_PEERS_H
