// A C++17 program built against an installed libkelv-sys through
// find_package(kelv-sys): the header-only companions over the C interface.
#include <cstdio>
#include <memory_resource>
#include <string>
#include <unistd.h>
#include <vector>

#include <kelv/sys.hpp>

int main() {
  __sc_debug_where = SC_WHERE_SCREEN;  // no error log for this program
  kelv::sys::KMutex lock(sc_kmutex_construct("consumer", 1, 0));
  kelv::sys::SzPool pool(sc_szconstruct("consumer"));
  if (!lock || !pool) {
    std::fprintf(stderr, "cxx-cmake: construction failed\n");
    return 1;
  }

  std::size_t words = 0;
  {
    kelv::sys::KMutexGuard guard(lock.get());
    if (!guard) {
      std::fprintf(stderr, "cxx-cmake: lock failed\n");
      return 1;
    }
    kelv::sys::PoolResource resource(pool.get());
    std::pmr::vector<std::pmr::string> lines(&resource);
    for (int i = 0; i < 100; ++i) lines.emplace_back("a line held in the pool, long enough to allocate");
    words = lines.size();
  }

  const std::string path = "/tmp/kelv-cxx-consumer-" + std::to_string(getpid());
  const kelv::sys::TrackedBlock text = kelv::sys::tracked_strdup("written and read back");
  const unsigned length = text.get_deleter().size - 1;
  const bool written = sc_file_write(path.c_str(), text.get(), length) == 0;
  const kelv::sys::TrackedBlock back = kelv::sys::read_file(path.c_str());
  const bool round_trip = written && back && std::string(back.get()) == text.get();
  sc_file_remove(path.c_str());
  if (!round_trip || words != 100) {
    std::fprintf(stderr, "cxx-cmake: file round trip or pooled strings wrong\n");
    return 1;
  }

  std::printf("cxx-cmake: libkelv-sys %s (%s), %zu pooled strings, %s\n", sw_version.version,
              sw_version.revision, words, sw_version.symbol);
  return 0;
}
