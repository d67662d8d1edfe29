// The benchmark program: every workload of the library against its peers or
// its floor, then a table of ratios against the goals.
//
//   kelv_bench [Google Benchmark flags]    e.g. --benchmark_filter=alloc/
//   kelv_bench --log-lines=N --log-where=file|screen
//       writes N lines with SC_LOG and exits (scripts/dev bench counts their
//       system calls with strace)
//   kelv_bench --pairs=N --pattern=PATTERN --allocator=NAME
//       runs N pairs of one allocator with only them collected, for
//       valgrind --tool=callgrind --collect-atstart=no (see bench.h)
//   kelv_bench --memory
//       prints the peak resident memory per live byte of every allocator
#include <ftw.h>
#include <kelv/sys.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "bench.h"
#include "peers.h"

namespace kelv_bench {
namespace {

enum class Goal {
  kFaster,  // ours at least `factor` times faster than the best other contender
  kWithin,  // ours at most `factor` times the time of the best other contender
  kUnder,   // ours under `factor` nanoseconds per operation
};

// A family's contenders are ours, the others it is measured against, and
// optionally two that are not others: a floor, which ours must stay within
// `floor_factor` of, and ours in another mode, whose cost over ours is shown.
struct Family {
  const char *name;
  const char *ours;
  Goal goal;
  double factor;
  const char *floor = nullptr;
  double floor_factor = 0;
  const char *variant = nullptr;
};

constexpr Family kFamilies[] = {
    {"alloc", "pool", Goal::kFaster, 1.0, "floor", 1.5, "pool-checks"},
    {"heap", "kmalloc", Goal::kWithin, 1.15},
    {"list", "sc_elist", Goal::kFaster, 1.0},      {"log_off", "sc_log", Goal::kUnder, 1.0},
    {"log_file", "sc_log", Goal::kWithin, 1.10},   {"log_screen", "sc_log", Goal::kWithin, 1.10},
    {"file_read", "sc_file", Goal::kWithin, 1.05}, {"file_write", "sc_file", Goal::kWithin, 1.05},
};

bool Is(const std::string &contender, const char *name) {
  return name != nullptr && contender == name;
}

const Family *FindFamily(const std::string &name) {
  for (const Family &f : kFamilies)
    if (name == f.name) return &f;
  return nullptr;
}

std::string Human(double ns) {
  char buf[32];
  if (ns >= 1e6) {
    snprintf(buf, sizeof buf, "%.2f ms", ns / 1e6);
  } else if (ns >= 1e3) {
    snprintf(buf, sizeof buf, "%.2f us", ns / 1e3);
  } else {
    snprintf(buf, sizeof buf, "%.2f ns", ns);
  }
  return buf;
}

// The console output as usual, and the time per operation of every
// benchmark kept for the table: the median when repetitions were asked for,
// else the mean of the runs.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &run : runs) {
      if (run.error_occurred) continue;
      const auto rate = run.counters.find("items_per_second");
      if (rate == run.counters.end() || rate->second.value <= 0) continue;
      const double ns = 1e9 / rate->second.value;
      const std::string &name = run.run_name.function_name;
      Sample &s = samples_[name];
      s.registered = run.family_index;
      if (run.run_type == Run::RT_Aggregate) {
        if (run.aggregate_name == "median") s.median = ns;
      } else {
        s.sum += ns;
        ++s.runs;
      }
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    PrintTable(stdout);
  }

 private:
  struct Sample {
    int64_t registered = 0;  // registration order, whatever the run order
    double sum = 0;
    int runs = 0;
    double median = -1;
    double ns() const { return median >= 0 ? median : sum / runs; }
  };

  struct Row {
    std::string family, test_case;
    std::map<std::string, double> ns;  // by contender
  };

  void PrintTable(FILE *out) const {
    std::vector<std::string> order;
    for (const auto &entry : samples_) order.push_back(entry.first);
    std::sort(order.begin(), order.end(), [this](const std::string &a, const std::string &b) {
      return samples_.at(a).registered < samples_.at(b).registered;
    });
    std::vector<Row> rows;
    for (const std::string &name : order) {
      const size_t a = name.find('/'), b = name.rfind('/');
      if (a == std::string::npos || a == b) continue;
      const std::string family = name.substr(0, a), test_case = name.substr(a + 1, b - a - 1);
      auto row = std::find_if(rows.begin(), rows.end(), [&](const Row &r) {
        return r.family == family && r.test_case == test_case;
      });
      if (row == rows.end()) row = rows.insert(rows.end(), Row{family, test_case, {}});
      row->ns[name.substr(b + 1)] = samples_.at(name).ns();
    }
    if (rows.empty()) return;
    fprintf(out, "\n%-34s %12s %-26s %8s  %s\n", "case", "ours/op", "best other/op", "ratio",
            "goal");
    int met = 0, missed = 0;
    for (const Row &row : rows) {
      const Family *family = FindFamily(row.family);
      if (family == nullptr) continue;
      const auto ours = row.ns.find(family->ours);
      if (ours == row.ns.end()) continue;
      std::string other_name;
      double other = 0;
      for (const auto &[contender, ns] : row.ns) {
        if (contender == family->ours || Is(contender, family->floor) ||
            Is(contender, family->variant))
          continue;
        if (other_name.empty() || ns < other) other_name = contender, other = ns;
      }
      char ratio[32] = "", goal[48] = "", other_text[48] = "-";
      bool ok = false;
      if (!other_name.empty()) {
        snprintf(other_text, sizeof other_text, "%s %s", Human(other).c_str(), other_name.c_str());
      }
      switch (family->goal) {
        case Goal::kFaster:
          if (other_name.empty()) continue;
          snprintf(ratio, sizeof ratio, "%.2fx", other / ours->second);
          snprintf(goal, sizeof goal, ">= %.2fx faster", family->factor);
          ok = other / ours->second >= family->factor;
          break;
        case Goal::kWithin:
          if (other_name.empty()) continue;
          snprintf(ratio, sizeof ratio, "%.3f", ours->second / other);
          snprintf(goal, sizeof goal, "<= %.2f of it", family->factor);
          ok = ours->second / other <= family->factor;
          break;
        case Goal::kUnder:
          snprintf(goal, sizeof goal, "< %.1f ns", family->factor);
          ok = ours->second < family->factor;
          break;
      }
      (ok ? met : missed) += 1;
      const std::string label = row.family + "/" + row.test_case;
      fprintf(out, "%-34s %12s %-26s %8s  %s %s", label.c_str(), Human(ours->second).c_str(),
              other_text, ratio, goal, ok ? "met" : "MISSED");
      const auto floor = family->floor != nullptr ? row.ns.find(family->floor) : row.ns.end();
      if (floor != row.ns.end()) {
        const double over = ours->second / floor->second;
        const bool within = over <= family->floor_factor;
        (within ? met : missed) += 1;
        fprintf(out, " | %s %s: %.2f <= %.2f %s", family->floor, Human(floor->second).c_str(),
                over, family->floor_factor, within ? "met" : "MISSED");
      }
      const auto variant = family->variant != nullptr ? row.ns.find(family->variant) : row.ns.end();
      if (variant != row.ns.end()) {
        fprintf(out, " | %s %+.1f%%", family->variant, 100 * (variant->second / ours->second - 1));
      }
      fprintf(out, "\n");
    }
    fprintf(out, "goals: %d met, %d missed\n", met, missed);
  }

  std::map<std::string, Sample> samples_;
};

std::string &ScratchPath() {
  static std::string path;
  return path;
}

void RemoveScratch() {
  if (ScratchPath().empty()) return;
  nftw(
      ScratchPath().c_str(),
      [](const char *path, const struct stat *, int, struct FTW *) { return remove(path); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

}  // namespace

std::string Name(const char *family, const std::string &test_case, const char *contender) {
  return std::string(family) + "/" + test_case + "/" + contender;
}

const std::string &ScratchDir() {
  std::string &path = ScratchPath();
  if (path.empty()) {
    char tmpl[] = "/tmp/kelv-bench.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
      perror("kelv_bench: mkdtemp");
      exit(1);
    }
    path = tmpl;
    atexit(RemoveScratch);
  }
  return path;
}

}  // namespace kelv_bench

int main(int argc, char **argv) {
  if (argc == 3 && strncmp(argv[1], "--log-lines=", 12) == 0 &&
      strncmp(argv[2], "--log-where=", 12) == 0) {
    const bool file = strcmp(argv[2] + 12, "file") == 0;
    return kelv_bench::LogLines(atoi(argv[1] + 12), file ? SC_WHERE_FILE : SC_WHERE_SCREEN);
  }
  kelv_bench::PreparePeers(argv);
  // A fixed threshold: every block of 128 KiB or more is mapped afresh, so
  // that a whole-file read costs the same whichever reader ran before it
  // (glibc would otherwise raise the threshold after each large free). The
  // allocator workloads stay below it.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  if (argc == 4 && strncmp(argv[1], "--pairs=", 8) == 0 &&
      strncmp(argv[2], "--pattern=", 10) == 0 && strncmp(argv[3], "--allocator=", 12) == 0) {
    return kelv_bench::CountPairs(argv[3] + 12, argv[2] + 10,
                                  static_cast<unsigned>(atoi(argv[1] + 8)));
  }
  if (argc == 2 && strcmp(argv[1], "--memory") == 0) return kelv_bench::PrintMemory(stdout);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  kelv_bench::RegisterAllocBenchmarks();
  kelv_bench::RegisterListBenchmarks();
  kelv_bench::RegisterLogBenchmarks();
  kelv_bench::RegisterFileBenchmarks();
  kelv_bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
