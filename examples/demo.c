/* The demo daemon: starts the way every program of the product does
 * (sc_sys_init: account switch, pid file, single-instance check), logs at
 * each level to the screen and its error log, says where its pid file and
 * error log are, does a little tracked work and pool work with the counters,
 * and exits cleanly, the library's exit handler removing its pid file.
 *
 * `bash scripts/dev demo` prepares its base directory in the build tree
 * (VORNDIR=build/default/demo-root, whose device/cfg/vorn.cfg names the
 * current account and a pid directory) and runs it. */
#include <pwd.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <kelv/sys.h>

#define DEMO_NAME "kelv-demo"
#define DEMO_ERROR_LOG "/var/log/" DEMO_NAME "_err"

/* The pid directory named by <basedir>/cfg/vorn.cfg ("/tmp" when there is
 * none), for the demo's own report. */
static void pid_dir(const char *basedir, char *out, size_t size) {
  char path[600], line[1024], name[128], value[512];
  FILE *cfg;
  snprintf(out, size, "/tmp");
  snprintf(path, sizeof path, "%s/cfg/vorn.cfg", basedir);
  cfg = fopen(path, "r");
  if (cfg == NULL) return;
  while (fgets(line, sizeof line, cfg) != NULL) {
    if (sscanf(line, " %127s %511s", name, value) == 2 && strcmp(name, "global.pidDir") == 0) {
      snprintf(out, size, "%s", value);
      break;
    }
  }
  fclose(cfg);
}

static void report_pid_file(void) {
  char basedir[512], dir[512], path[600], content[32] = "";
  FILE *f;
  if (sc_get_basedir(basedir, sizeof basedir) != 0) return;
  pid_dir(basedir, dir, sizeof dir);
  snprintf(path, sizeof path, "%s/%s.pid", dir, DEMO_NAME);
  f = fopen(path, "r");
  if (f != NULL) {
    if (fgets(content, sizeof content, f) == NULL) content[0] = '\0';
    fclose(f);
  }
  printf("kelv_demo: base directory %s\n", basedir);
  printf("kelv_demo: pid file       %s (holds %s)\n", path, content[0] ? content : "nothing");
}

static void tracked_work(void) {
  unsigned int total = 0, peak = 0;
  void *block = sc_kmalloc(1000);
  char *copy = sc_strdup("tracked copy");
  sc_get_mem_stats(&total, &peak);
  sc_printf("kelv_demo: after two allocations: total %u bytes, peak %u, allocs %u, frees %u\n",
            total, peak, no_allocs, no_frees);
  if (copy != NULL) sc_kfree(copy, (unsigned int)strlen(copy) + 1);
  sc_kfree(block, 1000);
  sc_get_mem_stats(&total, &peak);
  sc_printf("kelv_demo: after freeing both:    total %u bytes, peak %u, allocs %u, frees %u\n",
            total, peak, no_allocs, no_frees);
}

/* A pool for many small objects: pages come from the tracked heap, chunks
 * from the pages, and destruction gives every page back. */
static void pool_work(void) {
  enum { kObjects = 1000 };
  static void *objects[kObjects];
  const unsigned int before = total_allocate;
  sc_sz_t *pool = sc_szconstruct("demo-pool");
  int i;
  if (pool == NULL) return;
  for (i = 0; i < kObjects; ++i) {
    objects[i] = sc_szalloc(pool, (unsigned int)(16 + i % 200));
    if (objects[i] != NULL) memset(objects[i], 0xab, (size_t)(16 + i % 200));
  }
  sc_printf("kelv_demo: pool holds %d objects of 16-215 bytes: tracked heap %u bytes "
            "(the pool object and its 64 KiB pages)\n",
            kObjects, total_allocate - before);
  for (i = 0; i < kObjects; ++i) sc_szfree(pool, objects[i], (unsigned int)(16 + i % 200));
  sc_printf("kelv_demo: all objects freed: tracked heap %u bytes (pages are kept for reuse)\n",
            total_allocate - before);
  sc_szdestruct(pool);
  sc_printf("kelv_demo: pool destroyed: tracked heap %u bytes\n", total_allocate - before);
}

int main(void) {
  const struct passwd *account;
  int tick;

  setvbuf(stdout, NULL, _IOLBF, 0); /* keep the report in step with the log lines */
  if (sc_sys_init(DEMO_NAME, SC_APP_DEVICE) != 0) {
    fprintf(stderr, "kelv_demo: start-up failed (run it with: bash scripts/dev demo)\n");
    return 1;
  }
  account = getpwuid(geteuid());
  printf("kelv_demo: started as pid %u, account %s\n", (unsigned)getpid(),
         account != NULL ? account->pw_name : "?");
  report_pid_file();
  printf("kelv_demo: error log      %s\n", DEMO_ERROR_LOG);

  /* Screen and error log, full prefix, every level. */
  __sc_debug_where = SC_WHERE_BOTH;
  __sc_debug_detail = SC_DETAIL_LINE;
  __sc_debug_level = SC_LOG_DEBUG;
  SC_LOG(SC_LOG_FATAL, "a fatal line (a label only: the demo goes on)\n");
  SC_LOG(SC_LOG_ERROR, "an error line\n");
  SC_LOG(SC_LOG_WARN, "a warning line\n");
  SC_LOG(SC_LOG_DEBUG, "a debug line\n");
  if ((__sc_debug_where & SC_WHERE_FILE) == 0) {
    printf("kelv_demo: %s cannot be written (not root?), so lines go to the screen only\n",
           DEMO_ERROR_LOG);
  } else {
    printf("kelv_demo: the lines above are in %s too\n", DEMO_ERROR_LOG);
  }

  tracked_work();
  pool_work();
  for (tick = 1; tick <= 3; ++tick) {
    sc_sleep(0, 200000);
    SC_LOG(SC_LOG_DEBUG, "tick %d\n", tick);
  }
  printf("kelv_demo: done; the exit handler removes the pid file\n");
  return total_allocate == 0 ? 0 : 1;
}
