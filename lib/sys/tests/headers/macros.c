/* The logging macros in this file's language mode: each one statement in an
 * unbraced if/else, its level evaluated once, no argument of a suppressed line. */
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
