// SPDX-License-Identifier: BSD-2-Clause
// libkelv-sys for C++17 and later: the C interface (<kelv/sys.h>) and the
// header-only C++ companions: KMutex and KMutexGuard (<kelv/sc_mutex.hpp>),
// SzPool and the std::pmr resource PoolResource (<kelv/sc_pmr.hpp>), and
// TrackedBlock with read_file and tracked_strdup (<kelv/sc_handles.hpp>). The
// owners are std::unique_ptr aliases with deleters. All live in
// namespace kelv::sys and add nothing to the shared library.
#ifndef KELV_SYS_HPP
#define KELV_SYS_HPP

#if !defined(__cplusplus) || __cplusplus < 201703L
#error "<kelv/sys.hpp> needs C++17 or later"
#endif

#include "sys.h"
#include "sc_handles.hpp"
#include "sc_mutex.hpp"
#include "sc_pmr.hpp"

#endif  // KELV_SYS_HPP
