/* The logging macros in this file's language mode: each one statement in an
 * unbraced if/else, its level evaluated once, no argument of a suppressed line. */
#include <kelv/sys.h>

int kelv_hc_macros(void) {
  const int saved = __sc_debug_level;
  int levels = 0, arguments = 0;
  __sc_debug_level = SC_LOG_NONE;
  if (saved >= 0)
    SC_LOG(SC_LOG_ERROR + levels++, "%d\n", ++arguments);
  else
    SC_LOG_ERRNO(SC_LOG_ERROR + levels++, "%d", ++arguments);
  __sc_debug_level = saved;
  return levels != 1 || arguments != 0;
}
