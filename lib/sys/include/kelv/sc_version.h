/* SPDX-License-Identifier: BSD-2-Clause */
/* The version of these headers and the build record of the library.
 *
 * Every build of libkelv-sys carries two exported data objects made by the
 * build itself:
 *
 * - `sw_version`, a struct sc_build_record (layout below) with the library
 *   version, the source revision, the build date and the compiler;
 * - a read-only character array whose NAME carries the version and the
 *   revision: "sc_build_", the major, minor and patch numbers and the
 *   revision, joined by '_', for instance sc_build_0_1_0_g1a2b3c4,
 *   sc_build_0_1_0_g1a2b3c4_dirty, or sc_build_0_1_0_v0_1_0_2_g1a2b3c4
 *   two commits after a tag. Its text is "kelv-sys <version>
 *   <revision>", e.g. "kelv-sys 0.1.0 v0.1.0-2-g1a2b3c4".
 *   `nm -D libkelv-sys.so.0 | grep sc_build_` tells which build a binary
 *   holds, without running anything.
 *
 * The revision is the output of `git describe --always` on the source tree,
 * followed by "-dirty" when tracked files differed from the commit, or
 * "unknown" when the library was built outside a git checkout (or the one
 * the packager supplied). In the symbol every character of the revision
 * outside [A-Za-z0-9] becomes '_', and a bare commit hash is preceded by 'g'.
 * The date is when the record was made: the first build of that version,
 * revision and compiler in a build directory (SOURCE_DATE_EPOCH, when set,
 * fixes it for reproducible builds).
 *
 * The record holds no pointer, so its layout and size are the same for
 * 32-bit and 64-bit builds (324 bytes, 4-byte aligned). Fields may be added
 * at the end in later versions, raising `layout` and `size`; existing fields
 * never move. Every text is NUL-terminated within its array. */
#ifndef KELV_SC_VERSION_H
#define KELV_SC_VERSION_H

#include "sc_defs.h"

SC_BEGIN_DECLS

/* Version of these headers; the library's own is in sw_version. A program
 * can compare the two to detect a library older than its headers. */
#define SC_VERSION_MAJOR 0
#define SC_VERSION_MINOR 1
#define SC_VERSION_PATCH 0
#define SC_VERSION_STRING "0.1.0"

/* Contents of sc_build_record.magic: lets a tool find the record in a
 * binary or a core file. */
#define SC_BUILD_RECORD_MAGIC "KELVSYS"
/* Layout number of struct sc_build_record as described here. */
#define SC_BUILD_RECORD_LAYOUT 1

struct sc_build_record {
  char magic[8];          /* SC_BUILD_RECORD_MAGIC and a NUL */
  unsigned int size;      /* sizeof(struct sc_build_record) in the library */
  unsigned int layout;    /* SC_BUILD_RECORD_LAYOUT of the library */
  unsigned int major;     /* library version, as numbers */
  unsigned int minor;
  unsigned int patch;
  char version[16];       /* "<major>.<minor>.<patch>" */
  char revision[64];      /* source revision (see above) or "unknown" */
  char date[24];          /* build date, UTC: "YYYY-MM-DDThh:mm:ssZ" */
  char compiler[64];      /* compiler identification and version, e.g. "GNU 12.2.0" */
  char symbol[128];       /* the name of the build-generated symbol */
};

/* The build record of the library a program runs with. Read-only. */
extern SC_API const struct sc_build_record sw_version;

SC_END_DECLS

#endif /* KELV_SC_VERSION_H */
