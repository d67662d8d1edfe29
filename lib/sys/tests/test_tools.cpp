// The error log and the pid file under logrotate and start-stop-daemon, through tools_helper.
#include <glob.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using namespace kelv::test;

// Runs `command`, output discarded; what it leaves running becomes our child.
int Shell(const std::string &command) {
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  const int status = system(("exec >/dev/null 2>&1; " + command).c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// start-stop-daemon starts the helper and finds it through its pid file,
// refuses a second start (as the library does), and stops it; the exit
// handler removes the file.
TEST(PidFileTools, StartStatusStopThroughThePidFile) {
  if (access("/sbin/start-stop-daemon", X_OK) != 0) GTEST_SKIP() << "no start-stop-daemon";
  const std::string name = UniqueName("kelvd"), pidfile = "/tmp/" + name + ".pid";  // a tool's
  const std::string ssd = "/sbin/start-stop-daemon --quiet --pidfile " + pidfile;
  const std::string start = ssd + " --start --background --startas " KELV_TOOLS_HELPER " -- " + name + " 4";
  ASSERT_EQ(Shell(start), 0);
  std::string pid;
  for (int i = 0; i < 250 && (pid.empty() || pid.back() != '\0'); ++i, usleep(20000))
    pid = PathExists(pidfile) ? ReadFileOrDie(pidfile) : "";
  ASSERT_EQ(pid, std::to_string(atoi(pid.c_str())) + '\0');
  EXPECT_EQ(Shell(ssd + " --status"), 0);
  EXPECT_EQ(Shell(start), 1) << "already running";
  EXPECT_EQ(Shell(KELV_TOOLS_HELPER " " + name + " 4"), 3) << "started directly, refused by the lock";
  EXPECT_EQ(Shell(ssd + " --stop"), 0);
  int status = -1;
  EXPECT_TRUE(waitpid(atoi(pid.c_str()), &status, 0) > 0 && status == 0) << "ends through sc_sys_exit";
  EXPECT_FALSE(PathExists(pidfile));
}

std::vector<std::string> Glob(const std::string &pattern, std::vector<std::string> files = {}) {
  glob_t g;
  if (glob(pattern.c_str(), 0, nullptr, &g) == 0)
    files.insert(files.end(), g.gl_pathv, g.gl_pathv + g.gl_pathc);
  globfree(&g);
  return files;
}

// The numbers of the helper's lines in `path`. Each line must be whole
// ("[hh:mm:ss] Error: line NNNNNNN " and 60 zeros) and follow the one before.
std::vector<unsigned> LinesOf(const std::string &path) {
  const std::string data = ReadFileOrDie(path);
  std::vector<unsigned> numbers;
  char want[128];
  for (size_t at = 0; at < data.size(); at += 92) {
    const std::string line = data.substr(at, 92);
    unsigned n = 0;
    const bool stamped = sscanf(line.c_str(), "[%*2u:%*2u:%*2u] Error: line %7u", &n) == 1;
    snprintf(want, sizeof want, " Error: line %07u %060d\n", n, 0);
    if (!stamped || line.compare(10, 82, want) || (!numbers.empty() && n != numbers.back() + 1)) {
      ADD_FAILURE() << path << ": torn or out of order at byte " << at << ": " << line;
      break;
    }
    numbers.push_back(n);
  }
  return numbers;
}

// `lines` numbered lines, `pause_us` apart, while logrotate with `config`
// rotates the log every `every_s` seconds (with none, the library alone).
struct Rotation { const char *name, *config; unsigned lines, pause_us; int every_s; };
void PrintTo(const Rotation &rotation, std::ostream *os) { *os << rotation.name; }

class ErrorLogTools : public testing::TestWithParam<Rotation> {};

// Every line whole, in order within its file, found once (the library keeps
// one older generation, rotated at the first line past 1 MiB). The library
// never makes a log in the way of logrotate's create (logrotate would move it
// aside as "<log>-<date><hour>.backup").
TEST_P(ErrorLogTools, NoLineLostOrTorn) {
  const Rotation &p = GetParam();
  if (!IsRoot() || (*p.config && access("/usr/sbin/logrotate", X_OK) != 0))
    GTEST_SKIP() << "needs root (for /var/log) and logrotate";
  ScratchDir dir("/var/log"), work;
  const std::string name = dir.path().substr(9) + dir.path().substr(8), log = "/var/log/" + name + "_err";
  mkdir((dir / "old").c_str(), 0755);
  WriteFileOrDie(work / "conf", log + " {\n rotate 1000\n nocompress\n " + p.config + "\n}\n");
  Shell(KELV_TOOLS_HELPER " " + name + " 4 " + std::to_string(p.lines) + " " + std::to_string(p.pause_us) +
        " & echo $! >" + work / "pid");
  const pid_t writer = atoi(ReadFileOrDie(work / "pid").c_str());
  unsigned rotations = 0;
  int status = -1;
  for (time_t last = 0; waitpid(writer, &status, WNOHANG) == 0; usleep(20000)) {
    if (!*p.config || time(nullptr) < last + p.every_s || !PathExists(log)) continue;
    Shell("/usr/sbin/logrotate -f -s " + work / "state " + work / "conf >>" + work / "said 2>&1");
    last = time(nullptr), ++rotations;
  }
  ASSERT_EQ(status, 0);
  ASSERT_GE(rotations, *p.config ? 2u : 0u) << "the writer ended before logrotate could run";
  EXPECT_EQ(Glob(log + "-*.backup"), std::vector<std::string>{});
  std::vector<unsigned> seen(p.lines);
  for (const std::string &f : Glob(dir / "old/*", Glob(log + "*")))
    for (unsigned n : LinesOf(f)) ++seen[std::min(n, p.lines - 1)];
  const size_t first = std::find(seen.begin(), seen.end(), 1u) - seen.begin();
  EXPECT_EQ(std::count(seen.begin() + first, seen.end(), 1u), p.lines - first)
      << std::count(seen.begin(), seen.end(), 0u) << " lost, the rest repeated, in " << rotations
      << " rotations; logrotate said:\n" << (*p.config ? ReadFileOrDie(work / "said") : "");
  EXPECT_EQ(first, *p.config ? 0 : p.lines - LinesOf(log).size() - 1048576 / 92 - 1);
}

// dateext names by the second; with nocreate the library makes the log after 1 s.
INSTANTIATE_TEST_SUITE_P(
    Rotations, ErrorLogTools,
    testing::Values(Rotation{"own", "", 50000, 0, 0}, Rotation{"olddir", "create\n olddir old", 20000, 50, 0},
                    Rotation{"dateext", "create\n dateext\n dateformat -%Y%m%d-%s", 7000, 500, 2},
                    Rotation{"nocreate", "nocreate\n olddir old", 7000, 500, 2}));

}  // namespace
