// String and character helpers.
#include <errno.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using kelv::sys::fault::Op;
using kelv::test::ChildResult;
using kelv::test::FaultGuard;
using kelv::test::RunInChild;
using kelv::test::RunLogged;

// The classes bit by bit, as independent ranges; the table must be their union.
struct ClassRange {
  unsigned char bit, lo, hi;
};
constexpr ClassRange kClassRanges[] = {
    {0x01, 0x41, 0x5a}, {0x01, 0xc0, 0xd6}, {0x01, 0xd8, 0xde},                      // upper
    {0x02, 0x61, 0x7a}, {0x02, 0xdf, 0xf6}, {0x02, 0xf8, 0xff},                      // lower
    {0x04, 0x30, 0x39},                                                              // digit
    {0x08, 0x00, 0x1f}, {0x08, 0x7f, 0x7f},                                          // control
    {0x10, 0x21, 0x2f}, {0x10, 0x3a, 0x40}, {0x10, 0x5b, 0x60}, {0x10, 0x7b, 0x7e},  // punct
    {0x10, 0xa1, 0xbf}, {0x10, 0xd7, 0xd7}, {0x10, 0xf7, 0xf7},
    {0x20, 0x09, 0x0d}, {0x20, 0x20, 0x20}, {0x20, 0xa0, 0xa0},                      // space
    {0x40, 0x41, 0x46}, {0x40, 0x61, 0x66},                                          // hex letter
    {0x80, 0x20, 0x20}, {0x80, 0xa0, 0xa0},                                          // space char
};

TEST(CharacterTable, EveryEntryIsTheUnionOfItsClasses) {
  for (unsigned c = 0; c < 256; ++c) {
    unsigned expected = 0;
    for (const ClassRange &r : kClassRanges)
      if (c >= r.lo && c <= r.hi) expected |= r.bit;
    EXPECT_EQ(sc_kctype[c], expected) << "code 0x" << std::hex << c;
  }
}

TEST(CharacterTable, NotableEntries) {
  EXPECT_EQ(sc_kctype[0x20], 0xa0);
  EXPECT_EQ(sc_kctype[0xa0], 0xa0);
  EXPECT_EQ(sc_kctype[0x41], 0x41);
  EXPECT_EQ(sc_kctype[0x39], 0x04);
  EXPECT_EQ(sc_kctype[0x85], 0x00);
  EXPECT_EQ(sc_kctype[0xd7], 0x10);
  EXPECT_EQ(sc_kctype[0xf7], 0x10);
  EXPECT_EQ(sc_kctype[0xdf], 0x02);
  EXPECT_EQ(SC_KCT_UPPER | SC_KCT_LOWER | SC_KCT_DIGIT | SC_KCT_CNTRL | SC_KCT_PUNCT |
                SC_KCT_SPACE | SC_KCT_XLETTER | SC_KCT_SPACECHAR,
            0xff);
}

TEST(Strdup, CopiesOntoTheTrackedHeap) {
  ChildResult r = RunInChild([] {
    if (sc_strdup(nullptr) != nullptr || no_allocs != 0) return 4;  // null: nothing allocated
    char *empty = sc_strdup("");
    if (empty == nullptr || *empty != '\0' || total_allocate != 1) return 1;
    __sc_kfree(empty, 1);
    char *copy = sc_strdup("hello");
    if (copy == nullptr || strcmp(copy, "hello") != 0 || total_allocate != 6) return 2;
    __sc_kfree(copy, static_cast<unsigned>(strlen(copy) + 1));
    return total_allocate == 0 && no_allocs == 2 && no_frees == 2 ? 0 : 3;
  });
  EXPECT_TRUE(r.ok()) << r.exit_code;
  EXPECT_EQ(r.err, "");
}

TEST(Strdup, RefusalLogsBothLines) {
  ChildResult r = RunLogged([] {
    FaultGuard refuse(Op::kMalloc, 0, 1, ENOMEM);
    return sc_strdup("abcd") == nullptr ? 0 : 1;
  });
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.err, "sc_kmalloc: do_malloc(5) failed\nsc_strdup: sc_malloc(5) failed\n");
}

// Renders into a buffer guarded by a sentinel at `end`; returns the text.
template <typename F>
std::string RenderBackwards(F render, size_t *written) {
  char buf[16];
  memset(buf, '#', sizeof buf);
  char *end = buf + 13;
  char *first = render(end);
  EXPECT_EQ(*end, '#') << "the byte at end must stay untouched";
  *written = static_cast<size_t>(end - first);
  EXPECT_EQ(first[-1], '#') << "nothing before the first character";
  return std::string(first, end);
}

TEST(NumberRendering, SignedAndUnsigned) {
  const struct {
    long long value;
    bool is_signed;
    const char *text;
  } cases[] = {{0, false, "0"},           {4294967295LL, false, "4294967295"},
               {1000, false, "1000"},     {0, true, "0"},
               {-305, true, "-305"},      {-2147483647LL - 1, true, "-2147483648"},
               {2147483647, true, "2147483647"}, {-1, true, "-1"}};
  for (const auto &c : cases) {
    size_t n = 0;
    const std::string text = RenderBackwards(
        [&](char *e) {
          return c.is_signed ? sc_lltostr(static_cast<int>(c.value), e)
                             : sc_ulltostr(static_cast<unsigned>(c.value), e);
        },
        &n);
    EXPECT_EQ(text, c.text);
    EXPECT_EQ(n, strlen(c.text)) << c.text;
  }
}

TEST(NullSafeCompare, NullSortsFirst) {
  EXPECT_EQ(sc_strcmp(nullptr, nullptr), 0);
  EXPECT_EQ(sc_strcmp("", nullptr), 1);
  EXPECT_EQ(sc_strcmp(nullptr, ""), -1);
  EXPECT_EQ(sc_strcmp("abc", "abc"), 0);
  EXPECT_LT(sc_strcmp("abc", "abd"), 0);
  EXPECT_GT(sc_strcmp("b", "a"), 0);
}

TEST(Formatting, SnprintfCutsAndReturnsZero) {
  char buf[15];
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(sc_snprintf(buf, sizeof buf, "%s", "01234567890123456789"), 0);
  EXPECT_EQ(std::string(buf), "01234567890123");
  EXPECT_EQ(sc_snprintf(buf, 0, "%d", 5), 0);
}

TEST(Formatting, PrintfIgnoresDiagnosticSettings) {
  ChildResult r = RunInChild([] {
    __sc_debug_level = SC_LOG_NONE;
    __sc_debug_where = 0;
    return sc_printf("n=%d %s\n", 7, "x");
  });
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.out, "n=7 x\n");
  EXPECT_EQ(r.err, "");
}

}  // namespace
