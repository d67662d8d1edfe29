/* A first look at libkelv-sys: leveled lines on the screen, and tracked
 * memory with its counters. */
#include <stdio.h>
#include <string.h>

#include <kelv/sys.h>

int main(void) {
  unsigned int total = 0, peak = 0;
  char *copy;
  void *block;

  /* Screen only, full prefix, every level. */
  __sc_debug_where = SC_WHERE_SCREEN;
  __sc_debug_detail = SC_DETAIL_LINE;
  __sc_debug_level = SC_LOG_DEBUG;

  SC_LOG(SC_LOG_FATAL, "a fatal line (a label only: the demo goes on)\n");
  SC_LOG(SC_LOG_ERROR, "an error line\n");
  SC_LOG(SC_LOG_WARN, "a warning line\n");
  SC_LOG(SC_LOG_DEBUG, "a debug line\n");

  block = sc_kmalloc(1000);
  copy = sc_strdup("tracked copy");
  sc_get_mem_stats(&total, &peak);
  sc_printf("after two allocations: total %u bytes, peak %u, allocs %u, frees %u\n", total, peak,
            no_allocs, no_frees);

  sc_kfree(copy, (unsigned int)strlen(copy) + 1);
  sc_kfree(block, 1000);
  sc_get_mem_stats(&total, &peak);
  sc_printf("after freeing both:    total %u bytes, peak %u, allocs %u, frees %u\n", total, peak,
            no_allocs, no_frees);
  return total == 0 ? 0 : 1;
}
