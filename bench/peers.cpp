// Loading of the peer allocators; see peers.h.
#include "peers.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

namespace kelv_bench {
namespace {

constexpr const char *kTlsTunable = "glibc.rtld.optional_static_tls";

void *Load(const char *path) {
  void *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL | RTLD_DEEPBIND);
  if (handle == nullptr) fprintf(stderr, "kelv_bench: peer left out: %s\n", dlerror());
  return handle;
}

template <class Fn>
bool Find(void *handle, const char *name, Fn *fn) {
  *fn = reinterpret_cast<Fn>(dlsym(handle, name));
  if (*fn == nullptr) fprintf(stderr, "kelv_bench: peer left out: no %s\n", name);
  return *fn != nullptr;
}

}  // namespace

void PreparePeers(char **argv) {
#ifdef KELV_BENCH_JEMALLOC
  const char *tunables = getenv("GLIBC_TUNABLES");
  if (tunables != nullptr && strstr(tunables, kTlsTunable) != nullptr) return;
  std::string value = tunables != nullptr ? std::string(tunables) + ":" : std::string();
  value += std::string(kTlsTunable) + "=16384";
  setenv("GLIBC_TUNABLES", value.c_str(), 1);
  execv("/proc/self/exe", argv);
  perror("kelv_bench: re-executing for jemalloc's TLS");  // goes on; jemalloc may be left out
#else
  (void)argv;
  (void)kTlsTunable;
#endif
}

namespace {

// Loads `path` once and fills the peer's entry points; null when either fails.
template <class Api>
const Api *LoadPeer(const char *path, bool (*find_all)(void *handle, Api *api)) {
  static Api found;
  void *handle = Load(path);
  return handle != nullptr && find_all(handle, &found) ? &found : nullptr;
}

}  // namespace

const JemallocApi *Jemalloc() {
#ifdef KELV_BENCH_JEMALLOC
  static const JemallocApi *api =
      LoadPeer<JemallocApi>(KELV_BENCH_JEMALLOC, [](void *handle, JemallocApi *found) {
        return Find(handle, "malloc", &found->malloc) && Find(handle, "free", &found->free) &&
               Find(handle, "sdallocx", &found->sdallocx);
      });
  return api;
#else
  return nullptr;
#endif
}

const MimallocApi *Mimalloc() {
#ifdef KELV_BENCH_MIMALLOC
  static const MimallocApi *api =
      LoadPeer<MimallocApi>(KELV_BENCH_MIMALLOC, [](void *handle, MimallocApi *found) {
        return Find(handle, "mi_malloc", &found->mi_malloc) &&
               Find(handle, "mi_free", &found->mi_free) &&
               Find(handle, "mi_free_size", &found->mi_free_size);
      });
  return api;
#else
  return nullptr;
#endif
}

}  // namespace kelv_bench
