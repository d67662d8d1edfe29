/* SPDX-License-Identifier: BSD-2-Clause */
/* String and character helpers: duplication on the tracked heap, backwards
 * decimal rendering, a null-safe comparison, formatting wrappers and the
 * Latin-1 character-class table. All of them are reentrant. */
#ifndef KELV_SC_STRING_H
#define KELV_SC_STRING_H

#include "sc_defs.h"

SC_BEGIN_DECLS

/* Class bits of sc_kctype. */
#define SC_KCT_UPPER 0x01     /* upper-case letter (ASCII and Latin-1) */
#define SC_KCT_LOWER 0x02     /* lower-case letter (ASCII and Latin-1) */
#define SC_KCT_DIGIT 0x04     /* decimal digit */
#define SC_KCT_CNTRL 0x08     /* control character (0x00-0x1f, 0x7f; not C1) */
#define SC_KCT_PUNCT 0x10     /* punctuation or sign */
#define SC_KCT_SPACE 0x20     /* white space, no-break space included */
#define SC_KCT_XLETTER 0x40   /* hexadecimal letter a-f, A-F */
#define SC_KCT_SPACECHAR 0x80 /* the space character proper: 0x20 and 0xa0 */

/* 256 class masks for ISO 8859-1, indexed by the character's code 0-255. */
extern SC_API const unsigned char sc_kctype[256];

/* Returns a copy of `s` on the tracked heap, or NULL when memory runs out
 * (after the line "sc_strdup: sc_malloc(<n>) failed") or when `s` is NULL.
 * Release with __sc_kfree(copy, strlen(copy) + 1). */
SC_API char *sc_strdup(const char *s) SC_MALLOC;

/* Renders `value` in decimal backwards, ending just before `end`, and returns
 * the first character. Writes at most 10 characters, no terminator, and never
 * touches *end itself. */
SC_API char *sc_ulltostr(unsigned int value, char *end);

/* As sc_ulltostr for a signed value, with a leading '-' when negative: at
 * most 11 characters (-2147483648). */
SC_API char *sc_lltostr(int value, char *end);

/* strcmp that accepts NULL: NULL equals NULL and sorts before any string. */
SC_API int sc_strcmp(const char *a, const char *b);

/* vsnprintf into buf; a longer text is cut. Always returns 0. */
SC_API int sc_snprintf(char *buf, unsigned int size, const char *fmt, ...) SC_PRINTF(3, 4);

/* vprintf to standard output, ignoring the diagnostic settings. Always 0. */
SC_API int sc_printf(const char *fmt, ...) SC_PRINTF(1, 2);

SC_END_DECLS

#endif /* KELV_SC_STRING_H */
