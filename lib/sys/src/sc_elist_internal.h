// The intrusive list's operations as inline functions, shared by the exported
// sc_elist_* entry points and the pool allocator's hot path. Never installed.
#ifndef KELV_SYS_SRC_SC_ELIST_INTERNAL_H
#define KELV_SYS_SRC_SC_ELIST_INTERNAL_H

#include "kelv/sc_elist.h"

namespace kelv::sys::elist {

using Link = sc_elist_link_t;
using List = sc_elist_t;

// push_back judges emptiness by the tail, push_front by the head.
inline void push_back(List *list, Link *e) {
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

inline void push_front(List *list, Link *e) {
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

inline Link *pop_front(List *list) {
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

inline Link *pop_back(List *list) {
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

inline void remove(List *list, Link *e) {
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

}  // namespace kelv::sys::elist

#endif  // KELV_SYS_SRC_SC_ELIST_INTERNAL_H
