/* SPDX-License-Identifier: BSD-2-Clause */
/* Process runtime: application type, base directory, start-up with account
 * switch and single-instance pid file, sleep and exit. */
#ifndef KELV_SC_SYS_H
#define KELV_SC_SYS_H

#include "sc_defs.h"

SC_BEGIN_DECLS

/* Application types given to sc_sys_init. 0 means start-up never ran. The
 * base directory of each (see sc_get_basedir) holds cfg/, the configuration
 * file: cfg/mgt-svr.cfg for SC_APP_MGT_SVR, cfg/vorn.cfg for every other type. */
#define SC_APP_ROOT 1    /* the root itself; no account switch, pid file in /tmp */
#define SC_APP_MGT_SVR 2 /* management server: <root>/mgt-svr */
#define SC_APP_DEVICE 3  /* device: <root>/device */
#define SC_APP_TOOL 4    /* base directory always /tmp; pid file in /tmp */
#define SC_APP_TEST 5    /* base directory always /tmp; pid file in /tmp */

/* When not NULL, the base directory of every type other than 4 and 5 (no
 * subdirectory appended; one trailing '/' dropped). Read at every resolution,
 * which announces it on standard error each time. The library never writes
 * it. */
extern SC_API char *sc_basedir_from_input;

/* The process name given to sc_sys_init (the caller's pointer, not a copy:
 * it must stay valid for the life of the process). NULL before start-up. Its
 * part after the last '/' is the program name; the whole name names the error
 * log, /var/log/<process name>_err. A NULL name passed to sc_sys_init does
 * not crash: the program name is then "" (pid file "<dir>/.pid") and the log
 * "/var/log/(null)_err". */
extern SC_API const char *sc_process_name;

/* The recorded application type; 0 before sc_sys_init. */
SC_API int sc_get_apptype(void);

/* Resolves the base directory afresh (nothing is cached) into buf, at most
 * size bytes with the terminator, and returns 0; or returns -1 with buf
 * untouched. In order of precedence:
 *   - types 4 and 5: "/tmp";
 *   - sc_basedir_from_input when set;
 *   - $VORNDIR joined with the type's subdirectory ("", "mgt-svr", "device"
 *     for types 1 to 3; any other type fails with "Unknown app_type %d");
 *   - $TARLENDIR (obsolete name) as it stands, for every type;
 *   - else failure. A variable set to the empty string counts as set.
 * Without a subdirectory one trailing '/' is dropped ("/" gives ""). The room
 * needed is the root's length + 1, plus the subdirectory's length + 1 when
 * there is one, counted even where a '/' is then not written. Complaints and
 * the notices about the override and TARLENDIR go straight to standard error,
 * whatever the diagnostic settings; before sc_sys_init every call fails with
 * "sc_get_basedir: sc_sys_init() was never called". */
SC_API int sc_get_basedir(char *buf, unsigned int size);

/* Start-up, the first call of a program; returns 0 or -1. In this order:
 *   1. records process_name (the pointer) and app_type, which stay recorded
 *      whatever follows;
 *   2. resolves the base directory (-1 when it cannot, logged at error level,
 *      with the SC_DEBUG_* variables not applied);
 *   3. unless the type is 1, switches to the account named by global.user in
 *      the configuration file: when the process may (root, or CAP_SETGID),
 *      the account's own group list (initgroups), else its group alone,
 *      first replaces the supplementary groups; then setgid and setuid, and
 *      for an account other than root a check that setuid(0) now fails.
 *      Groups that cannot be replaced do not stop the ids from changing; a
 *      process that could become root again is put back on the account's
 *      user id. Any of these failures is written to standard error with
 *      "sc_sys_init: set uid/gid failed - ignoring..." and start-up goes on
 *      under the credentials reached;
 *   4. applies SC_DEBUG_LEVEL, SC_DEBUG_DETAIL and SC_DEBUG_WHERE (or
 *      SO_PRINTER_WHERE when SC_DEBUG_WHERE is unset), any case; an unknown
 *      word is printed on standard output and changes nothing;
 *   5. calls sc_kmalloc_init; an empty base directory then fails (-1);
 *   6. takes the pid directory: global.pidDir of the configuration file for
 *      types 2 and 3 when that is a regular file (-1 when the key is
 *      missing), else /tmp; the directory is not created;
 *   7. claims <pid directory>/<program name>.pid (created with mode 0644
 *      less the umask, so no other account can plant an id in it) and
 *      locks it (flock, exclusive) for the life of the process: forked
 *      children share the lock, exec'd programs do not get it. When another
 *      process holds the lock: -1, "another instance of this process
 *      exists (<stored id>)", whatever /proc says. Otherwise the stored id
 *      decides. An empty file, no number or one of 0 or less, an id the
 *      signal-0 probe cannot reach (no such process, or one of another
 *      account), a live process whose executable has another file name, or
 *      one whose /proc/<id>/exe cannot be read: the file is rewritten with
 *      the id in decimal and one NUL byte, and removed at normal exit by
 *      this process only (not by forked children), and only while its path
 *      still names the file claimed. The caller's own id: 0, the file left
 *      alone and no removal arranged (a process starting up twice keeps the
 *      removal its first start-up arranged). A live process
 *      whose executable has the program name: -1, "another instance of
 *      this process exists". Where the file system has no locks, the
 *      stored id decides alone, and an unreadable /proc/<id>/exe leaves the
 *      file alone (0).
 * The pid file is never opened through a symbolic link: a link at its path
 * fails start-up with "error writing pid to file", and its target is left
 * untouched; the same line and -1 when the file cannot be opened. It is
 * rewritten through the locked descriptor; the result of writing the id is
 * not checked.
 *
 * The configuration file is read line by line (pieces of up to 1023 bytes):
 * blank lines and lines starting with '#' are skipped, an entry is
 * "<name> <value>" separated by ASCII white space, the first entry of a name
 * counts, and a malformed line before it fails the lookup. A name longer than
 * 511 characters never matches; a value longer than 511 characters, or not
 * shorter than the caller's buffer (128 bytes for global.user, 1024 for
 * global.pidDir), is refused ("larger then passed buf"). Only a regular file
 * is read, opened without blocking: a FIFO, device or directory fails as an
 * unreadable file does ("fopen(<path>) failed", errno EINVAL, or EISDIR for
 * a directory). When others can write the base directory, its cfg/ or the
 * file (as with /tmp), global.user and global.pidDir are taken only from a
 * file owned by root or by the real user and not writable by others; else
 * one line, "getCfgFileVal: <path> not trusted: <reason>", and the lookup
 * fails. Every complaint goes straight to standard error.
 *
 * Every file start-up opens (configuration, pid file) and the error log are
 * close-on-exec. Not thread-safe: it sets process-wide state and the process
 * credentials. */
SC_API int sc_sys_init(const char *process_name, int app_type);

/* Waits with select() on no descriptors, the two values passed unchanged as
 * the time-out. A signal ends the wait early, and it is not resumed. A select
 * failure (EINTR included) is logged at error level as "sc_sleep: select()
 * failed" followed by the error number and text. */
SC_API void sc_sleep(int seconds, int microseconds);

/* Ends the process with exit(status): exit handlers run (the pid file is
 * removed, the error log closed), streams flush. Never returns. */
SC_API void sc_sys_exit(int status) SC_NORETURN;

SC_END_DECLS

#endif /* KELV_SC_SYS_H */
