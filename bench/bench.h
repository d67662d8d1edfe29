// Shared pieces of the benchmark program.
//
// Every benchmark is named "<family>/<case>/<contender>": the contenders of
// one case run the same workload in the same process, and the ratio table
// printed at the end (main.cpp) compares the library's contender of each
// case with the others, against the goal of its family. Every benchmark
// calls SetItemsProcessed with the number of operations it timed (allocation
// and free pairs, log lines, file reads...), and the table shows the time
// per operation.
#ifndef KELV_BENCH_BENCH_H
#define KELV_BENCH_BENCH_H

#include <benchmark/benchmark.h>

#include <stdio.h>

#include <string>

namespace kelv_bench {

// Registration of each source file's benchmarks, called by main in the order
// of the table.
void RegisterAllocBenchmarks();
void RegisterListBenchmarks();
void RegisterLogBenchmarks();
void RegisterFileBenchmarks();

// Writes `lines` lines with SC_LOG to the destination bits `where` and
// returns the exit status (for counting their system calls under strace).
int LogLines(int lines, int where);

// Runs `pairs` allocation and free pairs of `allocator` (a contender of the
// "alloc" family, or "kmalloc") in `pattern` ("lifo_<size>", "ws_<live>",
// "mixed_<live>", "fifo_<count>"), with only the pairs collected by
// callgrind. 0, or non-zero on a failure or an unknown name.
int CountPairs(const std::string &allocator, const std::string &pattern, unsigned pairs);

// Prints the table of peak resident memory per live byte of every allocator
// on the working sets, each measured in a child process of its own.
int PrintMemory(FILE *out);

// "<family>/<case>/<contender>".
std::string Name(const char *family, const std::string &test_case, const char *contender);

// A directory under /tmp made at first use and removed with everything in it
// at exit.
const std::string &ScratchDir();

}  // namespace kelv_bench

#endif  // KELV_BENCH_BENCH_H
