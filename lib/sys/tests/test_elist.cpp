// Intrusive list: layout, every operation's links and counts, names, and the
// header's life on the tracked heap.
#include <errno.h>
#include <stddef.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using kelv::sys::fault::Op;
using kelv::test::ChildResult;
using kelv::test::FaultGuard;
using kelv::test::RunInChild;
using kelv::test::RunLogged;

constexpr size_t W = sizeof(void *);

TEST(ElistLayout, FieldsInOrderForThisWordSize) {
  EXPECT_EQ(offsetof(sc_elist_link_t, next), 0u);
  EXPECT_EQ(offsetof(sc_elist_link_t, prev), W);
  EXPECT_EQ(sizeof(sc_elist_link_t), 2 * W);
  EXPECT_EQ(offsetof(sc_elist_t, head), 0u);
  EXPECT_EQ(offsetof(sc_elist_t, tail), W);
  EXPECT_EQ(offsetof(sc_elist_t, count), 2 * W);
  EXPECT_EQ(sizeof(sc_elist_t{}.count), 4u);
  EXPECT_EQ(offsetof(sc_elist_t, name), 2 * W + 4);
  EXPECT_EQ(sizeof(sc_elist_t), (2 * W + 4 + 32 + W - 1) / W * W);  // 44 on i386, 56 on x86-64
}

struct Node {
  sc_elist_link_t link;
  int value;
};

// A list of nodes on the stack, with its header zero-filled as records
// embedding it do.
class ElistTest : public ::testing::Test {
 protected:
  ElistTest() {
    memset(&list_, 0, sizeof list_);
    for (int i = 0; i < kNodes; ++i) {
      nodes_[i].value = i;
      nodes_[i].link.next = nodes_[i].link.prev = Junk();
    }
  }
  static sc_elist_link_t *Junk() { return reinterpret_cast<sc_elist_link_t *>(uintptr_t{0x5a5a}); }
  sc_elist_link_t *L(int i) { return &nodes_[i].link; }

  // Values front to back; checks the back-to-front walk, the end links and
  // the count against it.
  std::vector<int> Values(const sc_elist_t &list) {
    std::vector<int> forward, backward;
    for (sc_elist_link_t *e = sc_elist_peek_front(&list); e != nullptr; e = sc_elist_get_next(e))
      forward.push_back(reinterpret_cast<Node *>(e)->value);
    for (sc_elist_link_t *e = sc_elist_peek_back(&list); e != nullptr; e = sc_elist_get_prev(e))
      backward.insert(backward.begin(), reinterpret_cast<Node *>(e)->value);
    EXPECT_EQ(forward, backward);
    EXPECT_EQ(sc_elist_get_size(&list), forward.size());
    if (list.head != nullptr) {
      EXPECT_EQ(list.head->prev, nullptr);
      EXPECT_EQ(list.tail->next, nullptr);
    }
    return forward;
  }
  void ExpectUnlinked(const sc_elist_link_t *e) {
    EXPECT_EQ(e->next, nullptr);
    EXPECT_EQ(e->prev, nullptr);
  }

  static constexpr int kNodes = 8;
  sc_elist_t list_;
  Node nodes_[kNodes];
};

TEST_F(ElistTest, ZeroFilledHeaderIsAnEmptyList) {
  const sc_elist_t zero = list_;
  EXPECT_EQ(sc_elist_get_size(&list_), 0u);
  EXPECT_EQ(sc_elist_peek_front(&list_), nullptr);
  EXPECT_EQ(sc_elist_peek_back(&list_), nullptr);
  EXPECT_EQ(sc_elist_pop_front(&list_), nullptr);
  EXPECT_EQ(sc_elist_pop_back(&list_), nullptr);
  EXPECT_EQ(memcmp(&zero, &list_, sizeof zero), 0);
}

TEST_F(ElistTest, FirstElementAtEitherEndIsHeadAndTail) {
  for (auto push : {sc_elist_push_back, sc_elist_push_front}) {
    memset(&list_, 0, sizeof list_);
    EXPECT_EQ(push(&list_, L(0)), 1);
    EXPECT_EQ(list_.head, L(0));
    EXPECT_EQ(list_.tail, L(0));
    EXPECT_EQ(list_.count, 1u);
    ExpectUnlinked(L(0));
  }
}

TEST_F(ElistTest, PushesKeepOrderAndPopsUnlink) {
  sc_elist_push_back(&list_, L(1));
  sc_elist_push_back(&list_, L(2));
  sc_elist_push_front(&list_, L(0));
  sc_elist_push_back(&list_, L(3));
  EXPECT_EQ(Values(list_), (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(sc_elist_get_prev(L(0)), nullptr);
  EXPECT_EQ(sc_elist_get_next(L(3)), nullptr);

  EXPECT_EQ(sc_elist_pop_front(&list_), L(0));
  ExpectUnlinked(L(0));
  EXPECT_EQ(sc_elist_pop_back(&list_), L(3));
  ExpectUnlinked(L(3));
  EXPECT_EQ(Values(list_), (std::vector<int>{1, 2}));
  EXPECT_EQ(sc_elist_pop_back(&list_), L(2));
  EXPECT_EQ(sc_elist_pop_front(&list_), L(1));
  ExpectUnlinked(L(1));
  EXPECT_EQ(list_.head, nullptr);
  EXPECT_EQ(list_.tail, nullptr);
  EXPECT_EQ(list_.count, 0u);

  // The last element leaves by the back as well.
  sc_elist_push_front(&list_, L(1));
  EXPECT_EQ(sc_elist_pop_back(&list_), L(1));
  ExpectUnlinked(L(1));
  EXPECT_EQ(list_.head, nullptr);
  EXPECT_EQ(list_.tail, nullptr);
  EXPECT_EQ(list_.count, 0u);
}

TEST_F(ElistTest, InsertsAtTheEndsAreThePushesAndInsideJoinNeighbours) {
  sc_elist_push_back(&list_, L(2));
  EXPECT_EQ(sc_elist_insert_after(&list_, L(2), L(4)), 1);   // after the tail
  EXPECT_EQ(sc_elist_insert_before(&list_, L(2), L(0)), 1);  // before the head
  EXPECT_EQ(list_.head, L(0));
  EXPECT_EQ(list_.tail, L(4));
  EXPECT_EQ(sc_elist_insert_after(&list_, L(0), L(1)), 1);
  EXPECT_EQ(sc_elist_insert_before(&list_, L(4), L(3)), 1);
  EXPECT_EQ(Values(list_), (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST_F(ElistTest, RemoveOfHeadTailAndInterior) {
  for (int i = 0; i < 5; ++i) sc_elist_push_back(&list_, L(i));
  EXPECT_EQ(sc_elist_remove(&list_, L(2)), 1);
  ExpectUnlinked(L(2));
  EXPECT_EQ(Values(list_), (std::vector<int>{0, 1, 3, 4}));
  EXPECT_EQ(sc_elist_remove(&list_, L(0)), 1);
  ExpectUnlinked(L(0));
  EXPECT_EQ(sc_elist_remove(&list_, L(4)), 1);
  ExpectUnlinked(L(4));
  EXPECT_EQ(Values(list_), (std::vector<int>{1, 3}));
  sc_elist_remove(&list_, L(3));
  sc_elist_remove(&list_, L(1));
  EXPECT_EQ(Values(list_), std::vector<int>{});
  EXPECT_EQ(list_.head, nullptr);
  EXPECT_EQ(list_.tail, nullptr);
}

TEST_F(ElistTest, AppendSplicesInOrderAndEmptiesTheSource) {
  sc_elist_t src;
  memset(&src, 0, sizeof src);
  strcpy(src.name, "source");
  for (int i = 0; i < 3; ++i) sc_elist_push_back(&list_, L(i));
  for (int i = 3; i < 5; ++i) sc_elist_push_back(&src, L(i));
  EXPECT_EQ(sc_elist_append(&list_, &src), 1);
  EXPECT_EQ(Values(list_), (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(Values(src), std::vector<int>{});
  EXPECT_EQ(src.head, nullptr);
  EXPECT_EQ(src.tail, nullptr);
  EXPECT_STREQ(src.name, "source");

  // An empty source leaves the destination as it was.
  const sc_elist_t before = list_;
  EXPECT_EQ(sc_elist_append(&list_, &src), 1);
  EXPECT_EQ(memcmp(&before, &list_, sizeof before), 0);

  // An empty destination takes the source's elements over.
  EXPECT_EQ(sc_elist_append(&src, &list_), 1);
  EXPECT_EQ(Values(src), (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(Values(list_), std::vector<int>{});
}

TEST(ElistHeader, NamesAreCutAt31AndPaddedWithNul) {
  const unsigned before = total_allocate;
  const std::string forty(40, 'x'), thirty_one(31, 'y');
  struct Case {
    const char *name;
    std::string stored;
  } cases[] = {{forty.c_str(), forty.substr(0, 31)},
               {thirty_one.c_str(), thirty_one},
               {"short", "short"},
               {nullptr, ""}};
  for (const Case &c : cases) {
    sc_elist_t *list = sc_elist_construct(c.name);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(total_allocate - before, sizeof(sc_elist_t));
    EXPECT_EQ(std::string(list->name), c.stored);
    for (size_t i = c.stored.size(); i < SC_ELIST_NAME_LEN; ++i) EXPECT_EQ(list->name[i], '\0');
    EXPECT_EQ(list->head, nullptr);
    EXPECT_EQ(list->tail, nullptr);
    EXPECT_EQ(list->count, 0u);
    EXPECT_EQ(sc_elist_destruct(list), 0);
    EXPECT_EQ(total_allocate, before);
  }
  EXPECT_EQ(sc_elist_destruct(nullptr), 0);
}

TEST(ElistHeader, DestructLeavesElementsLinked) {
  Node a{}, b{};
  sc_elist_t *list = sc_elist_construct("held");
  ASSERT_NE(list, nullptr);
  sc_elist_push_back(list, &a.link);
  sc_elist_push_back(list, &b.link);
  EXPECT_EQ(sc_elist_destruct(list), 0);
  EXPECT_EQ(a.link.next, &b.link);
  EXPECT_EQ(b.link.prev, &a.link);
}

TEST(ElistHeader, RefusedHeaderIsLoggedAndNull) {
  ChildResult r = RunLogged([] {
    FaultGuard refuse(Op::kMalloc, 0, 1, ENOMEM);
    return sc_elist_construct("jobs") == nullptr ? 0 : 1;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code;
  const std::string size = std::to_string(sizeof(sc_elist_t));
  EXPECT_EQ(r.err, "sc_kmalloc: do_malloc(" + size + ") failed\nsc_elist_construct[jobs]: sc_malloc(" +
                       size + ") failed\n");
}

}  // namespace
