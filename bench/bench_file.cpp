// Files: sc_file_read against a raw open/fstat/read/close of the same file
// into a malloc'd block ("file_read"), and sc_file_write against a raw
// fopen/fwrite/fclose ("file_write"). The files live in the scratch directory
// and are written once; reads come from the page cache.
#include <fcntl.h>
#include <kelv/sys.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench.h"

namespace kelv_bench {
namespace {

std::string SizeName(unsigned size) {
  return size >= (1u << 20) ? std::to_string(size >> 20) + "MiB"
                            : std::to_string(size >> 10) + "KiB";
}

// The file of `size` bytes to read, made at first use.
std::string InputFile(unsigned size) {
  const std::string path = ScratchDir() + "/read-" + SizeName(size);
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && st.st_size == static_cast<off_t>(size)) return path;
  std::vector<char> chunk(1u << 20);
  for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>('a' + i % 26);
  FILE *f = fopen(path.c_str(), "w");
  if (f == nullptr) return std::string();
  for (unsigned left = size; left > 0;) {
    const size_t n = left < chunk.size() ? left : chunk.size();
    if (fwrite(chunk.data(), 1, n, f) != n) break;
    left -= static_cast<unsigned>(n);
  }
  return fclose(f) == 0 ? path : std::string();
}

void Finish(benchmark::State &state, unsigned size) {
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
}

void LibraryRead(benchmark::State &state, unsigned size) {
  const std::string path = InputFile(size);
  if (path.empty()) return state.SkipWithError("cannot make the input file");
  for (auto _ : state) {
    char *buf = nullptr;
    unsigned len = 0;
    if (sc_file_read(path.c_str(), &buf, &len) != 0) return state.SkipWithError("sc_file_read");
    benchmark::DoNotOptimize(buf[len / 2]);
    __sc_kfree(buf, len);
  }
  Finish(state, size);
}

void RawRead(benchmark::State &state, unsigned size) {
  const std::string path = InputFile(size);
  if (path.empty()) return state.SkipWithError("cannot make the input file");
  for (auto _ : state) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) return state.SkipWithError("open/fstat");
    const auto n = static_cast<size_t>(st.st_size);
    char *buf = static_cast<char *>(malloc(n + 1));
    if (buf == nullptr || read(fd, buf, n) != static_cast<ssize_t>(n)) {
      return state.SkipWithError("read");
    }
    buf[n] = '\0';
    close(fd);
    benchmark::DoNotOptimize(buf[n / 2]);
    free(buf);
  }
  Finish(state, size);
}

const std::vector<char> &Payload(unsigned size) {
  static std::vector<char> data;
  if (data.size() < size) data.assign(size, 'k');
  return data;
}

void LibraryWrite(benchmark::State &state, unsigned size) {
  const std::string path = ScratchDir() + "/write-lib";
  const std::vector<char> &data = Payload(size);
  for (auto _ : state) {
    if (sc_file_write(path.c_str(), data.data(), size) != 0) {
      return state.SkipWithError("sc_file_write");
    }
  }
  Finish(state, size);
}

void RawWrite(benchmark::State &state, unsigned size) {
  const std::string path = ScratchDir() + "/write-raw";
  const std::vector<char> &data = Payload(size);
  for (auto _ : state) {
    FILE *f = fopen(path.c_str(), "w");
    if (f == nullptr || fwrite(data.data(), 1, size, f) != size || fclose(f) != 0) {
      return state.SkipWithError("fopen/fwrite/fclose");
    }
  }
  Finish(state, size);
}

}  // namespace

void RegisterFileBenchmarks() {
  for (unsigned size : {1u << 20, 64u << 20, 512u << 20}) {
    const std::string name = SizeName(size);
    // At least a few reads of the large files per repetition.
    const double min_time = size >= (64u << 20) ? 2.0 : 0.5;
    benchmark::RegisterBenchmark(Name("file_read", name, "sc_file").c_str(), LibraryRead, size)
        ->Unit(benchmark::kMicrosecond)
        ->MinTime(min_time);
    benchmark::RegisterBenchmark(Name("file_read", name, "raw").c_str(), RawRead, size)
        ->Unit(benchmark::kMicrosecond)
        ->MinTime(min_time);
  }
  for (unsigned size : {4u << 10, 1u << 20}) {
    const std::string name = SizeName(size);
    benchmark::RegisterBenchmark(Name("file_write", name, "sc_file").c_str(), LibraryWrite, size)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(Name("file_write", name, "raw").c_str(), RawWrite, size)
        ->Unit(benchmark::kMicrosecond);
  }
}

}  // namespace kelv_bench
