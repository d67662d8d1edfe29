/* SPDX-License-Identifier: BSD-2-Clause */
/* libkelv-sys: process-level services for daemons, tools and test programs.
 * This umbrella header includes every public header of the library. */
#ifndef KELV_SYS_H
#define KELV_SYS_H

#include "sc_defs.h"
#include "sc_debug.h"
#include "sc_malloc.h"
#include "sc_string.h"
#include "sc_sys.h"
#include "sc_elist.h"
#include "sc_szalloc.h"
#include "sc_file.h"
#include "sc_mutex.h"
#include "sc_test.h"
#include "sc_version.h"

#endif /* KELV_SYS_H */
