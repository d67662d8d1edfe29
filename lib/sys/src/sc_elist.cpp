// Intrusive doubly linked list: headers on the tracked heap, links inside the
// elements, every element operation constant time.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "kelv/sc_elist.h"
#include "sc_os.h"
#include "sc_string_internal.h"

// The header and link layout is part of the ABI: callers embed both.
static_assert(offsetof(sc_elist_link_t, next) == 0, "next leads the link pair");
static_assert(offsetof(sc_elist_t, head) == 0, "head leads the header");
#if UINTPTR_MAX == 0xffffffffu
static_assert(sizeof(sc_elist_link_t) == 8 && offsetof(sc_elist_link_t, prev) == 4, "i386 link");
static_assert(offsetof(sc_elist_t, tail) == 4 && offsetof(sc_elist_t, count) == 8 &&
                  offsetof(sc_elist_t, name) == 12 && sizeof(sc_elist_t) == 44,
              "i386 header");
#elif UINTPTR_MAX == 0xffffffffffffffffu
static_assert(sizeof(sc_elist_link_t) == 16 && offsetof(sc_elist_link_t, prev) == 8,
              "LP64 link");
static_assert(offsetof(sc_elist_t, tail) == 8 && offsetof(sc_elist_t, count) == 16 &&
                  offsetof(sc_elist_t, name) == 20 && sizeof(sc_elist_t) == 56,
              "LP64 header");
#else
#error "unsupported pointer size"
#endif
static_assert(sizeof(((sc_elist_t *)nullptr)->count) == 4, "count is unsigned 32-bit");

namespace kelv::sys {
namespace {

// The element operations, shared by the entry points.
using Link = sc_elist_link_t;
using List = sc_elist_t;

// push_back judges emptiness by the tail, push_front by the head.
void push_back(List *list, Link *e) {
  Link *tail = list->tail;
  e->next = nullptr;
  e->prev = tail;
  if (tail != nullptr) {
    tail->next = e;
  } else {
    list->head = e;
  }
  list->tail = e;
  ++list->count;
}

void push_front(List *list, Link *e) {
  Link *head = list->head;
  e->next = head;
  e->prev = nullptr;
  if (head != nullptr) {
    head->prev = e;
  } else {
    list->tail = e;
  }
  list->head = e;
  ++list->count;
}

Link *pop_front(List *list) {
  Link *e = list->head;
  if (e == nullptr) return nullptr;
  if (e == list->tail) {
    list->head = nullptr;
    list->tail = nullptr;
  } else {
    list->head = e->next;
    list->head->prev = nullptr;
  }
  e->next = nullptr;
  e->prev = nullptr;
  --list->count;
  return e;
}

Link *pop_back(List *list) {
  Link *e = list->tail;
  if (e == nullptr) return nullptr;
  if (e == list->head) {
    list->head = nullptr;
    list->tail = nullptr;
  } else {
    list->tail = e->prev;
    list->tail->next = nullptr;
  }
  e->next = nullptr;
  e->prev = nullptr;
  --list->count;
  return e;
}

void remove_link(List *list, Link *e) {
  if (e == list->head) {
    pop_front(list);
  } else if (e == list->tail) {
    pop_back(list);
  } else {
    e->prev->next = e->next;
    e->next->prev = e->prev;
    e->next = nullptr;
    e->prev = nullptr;
    --list->count;
  }
}

}  // namespace
}  // namespace kelv::sys

using namespace kelv::sys;

sc_elist_t *sc_elist_construct(const char *name) {
  constexpr unsigned kSize = sizeof(sc_elist_t);
  auto *list = static_cast<sc_elist_t *>(__sc_kmalloc(kSize));
  if (list == nullptr) {
    SC_LOG(SC_LOG_ERROR, "sc_elist_construct[%s]: sc_malloc(%d) failed\n",
           internal::printable(name), static_cast<int>(kSize));
    return nullptr;
  }
  list->head = nullptr;
  list->tail = nullptr;
  list->count = 0;
  strncpy(list->name, name != nullptr ? name : "", SC_ELIST_NAME_LEN - 1);
  list->name[SC_ELIST_NAME_LEN - 1] = '\0';
  return list;
}

int sc_elist_destruct(sc_elist_t *list) { return __sc_kfree(list, sizeof(sc_elist_t)); }

int sc_elist_push_back(sc_elist_t *list, sc_elist_link_t *e) {
  push_back(list, e);
  return 1;
}

int sc_elist_push_front(sc_elist_t *list, sc_elist_link_t *e) {
  push_front(list, e);
  return 1;
}

int sc_elist_insert_after(sc_elist_t *list, sc_elist_link_t *pos, sc_elist_link_t *e) {
  if (pos->next == nullptr) return sc_elist_push_back(list, e);
  e->next = pos->next;
  e->prev = pos;
  pos->next->prev = e;
  pos->next = e;
  ++list->count;
  return 1;
}

int sc_elist_insert_before(sc_elist_t *list, sc_elist_link_t *pos, sc_elist_link_t *e) {
  if (pos->prev == nullptr) return sc_elist_push_front(list, e);
  e->next = pos;
  e->prev = pos->prev;
  pos->prev->next = e;
  pos->prev = e;
  ++list->count;
  return 1;
}

int sc_elist_append(sc_elist_t *dst, sc_elist_t *src) {
  if (dst->head == nullptr) {
    dst->head = src->head;
    dst->tail = src->tail;
    dst->count = src->count;
  } else if (src->head != nullptr) {
    dst->tail->next = src->head;
    src->head->prev = dst->tail;
    dst->tail = src->tail;
    dst->count += src->count;
  }
  src->head = nullptr;
  src->tail = nullptr;
  src->count = 0;
  return 1;
}

unsigned int sc_elist_get_size(const sc_elist_t *list) { return list->count; }

sc_elist_link_t *sc_elist_peek_front(const sc_elist_t *list) { return list->head; }

sc_elist_link_t *sc_elist_peek_back(const sc_elist_t *list) { return list->tail; }

sc_elist_link_t *sc_elist_get_next(const sc_elist_link_t *e) { return e->next; }

sc_elist_link_t *sc_elist_get_prev(const sc_elist_link_t *e) { return e->prev; }

sc_elist_link_t *sc_elist_pop_front(sc_elist_t *list) { return pop_front(list); }

sc_elist_link_t *sc_elist_pop_back(sc_elist_t *list) { return pop_back(list); }

int sc_elist_remove(sc_elist_t *list, sc_elist_link_t *e) {
  remove_link(list, e);
  return 1;
}
