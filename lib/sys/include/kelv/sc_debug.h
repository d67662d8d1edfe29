/* SPDX-License-Identifier: BSD-2-Clause */
/* Leveled diagnostics: the settings, the line writers and the SC_LOG macros.
 *
 * A line is a prefix (time, level name, source file, line number, as
 * __sc_debug_detail says) followed by the caller's message, sent to standard
 * error and/or the process's error log as __sc_debug_where says. The level
 * test happens in the caller's macro, so a suppressed line evaluates nothing.
 *
 * Nothing here takes a lock: callers that log from several threads serialise
 * themselves. */
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

/* Writes the prefix of one line. Leading '.' and '/' characters of `file` are
 * skipped (../../src/a shows as src/a). When the file bit is set, the error
 * log is checked (reopened and, at 1 MiB, rotated) first, and the prefix is
 * written to it and flushed at once. On standard error the prefix goes out
 * with the message that follows it, in one write (a prefix whose message
 * never comes is written by the next prefix or message call, or at exit), so
 * the bytes on each stream are those of writing it here. A level outside 0-4
 * is shown as "Unknown". The caller's errno is preserved. Always returns 0. */
SC_API int __sc_print_prefix(int level, const char *file, int line);

/* Writes a printf-style message as it stands (the format supplies its own
 * newline) to the destinations of __sc_debug_where. Always returns 0. */
SC_API int __sc_print_msg(const char *fmt, ...) SC_PRINTF(1, 2);

/* As __sc_print_msg, followed by "\t[<errno>, <strerror text>]\n" for the
 * errno value found on entry. Always returns 0. */
SC_API int __sc_print_pmsg(const char *fmt, ...) SC_PRINTF(1, 2);

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
      __sc_print_val = sc_log_prefix_ + __sc_print_msg(__VA_ARGS__);           \
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
      __sc_print_val = sc_log_prefix_ + __sc_print_pmsg(__VA_ARGS__);          \
    }                                                                          \
  } while (0)

SC_END_DECLS

#endif /* KELV_SC_DEBUG_H */
