// The error log behind the diagnostics' file destination. Never installed.
#ifndef KELV_SYS_SRC_SC_DEBUG_INTERNAL_H
#define KELV_SYS_SRC_SC_DEBUG_INTERNAL_H

#include <stdio.h>

namespace kelv::sys::internal {

// Before every line with the file bit set: (re)opens /var/log/<name>_err and
// rotates it to "<log>.1" at 1 MiB. 0 when a log is open for the line, -1
// otherwise (printed on standard output). Does nothing while the base
// directory cannot be resolved.
int sc_check_debug_file();
// Closes the log, if open; registered with atexit by the first open.
void sc_close_debug_file();

#if KELV_SYS_TESTING
FILE *debug_log_stream();  // the open log, or nullptr
#endif

}  // namespace kelv::sys::internal

#endif  // KELV_SYS_SRC_SC_DEBUG_INTERNAL_H
