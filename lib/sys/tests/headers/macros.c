/* Logging macros: one statement each, level evaluated once, arguments not at all. */
#include <kelv/sys.h>

int kelv_hc_macros(void) {
  int levels = 0, arguments = 0;
  __sc_debug_level = SC_LOG_NONE;
  if (levels == 0)
    SC_LOG(SC_LOG_ERROR + levels++, "%d\n", ++arguments);
  else
    SC_LOG_ERRNO(SC_LOG_ERROR + levels++, "%d", ++arguments);
  return levels != 1 || arguments != 0;
}
