/* SPDX-License-Identifier: BSD-2-Clause */
/* Intrusive doubly linked list. An element is any record whose first member
 * is a sc_elist_link_t; elements are passed as pointers to that link pair,
 * which is also the record's address (no offset is ever applied).
 *
 * The list never allocates per element, never copies one, and checks no
 * precondition: the caller keeps each element on at most one list, names the
 * list that holds it, and passes no null list or element. Every operation but
 * construction and destruction is constant time and cannot fail.
 *
 * Result convention: push, insert, append and remove always return 1 (not the
 * library's usual 0/-1); the pops return the element taken off.
 *
 * No locks: one thread at a time, or under the caller's lock. */
#ifndef KELV_SC_ELIST_H
#define KELV_SC_ELIST_H

#include "sc_defs.h"

SC_BEGIN_DECLS

/* Link pair: the first member of every element. An element outside any list
 * has both links NULL after a pop or a remove. */
typedef struct sc_elist_link {
  struct sc_elist_link *next; /* following element, NULL for the last */
  struct sc_elist_link *prev; /* preceding element, NULL for the first */
} sc_elist_link_t;

#define SC_ELIST_NAME_LEN 32

/* List header. A zero-filled header is a valid empty list with an empty name,
 * so headers embedded in other records need no construction (and are never
 * passed to sc_elist_destruct).
 *
 * Layout (part of the ABI): head, tail, count, name in this order; with
 * 4-byte pointers the offsets are 0, 4, 8, 12 and the size 44 bytes, with
 * 8-byte pointers 0, 8, 16, 20 and 56 bytes. */
typedef struct sc_elist {
  sc_elist_link_t *head;         /* first element, NULL when empty */
  sc_elist_link_t *tail;         /* last element, NULL when empty */
  unsigned int count;            /* number of elements */
  char name[SC_ELIST_NAME_LEN];  /* at most 31 characters and NUL padding */
} sc_elist_t;

/* Allocates an empty header on the tracked heap, named with the first 31
 * characters of `name` (NUL-padded to the end of the field); a NULL name
 * gives an empty name. On failure logs
 * "sc_elist_construct[<name>]: sc_malloc(<size>) failed" at error level and
 * returns NULL. Release with sc_elist_destruct. */
SC_API sc_elist_t *sc_elist_construct(const char *name);

/* Releases a header made by sc_elist_construct; NULL does nothing. Elements
 * still on the list are not visited: their links stay as they were. Returns
 * 0 (the tracked heap's result). */
SC_API int sc_elist_destruct(sc_elist_t *list);

/* Links `e` (on no list) as the new last / first element. Return 1. */
SC_API int sc_elist_push_back(sc_elist_t *list, sc_elist_link_t *e);
SC_API int sc_elist_push_front(sc_elist_t *list, sc_elist_link_t *e);

/* Links `e` (on no list) just after / just before `pos`, an element of
 * `list`; with the last / first element as `pos` this is the matching push.
 * Return 1. */
SC_API int sc_elist_insert_after(sc_elist_t *list, sc_elist_link_t *pos, sc_elist_link_t *e);
SC_API int sc_elist_insert_before(sc_elist_t *list, sc_elist_link_t *pos, sc_elist_link_t *e);

/* Moves every element of `src` to the end of `dst` in order, in constant
 * time, and leaves `src` empty (its name kept). `dst` and `src` must differ.
 * Returns 1. */
SC_API int sc_elist_append(sc_elist_t *dst, sc_elist_t *src);

/* Number of elements. */
SC_API unsigned int sc_elist_get_size(const sc_elist_t *list);

/* First / last element, or NULL when the list is empty. */
SC_API sc_elist_link_t *sc_elist_peek_front(const sc_elist_t *list);
SC_API sc_elist_link_t *sc_elist_peek_back(const sc_elist_t *list);

/* The element after / before `e` (NULL at the end); no list needed. */
SC_API sc_elist_link_t *sc_elist_get_next(const sc_elist_link_t *e);
SC_API sc_elist_link_t *sc_elist_get_prev(const sc_elist_link_t *e);

/* Unlinks and returns the first / last element with both links NULL, or
 * returns NULL and changes nothing when the list is empty. */
SC_API sc_elist_link_t *sc_elist_pop_front(sc_elist_t *list);
SC_API sc_elist_link_t *sc_elist_pop_back(sc_elist_t *list);

/* Unlinks `e`, an element of `list`, leaving both its links NULL. Returns 1. */
SC_API int sc_elist_remove(sc_elist_t *list, sc_elist_link_t *e);

SC_END_DECLS

#endif /* KELV_SC_ELIST_H */
