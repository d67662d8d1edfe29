/* Intrusive doubly linked list. An element is any record whose first member
 * is a sc_elist_link_t; elements are passed as pointers to that link pair.
 * The list never allocates per element and checks no precondition: the caller
 * keeps each element on at most one list and names the list that holds it.
 * No locks: one thread at a time, or under the caller's lock. */
#ifndef KELV_SC_ELIST_H
#define KELV_SC_ELIST_H

#include "sc_defs.h"

SC_BEGIN_DECLS

/* Link pair: the first member of every element. */
typedef struct sc_elist_link {
  struct sc_elist_link *next; /* following element, NULL for the last */
  struct sc_elist_link *prev; /* preceding element, NULL for the first */
} sc_elist_link_t;

#define SC_ELIST_NAME_LEN 32

/* List header. A zero-filled header is a valid empty list with an empty name,
 * so headers embedded in other records need no construction. */
typedef struct sc_elist {
  sc_elist_link_t *head;         /* first element, NULL when empty */
  sc_elist_link_t *tail;         /* last element, NULL when empty */
  unsigned int count;            /* number of elements */
  char name[SC_ELIST_NAME_LEN];  /* at most 31 characters and NUL padding */
} sc_elist_t;

SC_API sc_elist_t *sc_elist_construct(const char *name);
SC_API int sc_elist_destruct(sc_elist_t *list);
SC_API int sc_elist_push_back(sc_elist_t *list, sc_elist_link_t *e);
SC_API int sc_elist_push_front(sc_elist_t *list, sc_elist_link_t *e);
SC_API int sc_elist_insert_after(sc_elist_t *list, sc_elist_link_t *pos, sc_elist_link_t *e);
SC_API int sc_elist_insert_before(sc_elist_t *list, sc_elist_link_t *pos, sc_elist_link_t *e);
SC_API int sc_elist_append(sc_elist_t *dst, sc_elist_t *src);
SC_API unsigned int sc_elist_get_size(const sc_elist_t *list);
SC_API sc_elist_link_t *sc_elist_peek_front(const sc_elist_t *list);
SC_API sc_elist_link_t *sc_elist_peek_back(const sc_elist_t *list);
SC_API sc_elist_link_t *sc_elist_get_next(const sc_elist_link_t *e);
SC_API sc_elist_link_t *sc_elist_get_prev(const sc_elist_link_t *e);
SC_API sc_elist_link_t *sc_elist_pop_front(sc_elist_t *list);
SC_API sc_elist_link_t *sc_elist_pop_back(sc_elist_t *list);
SC_API int sc_elist_remove(sc_elist_t *list, sc_elist_link_t *e);

SC_END_DECLS

#endif /* KELV_SC_ELIST_H */
