/* A C program built against an installed libkelv-sys with the flags that
 * pkg-config gives: strings, the pool and the tracked heap's counters, and
 * the build record of the library it runs with. */
#include <stdio.h>
#include <string.h>

#include <kelv/sys.h>

int main(void) {
  char *copy;
  sc_sz_t *pool;
  void *chunk;
  unsigned int total = 0, peak = 0;

  __sc_debug_where = SC_WHERE_SCREEN; /* no error log for this program */
  copy = sc_strdup("consumer");
  pool = sc_szconstruct("consumer");
  chunk = pool != NULL ? sc_szalloc(pool, 100) : NULL;
  if (copy == NULL || chunk == NULL || strcmp(copy, "consumer") != 0) {
    fprintf(stderr, "c-pkgconfig: the library refused a request\n");
    return 1;
  }
  memset(chunk, 0, 100);
  sc_szfree(pool, chunk, 100);
  sc_szdestruct(pool);
  sc_kfree(copy, (unsigned int)strlen(copy) + 1);
  sc_get_mem_stats(&total, &peak);
  if (total != 0) {
    fprintf(stderr, "c-pkgconfig: %u bytes still counted after every release\n", total);
    return 1;
  }
  if (sw_version.major != SC_VERSION_MAJOR || sw_version.minor < SC_VERSION_MINOR) {
    fprintf(stderr, "c-pkgconfig: headers %s, library %s\n", SC_VERSION_STRING, sw_version.version);
    return 1;
  }
  printf("c-pkgconfig: libkelv-sys %s (%s), peak %u bytes\n", sw_version.version,
         sw_version.revision, peak);
  return 0;
}
