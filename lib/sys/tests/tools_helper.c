/* For test_tools: "NAME TYPE [COUNT PAUSE]" starts up (exit 3 if refused), logs
 * COUNT 92-byte lines PAUSE us apart (none: waits) and ends through sc_sys_exit. */
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <kelv/sys.h>

static volatile sig_atomic_t g_stop;

static void on_term(int sig) { g_stop = sig; }

int main(int argc, char **argv) {
  int i, count = argc > 4 ? atoi(argv[3]) : -1, pause_us = argc > 4 ? atoi(argv[4]) : 20000;
  alarm(60); /* never outlives its test */
  __sc_debug_where = SC_WHERE_SCREEN; /* start-up's complaints */
  if (argc < 3 || sc_sys_init(argv[1], atoi(argv[2])) != 0) return 3;
  signal(SIGTERM, on_term);
  __sc_debug_where = SC_WHERE_FILE;
  for (i = 0; i != count && !g_stop; ++i) {
    if (count > 0) SC_LOG(SC_LOG_ERROR, "line %07d %060d\n", i, 0);
    if (pause_us > 0) usleep((useconds_t)pause_us);
  }
  sc_sys_exit(0);
}
