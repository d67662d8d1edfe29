/* Whole-file helpers on path names. Each call opens what it needs and closes
 * it before returning; failures are returned and reported as one line at
 * error level through SC_LOG. */
#ifndef KELV_SC_FILE_H
#define KELV_SC_FILE_H

#include "sc_defs.h"

SC_BEGIN_DECLS

/* Longest path the directory walk accepts (bytes, terminator excluded). */
#define SC_FILE_PATH_MAX 511

SC_API int sc_file_exists(const char *path, unsigned int *size);
SC_API int sc_file_remove(const char *path);
SC_API int sc_file_rename(const char *old_path, const char *new_path);
SC_API int sc_file_read_bytes(const char *path, char **buf, unsigned int *len,
                              unsigned int required);
SC_API int sc_file_read(const char *path, char **buf, unsigned int *len);
SC_API int sc_file_check_path(const char *path);
SC_API int sc_file_write(const char *path, const void *buf, unsigned int len);
SC_API int sc_file_append(const char *path, const void *buf, unsigned int len);
SC_API int sc_file_copy(const char *src, const char *dst);

SC_END_DECLS

#endif /* KELV_SC_FILE_H */
