// The error log behind the diagnostics' file destination. Never installed.
#ifndef KELV_SYS_SRC_SC_DEBUG_INTERNAL_H
#define KELV_SYS_SRC_SC_DEBUG_INTERNAL_H

namespace kelv::sys::internal {

// The check of the log before a line is written to it, under the line lock:
// opens /var/log/<process name>_err, follows it when it is replaced, and
// rotates it to "<log>.1" at 1 MiB. 0 when the log is open and sound for the
// line, -1 otherwise (printed on standard output, once per failure). Does
// nothing while the base directory cannot be resolved.
int sc_check_debug_file();
// Closes the log, if open; also done at exit.
void sc_close_debug_file();

#if KELV_SYS_TESTING
int debug_log_fd();  // the open log's descriptor, or -1
#endif

}  // namespace kelv::sys::internal

#endif  // KELV_SYS_SRC_SC_DEBUG_INTERNAL_H
