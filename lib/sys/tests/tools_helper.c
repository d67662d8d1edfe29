/* A small program on the shared library, driven by the real-tool tests.
 *
 *   tools_helper daemon NAME TYPE     start up, print "ready <pid>", then wait
 *                                      for SIGTERM and end through sc_sys_exit
 *   tools_helper log NAME TYPE COUNT [PAD [PAUSE]]
 *                                      start up and write COUNT numbered lines
 *                                      to the error log, each padded with PAD
 *                                      'x' characters, PAUSE microseconds apart
 *
 * Exit codes: 0 done, 3 start-up refused, 2 bad arguments. It ends itself
 * after 60 seconds in any case. */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <kelv/sys.h>

static volatile sig_atomic_t g_stop = 0;

static void on_term(int sig) {
  (void)sig;
  g_stop = 1;
}

static int run_daemon(void) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_term;
  sigaction(SIGTERM, &sa, NULL);
  printf("ready %u\n", (unsigned)getpid());
  fflush(stdout);
  while (!g_stop) sc_sleep(0, 50000);
  sc_sys_exit(0);
}

static int run_log(unsigned count, unsigned pad, unsigned pause_us) {
  char *padding = calloc(pad + 1, 1);
  unsigned i;
  if (padding == NULL) return 2;
  memset(padding, 'x', pad);
  __sc_debug_where = SC_WHERE_FILE;
  __sc_debug_detail = SC_DETAIL_TYPE;
  for (i = 0; i < count; ++i) {
    SC_LOG(SC_LOG_ERROR, "line %07u %s\n", i, padding);
    if (pause_us > 0) usleep(pause_us);
  }
  free(padding);
  return 0;
}

int main(int argc, char **argv) {
  alarm(60);
  if (argc < 4) return 2;
  if (sc_sys_init(argv[2], atoi(argv[3])) != 0) {
    printf("start-up refused\n");
    return 3;
  }
  if (strcmp(argv[1], "daemon") == 0) return run_daemon();
  if (strcmp(argv[1], "log") == 0 && argc >= 5)
    return run_log((unsigned)strtoul(argv[4], NULL, 10),
                   argc >= 6 ? (unsigned)strtoul(argv[5], NULL, 10) : 0,
                   argc >= 7 ? (unsigned)strtoul(argv[6], NULL, 10) : 0);
  return 2;
}
