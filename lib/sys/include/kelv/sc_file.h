/* SPDX-License-Identifier: BSD-2-Clause */
/* Whole-file helpers on path names. Each call opens what it needs and closes
 * it before returning, and keeps nothing between calls. Failures are returned
 * and reported as one line at error level through SC_LOG (so nothing is
 * written when __sc_debug_level is below 2; the result is the same). Lines
 * that name a NULL path show it as "(null)". Descriptors and streams are
 * opened close-on-exec, so nothing leaks into child processes. */
#ifndef KELV_SC_FILE_H
#define KELV_SC_FILE_H

#include "sc_defs.h"

SC_BEGIN_DECLS

/* Longest path the directory walk accepts (bytes, terminator excluded). It
 * bounds the paths of sc_file_check_path, the writers and the copy's
 * destination; the other calls hand their paths to the system unchanged. */
#define SC_FILE_PATH_MAX 511

/* 1 when `path` names an existing file of any kind (symbolic links are
 * followed; a directory or a device counts), else 0. When `size` is not NULL
 * it receives the file's size, cut to its low 32 bits. Logs nothing; a NULL
 * path answers 0. */
SC_API int sc_file_exists(const char *path, unsigned int *size);

/* Removes a file or an empty directory. 0, or -1 with
 * "sc_file_remove: remove() <path> failed". */
SC_API int sc_file_remove(const char *path);

/* Renames `old_path` to `new_path`. 0, or -1 with
 * "sc_file_rename: rename(<old>, <new>) failed". */
SC_API int sc_file_rename(const char *old_path, const char *new_path);

/* Reads the whole file (`required` 0) or exactly its first `required` bytes
 * into one new block of the tracked heap followed by a NUL, and stores the
 * block in *buf and its size (bytes read + 1) in *len. The caller releases it
 * with __sc_kfree(*buf, *len). Returns 0, or -1 with *buf NULL, *len 0,
 * nothing allocated and one line starting "sc_file_read_bytes: ": open, seek,
 * empty file ("lseek (curr pos 0, end pos 0) failed"), file shorter than
 * `required`, allocation or read failure. A read of 2 GiB or more (a whole
 * file that large, or such a `required`) is refused with "file size <n> too
 * large"; the first bytes of a larger file are served. Both
 * output pointers are required: when either is NULL, the other is cleared
 * and -1 is returned with "NULL output for <path>". */
SC_API int sc_file_read_bytes(const char *path, char **buf, unsigned int *len,
                              unsigned int required);

/* sc_file_read_bytes(path, buf, len, 0): the whole file. */
SC_API int sc_file_read(const char *path, char **buf, unsigned int *len);

/* Makes the directories of `path` (permission 0777 less the umask): for each
 * '/' after the first byte, the prefix before it. A prefix that exists
 * already (EEXIST, whatever it is) is passed over; the part after the last
 * '/' is taken as a file name, so a/b/c makes a and a/b, and a/b/c/ makes
 * a/b/c too. Returns 0 (also for "", "/" and a bare name), or -1 with
 * "sc_file_check_path: NULL path", "... path too long <path>" (over
 * SC_FILE_PATH_MAX bytes) or "... mkdir (<prefix>, 777) failed"; directories
 * made before a failure remain. */
SC_API int sc_file_check_path(const char *path);

/* Makes the parent directories, then creates or truncates `path` and writes
 * `len` bytes of `buf` (NULL is allowed when `len` is 0). Returns 0 only when
 * every byte reached the file: a short write, or a failure when the stream is
 * flushed and closed (a full disk), returns -1. One line, each starting
 * "sc_file_write: ": "sc_file_check_path(<path>) failed" (after the walk's own
 * line), "fopen(<path>, 'w') failed", "fwrite(<path>, 1, <len>) returns <n>",
 * "fclose(<path>) failed", or "NULL buffer of <len> bytes for <path>" (refused
 * before anything is touched). A write that fails after the open leaves the
 * file created or truncated, with whatever reached it. */
SC_API int sc_file_write(const char *path, const void *buf, unsigned int len);

/* As sc_file_write, adding at the end of the file (creating it when
 * missing). Its lines also start "sc_file_write: "; the open failure reads
 * "fopen(<path>, 'a') failed". */
SC_API int sc_file_append(const char *path, const void *buf, unsigned int len);

/* Copies `src` to the new file `dst` (parent directories made), byte for
 * byte; an empty source is not copied (the reader refuses it). Answers 1
 * when the copy was made, else 0 (never -1): NULL arguments (nothing logged),
 * "sc_file_copy: source file does not exist", "sc_file_copy: destination file
 * already exists" (destination untouched), "sc_file_copy: file read failed"
 * (after the reader's line), or a failed write (the writer's line only; a
 * partial destination may remain). */
SC_API int sc_file_copy(const char *src, const char *dst);

SC_END_DECLS

#endif /* KELV_SC_FILE_H */
