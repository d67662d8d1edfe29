// Intrusive list: every link after every operation, and a constructed header.
#include <gtest/gtest.h>

#include "test_support.h"

static sc_elist_t list, other;  // zero-filled: empty lists
static sc_elist_link_t e[6];

// The list front to back, back to front, and its count: "012|210|3".
static std::string Picture(const sc_elist_t &l) {
  std::string f, b;
  for (auto *x = sc_elist_peek_front(&l); x && f.size() < 7; x = sc_elist_get_next(x)) f += '0' + (x - e);
  for (auto *x = sc_elist_peek_back(&l); x && b.size() < 7; x = sc_elist_get_prev(x)) b += '0' + (x - e);
  return f + "|" + b + "|" + std::to_string(sc_elist_get_size(&l));
}

// A change returns 1 (a pop: its element); `list` then holds `order`, `other` nothing, the rest null links.
static void Step(int result, const std::string &order) {
  EXPECT_EQ(result, 1) << order;
  const std::string back(order.rbegin(), order.rend());
  EXPECT_EQ(Picture(list) + Picture(other), order + "|" + back + "|" + std::to_string(order.size()) + "||0");
  for (int i = 0; i < 6; ++i) EXPECT_TRUE(order.find('0' + i) < order.size() || (!e[i].next && !e[i].prev));
}

TEST(Elist, EveryOperationRelinksExactly) {
  Step(sc_elist_pop_front(&list) == nullptr && sc_elist_pop_back(&list) == nullptr, "");
  Step(sc_elist_push_back(&list, &e[2]), "2");
  Step(sc_elist_push_front(&list, &e[1]), "12");
  Step(sc_elist_insert_after(&list, &e[2], &e[4]), "124");
  Step(sc_elist_insert_before(&list, &e[1], &e[0]), "0124");
  Step(sc_elist_insert_after(&list, &e[2], &e[3]), "01234");
  Step(sc_elist_insert_before(&list, &e[2], &e[5]), "015234");
  Step(sc_elist_remove(&list, &e[5]), "01234");
  Step(sc_elist_remove(&list, &e[0]), "1234");
  Step(sc_elist_pop_front(&list) == &e[1], "234");
  Step(sc_elist_pop_back(&list) == &e[4], "23");
  Step(sc_elist_remove(&list, &e[3]), "2");
  Step(sc_elist_pop_back(&list) == &e[2], "");
  for (int i : {0, 1, 2, 3, 4}) sc_elist_push_back(i < 3 ? &list : &other, &e[i]);
  Step(sc_elist_append(&list, &other), "01234");  // 2 elements spliced onto 3
  Step(sc_elist_append(&list, &other), "01234");  // an empty list spliced
  std::swap(list, other);
  Step(sc_elist_append(&list, &other), "01234");  // 5 elements spliced onto an empty list
  // A name is cut at 31 characters and padded with NUL; the header is on the tracked heap.
  sc_elist_t *named = sc_elist_construct(std::string(40, 'x').c_str());
  EXPECT_EQ(std::string(named->name, 32) + Picture(*named), std::string(31, 'x') + '\0' + "||0");
  EXPECT_EQ(total_allocate, sizeof(sc_elist_t));
  EXPECT_EQ(sc_elist_destruct(named) + total_allocate, 0u);
}
