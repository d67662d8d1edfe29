// The directory walk (sc_file_check_path) with arbitrary relative paths, then
// a whole-file write, append and read back through the made directories.
// Everything happens below a scratch root that is the working directory and
// is emptied after each input; absolute paths and '..' components are refused
// by the harness, so nothing outside the root can be made.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz_common.h"
#include "kelv/sys.h"

namespace {

using kelv::fuzz::Reader;

constexpr size_t kNameMax = 255;

bool InsideRoot(const std::string &path) {
  if (!path.empty() && path[0] == '/') return false;
  size_t start = 0;
  for (;;) {
    const size_t slash = path.find('/', start);
    if (path.compare(start, slash == std::string::npos ? std::string::npos : slash - start, "..") == 0)
      return false;
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

// Prefixes the walk makes: the path up to every '/' past position 0.
std::vector<std::string> Prefixes(const std::string &path) {
  std::vector<std::string> out;
  for (size_t p = 1; p < path.size(); ++p) {
    if (path[p] == '/') out.push_back(path.substr(0, p));
  }
  return out;
}

std::string LastComponent(const std::string &path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsDir(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void CheckReadBack(const std::string &path, const std::string &expected) {
  char *buf = nullptr;
  unsigned len = 0;
  const int rc = sc_file_read(path.c_str(), &buf, &len);
  if (expected.empty()) {
    FUZZ_CHECK(rc == -1 && buf == nullptr && len == 0);
    return;
  }
  FUZZ_CHECK(rc == 0 && buf != nullptr && len == expected.size() + 1);
  FUZZ_CHECK(std::string(buf, expected.size()) == expected && buf[expected.size()] == '\0');
  __sc_kfree(buf, len);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string &root = kelv::fuzz::ScratchRoot();
  static const bool entered = chdir(root.c_str()) == 0;
  static const int lowest_fd = kelv::fuzz::LowestFreeFd();
  FUZZ_CHECK(entered);
  kelv::fuzz::QuietDiagnostics();

  Reader in(data, size);
  const uint8_t mode = in.u8();
  const std::string path = in.cstr(600);
  std::string content = in.rest();
  if (content.size() > 4096) content.resize(4096);
  if (!InsideRoot(path)) return 0;

  const unsigned heap_before = total_allocate;
  kelv::fuzz::MuteStderr mute;
  if ((mode & 2) != 0) FUZZ_CHECK(sc_file_check_path(nullptr) == -1);

  bool expect_ok = path.size() <= SC_FILE_PATH_MAX;
  const std::vector<std::string> prefixes = Prefixes(path);
  for (const std::string &prefix : prefixes) {
    if (LastComponent(prefix).size() > kNameMax) expect_ok = false;
  }
  const int rc = sc_file_check_path(path.c_str());
  FUZZ_CHECK(rc == (expect_ok ? 0 : -1));
  if (rc == 0) {
    for (const std::string &prefix : prefixes) FUZZ_CHECK(IsDir(prefix));
  }

  const std::string name = LastComponent(path);
  if ((mode & 1) != 0 && rc == 0 && !name.empty() && name.size() <= kNameMax && name != "." &&
      !IsDir(path)) {
    FUZZ_CHECK(sc_file_write(path.c_str(), content.data(), static_cast<unsigned>(content.size())) == 0);
    CheckReadBack(path, content);
    FUZZ_CHECK(sc_file_append(path.c_str(), content.data(), static_cast<unsigned>(content.size())) == 0);
    CheckReadBack(path, content + content);
  }
  FUZZ_CHECK(total_allocate == heap_before);
  kelv::fuzz::CheckNoFdLeak(lowest_fd);
  kelv::fuzz::EmptyDir(root);
  return 0;
}
