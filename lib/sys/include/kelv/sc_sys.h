/* Process runtime: application type, base directory, start-up with account
 * switch and single-instance pid file, sleep and exit. */
#ifndef KELV_SC_SYS_H
#define KELV_SC_SYS_H

#include "sc_defs.h"

SC_BEGIN_DECLS

/* Application types given to sc_sys_init. 0 means start-up never ran. */
#define SC_APP_ROOT 1    /* base directory is the root itself; no account switch, pid file in /tmp */
#define SC_APP_MGT_SVR 2 /* management server: <root>/mgt-svr, cfg/mgt-svr.cfg */
#define SC_APP_DEVICE 3  /* device: <root>/device, cfg/vorn.cfg */
#define SC_APP_TOOL 4    /* base directory always /tmp */
#define SC_APP_TEST 5    /* base directory always /tmp */

/* When not NULL, the base directory of every type other than 4 and 5 (no
 * subdirectory appended). The library never writes it. */
extern SC_API char *sc_basedir_from_input;

/* The process name given to sc_sys_init (the caller's pointer, not a copy:
 * it must stay valid for the life of the process). NULL before start-up. */
extern SC_API const char *sc_process_name;

/* The recorded application type; 0 before sc_sys_init. */
SC_API int sc_get_apptype(void);

/* Resolves the base directory afresh from the type, sc_basedir_from_input and
 * the environment (VORNDIR, or the obsolete TARLENDIR) into buf (at most size
 * bytes, terminator included). Returns 0, or -1 with buf untouched and a
 * complaint on standard error. */
SC_API int sc_get_basedir(char *buf, unsigned int size);

/* Start-up: records the name and type, resolves the base directory, switches
 * to the account of global.user, applies SC_DEBUG_* from the environment,
 * and claims the pid file <pidDir>/<program name>.pid, refusing a second live
 * instance. Returns 0 or -1. */
SC_API int sc_sys_init(const char *process_name, int app_type);

/* Waits with select() on no descriptors; a signal cuts the wait short. A
 * select failure is logged at error level ("sc_sleep: select() failed"). */
SC_API void sc_sleep(int seconds, int microseconds);

/* Ends the process with exit(status): exit handlers run, streams flush. */
SC_API void sc_sys_exit(int status) SC_NORETURN;

SC_END_DECLS

#endif /* KELV_SC_SYS_H */
