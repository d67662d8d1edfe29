/* SPDX-License-Identifier: BSD-2-Clause */
/* Leveled diagnostics: the settings, the line writers and the SC_LOG macros.
 *
 * A line is a prefix (time, level name, source file, line number, as
 * __sc_debug_detail says) followed by the caller's message, sent to standard
 * error and/or the process's error log as __sc_debug_where says. The level
 * test happens in the caller's macro, so a suppressed line evaluates nothing.
 *
 * Threads: any thread may log at any time. The prefix waits for its message
 * in the calling thread's own buffer (no lock is held between the two calls,
 * and a prefix never joins another thread's message); the log check and the
 * write of the whole line are then one critical section under a process-wide
 * lock, at both destinations. A line logged from inside that section (by a
 * signal handler) is written without the lock and without the check rather
 * than deadlock. fork() may be called while other threads log: the lock is
 * held across it. The settings are plain globals: a program that changes them
 * while other threads log orders that itself. */
#ifndef KELV_SC_DEBUG_H
#define KELV_SC_DEBUG_H

#include "sc_defs.h"

SC_BEGIN_DECLS

/* Levels. A line of level L is produced only when __sc_debug_level >= L. */
#define SC_LOG_NONE 0
#define SC_LOG_FATAL 1 /* a label only: a fatal line does not stop the process */
#define SC_LOG_ERROR 2
#define SC_LOG_WARN 3
#define SC_LOG_DEBUG 4

/* Prefix forms for __sc_debug_detail. */
#define SC_DETAIL_NONE 0 /* no prefix at all */
#define SC_DETAIL_TYPE 1 /* "[hh:mm:ss] Level: " */
#define SC_DETAIL_FILE 2 /* "[hh:mm:ss] Level: file: " */
#define SC_DETAIL_LINE 3 /* "[hh:mm:ss] Level: file:line: " */

/* Destination bits for __sc_debug_where. */
#define SC_WHERE_FILE 1   /* the error log, /var/log/<process name>_err */
#define SC_WHERE_SCREEN 2 /* standard error */
#define SC_WHERE_BOTH 3

/* Settings, readable and writable at any time; a change takes effect with the
 * next line. Start-up (sc_sys_init) applies SC_DEBUG_LEVEL, SC_DEBUG_DETAIL
 * and SC_DEBUG_WHERE (or SO_PRINTER_WHERE) from the environment. */
extern SC_API int __sc_debug_level;  /* initially 2 (SC_LOG_ERROR) */
extern SC_API int __sc_debug_detail; /* initially 1 (SC_DETAIL_TYPE) */
extern SC_API int __sc_debug_where;  /* initially 1 (SC_WHERE_FILE) */
extern SC_API int __sc_print_val;    /* receives each macro's result (always 0) */
extern SC_API int __sc_debug_assert; /* reserved for programs; never used here */

/* Forms the prefix of one line. Leading '.' and '/' characters of `file` are
 * skipped (../../src/a shows as src/a). The prefix waits in the calling
 * thread's buffer and goes out with the message that follows it, in one write
 * at each destination (a prefix whose message never comes is written by the
 * thread's next prefix, or at exit). A level outside 0-4 is shown as
 * "Unknown". The caller's errno is preserved. Always returns 0. */
SC_API int __sc_print_prefix(int level, const char *file, int line);

/* Writes the waiting prefix and a printf-style message as it stands (the
 * format supplies its own newline) to the destinations of __sc_debug_where,
 * in one write each when the line fits 4096 bytes. With the file bit set, the
 * error log is checked first (followed when renamed or replaced, made anew
 * when deleted, rotated at 1 MiB). Always returns 0. */
SC_API int __sc_print_msg(const char *fmt, ...) SC_PRINTF(1, 2);

/* As __sc_print_msg, followed by "\t[<errno>, <strerror text>]\n" for the
 * errno value found on entry. Always returns 0. */
SC_API int __sc_print_pmsg(const char *fmt, ...) SC_PRINTF(1, 2);

/* The macros' store of their result: relaxed atomic where the compiler has it,
 * so that threads logging at once do not race on __sc_print_val. */
#if defined(__GNUC__) || defined(__clang__)
#define SC_SET_PRINT_VAL(value) __atomic_store_n(&__sc_print_val, (value), __ATOMIC_RELAXED)
#else
#define SC_SET_PRINT_VAL(value) (void)(__sc_print_val = (value))
#endif

/* SC_LOG(level, fmt, ...): writes one line when __sc_debug_level >= level.
 * When the level test fails nothing else is evaluated: no argument, no time
 * lookup, no file activity. A single statement, safe in an unbraced if/else.
 * The level expression is evaluated exactly once. */
#define SC_LOG(level, ...)                                                     \
  do {                                                                         \
    const int sc_log_level_ = (level);                                         \
    if (SC_UNLIKELY(__sc_debug_level >= sc_log_level_)) {                      \
      const int sc_log_prefix_ =                                               \
          __sc_print_prefix(sc_log_level_, __FILE__, __LINE__);                \
      SC_SET_PRINT_VAL(sc_log_prefix_ + __sc_print_msg(__VA_ARGS__));          \
    }                                                                          \
  } while (0)

/* SC_LOG_ERRNO(level, fmt, ...): as SC_LOG, and the line ends with the
 * caller's errno and its text. The prefix preserves errno, so the number is
 * the one the caller saw. */
#define SC_LOG_ERRNO(level, ...)                                               \
  do {                                                                         \
    const int sc_log_level_ = (level);                                         \
    if (SC_UNLIKELY(__sc_debug_level >= sc_log_level_)) {                      \
      const int sc_log_prefix_ =                                               \
          __sc_print_prefix(sc_log_level_, __FILE__, __LINE__);                \
      SC_SET_PRINT_VAL(sc_log_prefix_ + __sc_print_pmsg(__VA_ARGS__));         \
    }                                                                          \
  } while (0)

SC_END_DECLS

#endif /* KELV_SC_DEBUG_H */
