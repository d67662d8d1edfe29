// String and character helpers.
#include <limits.h>
#include <string.h>

#include <gtest/gtest.h>

#include "test_support.h"

TEST(String, Helpers) {
  // What a rendering leaves in a buffer of '#': its text and a byte either side.
  const auto rendered = [](auto render, auto value) {
    char buf[16] = "###############";
    return std::string(render(value, buf + 14) - 1, buf + 15);
  };
  const unsigned before = total_allocate;
  char *copy = sc_strdup("hello");
  EXPECT_TRUE(strcmp(copy, "hello") == 0 && total_allocate - before == 6 && !sc_strdup(nullptr));
  __sc_kfree(copy, 6);
  const std::pair<std::string, const char *> numbers[] = {
      {rendered(sc_lltostr, INT_MIN), "#-2147483648#"}, {rendered(sc_lltostr, INT_MAX), "#2147483647#"},
      {rendered(sc_lltostr, -305), "#-305#"}, {rendered(sc_ulltostr, UINT_MAX), "#4294967295#"},
      {rendered(sc_lltostr, 0), "#0#"}, {rendered(sc_ulltostr, 0u), "#0#"}};
  for (const auto &[got, want] : numbers) EXPECT_EQ(got, want);
  EXPECT_EQ(std::make_tuple(sc_strcmp(nullptr, nullptr), sc_strcmp("", nullptr), sc_strcmp(nullptr, ""),
                            sc_strcmp("ab", "ac") < 0, sc_strcmp("b", "a") > 0, sc_strcmp("a", "a")),
            std::make_tuple(0, 1, -1, true, true, 0));
  char buf[15];
  EXPECT_EQ(sc_snprintf(buf, sizeof buf, "%s", "01234567890123456789") + sc_printf("%s", ""), 0);
  EXPECT_STREQ(buf, "01234567890123");
  // The codes of each class, bit 0x01 (upper case) to 0x80 (space proper), as first-last pairs.
  const std::string ranges[] = {"AZ\xc0\xd6\xd8\xde", "az\xdf\xf6\xf8\xff", "09", {"\0\x1f\x7f\x7f", 4},
                                "!/:@[`{~\xa1\xbf\xd7\xd7\xf7\xf7", "\t\r  \xa0\xa0", "AFaf", "  \xa0\xa0"};
  std::vector<unsigned> want(256);
  for (unsigned bit = 0; bit < 8; ++bit)
    for (size_t i = 0; i < ranges[bit].size(); i += 2)
      for (unsigned c = uint8_t(ranges[bit][i]); c <= uint8_t(ranges[bit][i + 1]); ++c) want[c] |= 1u << bit;
  EXPECT_EQ(std::vector<unsigned>(sc_kctype, sc_kctype + 256), want);
}
