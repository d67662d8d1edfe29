// The error log behind the diagnostics' file destination. Never installed.
#ifndef KELV_SYS_SRC_SC_DEBUG_INTERNAL_H
#define KELV_SYS_SRC_SC_DEBUG_INTERNAL_H

namespace kelv::sys::internal {

// Closes the log, if open; also done at exit.
void sc_close_debug_file();

#if KELV_SYS_TESTING
int debug_log_fd();  // the open log's descriptor, or -1
#endif

}  // namespace kelv::sys::internal

#endif  // KELV_SYS_SRC_SC_DEBUG_INTERNAL_H
