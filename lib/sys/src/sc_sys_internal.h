// The process runtime's private pieces. Never installed.
#ifndef KELV_SYS_SRC_SC_SYS_INTERNAL_H
#define KELV_SYS_SRC_SC_SYS_INTERNAL_H

namespace kelv::sys::internal {

// Looks `key` up in the configuration file `path`: the value (shorter than
// `size`) into `value` and 0, or -1 with one complaint on standard error and
// `value` untouched. Anything but a regular file fails as unreadable. With
// `trust_base` (the base directory the file lies under), a file that others
// could have planted or changed is refused (see cfg_trusted).
int getCfgFileVal(const char *path, const char *key, char *value, unsigned int size,
                  const char *trust_base = nullptr);
// Switches to the account of global.user under `basedir`: its groups (when
// the process may set them), group and user ids. 0, or -1 with the failing
// step on standard error: also when the groups could not be replaced (the ids
// still change) or when the process can become root again afterwards.
int sc_set_uid_gid(const char *basedir);
// Exit handler: removes the pid file that start-up claimed.
void sc_cleanup_pidfile();

#if KELV_SYS_TESTING
void set_app_type(int type);  // what start-up records, without start-up
int held_pid_fd();            // the descriptor holding the pid file's lock, or -1
#endif

}  // namespace kelv::sys::internal

#endif  // KELV_SYS_SRC_SC_SYS_INTERNAL_H
