// The directory walk on arbitrary relative paths (no '..') in a scratch root, the working directory, emptied
// after each input: over SC_FILE_PATH_MAX or with a name over NAME_MAX it fails, else makes every directory.
#include <ftw.h>
#include <limits.h>
#include <sys/stat.h>

#include "fuzz_common.h"

static char shm[] = "/dev/shm/kelv-fuzz-XXXXXX", tmp[] = "/tmp/kelv-fuzz-XXXXXX", *root;  // memory first
static int Remove(const char *p, const struct stat *, int, FTW *at) { return at->level > 0 ? remove(p) : 0; }
static void Clean() { nftw(root, Remove, 16, FTW_DEPTH | FTW_PHYS), rmdir(root); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool entered = (root = mkdtemp(shm) ? shm : mkdtemp(tmp)) && !chdir(root) && !atexit(Clean);
  FUZZ_CHECK(entered);
  FuzzInput in{data, size, 1};  // the first byte is spare
  const std::string path = in.Str(600);
  if (path[0] == '/' || ("/" + path + "/").find("/../") != std::string::npos) return 0;
  bool ok = path.size() <= SC_FILE_PATH_MAX;
  for (size_t p = 1, start = 0; p < path.size(); ++p) {
    if (path[p] == '/') ok = ok && p - start <= NAME_MAX, start = p + 1;
  }
  FUZZ_CHECK(Muted([&] { return sc_file_check_path(path.c_str()); }) == (ok ? 0 : -1));
  struct stat st;  // the deepest directory, hence every one above it
  const std::string deepest = "./" + path.substr(0, path.rfind('/') + 1);
  FUZZ_CHECK(!ok || (stat(deepest.c_str(), &st) == 0 && S_ISDIR(st.st_mode)));
  return nftw(root, Remove, 16, FTW_DEPTH | FTW_PHYS), 0;
}
