/* SPDX-License-Identifier: BSD-2-Clause */
/* Common definitions of the libkelv-sys public headers: linkage, export and
 * attribute macros. Every other public header includes this one. */
#ifndef KELV_SC_DEFS_H
#define KELV_SC_DEFS_H

#ifdef __cplusplus
#define SC_BEGIN_DECLS extern "C" {
#define SC_END_DECLS }
#else
#define SC_BEGIN_DECLS
#define SC_END_DECLS
#endif

#if defined(__GNUC__) || defined(__clang__)
#define SC_API __attribute__((visibility("default")))
#define SC_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#define SC_MALLOC __attribute__((malloc))
#define SC_ALLOC_SIZE(...) __attribute__((alloc_size(__VA_ARGS__)))
#define SC_NORETURN __attribute__((noreturn))
#define SC_LIKELY(x) __builtin_expect(!!(x), 1)
#define SC_UNLIKELY(x) __builtin_expect(!!(x), 0)
#else
#define SC_API
#define SC_PRINTF(fmt_index, first_arg)
#define SC_MALLOC
#define SC_ALLOC_SIZE(...)
#define SC_NORETURN
#define SC_LIKELY(x) (x)
#define SC_UNLIKELY(x) (x)
#endif

#endif /* KELV_SC_DEFS_H */
