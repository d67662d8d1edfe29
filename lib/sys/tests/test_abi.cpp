// The shared library as its users see it: soname, run-time dependencies and
// exactly the public names exported.
#include <stdio.h>

#include <algorithm>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

// Every name the library exports, module by module.
const char *const kExported[] = {
    // diagnostics
    "__sc_debug_level", "__sc_debug_detail", "__sc_debug_where", "__sc_print_val",
    "__sc_debug_assert", "__sc_print_prefix", "__sc_print_msg", "__sc_print_pmsg",
    // tracked heap
    "total_allocate", "peak_allocate", "no_allocs", "no_frees", "__sc_kmalloc", "__sc_kcalloc",
    "__sc_kfree", "sc_kfree_sz", "sc_kmalloc_sz", "sc_get_mem_stats", "sc_kmalloc_init",
    "sc_kmalloc_fini",
    // strings
    "sc_kctype", "sc_strdup", "sc_ulltostr", "sc_lltostr", "sc_strcmp", "sc_snprintf",
    "sc_printf",
    // process runtime
    "sc_basedir_from_input", "sc_process_name", "sc_get_apptype", "sc_get_basedir", "sc_sys_init",
    "sc_sleep", "sc_sys_exit",
    // intrusive list
    "sc_elist_construct", "sc_elist_destruct", "sc_elist_push_back", "sc_elist_push_front",
    "sc_elist_insert_after", "sc_elist_insert_before", "sc_elist_append", "sc_elist_get_size",
    "sc_elist_peek_front", "sc_elist_peek_back", "sc_elist_get_next", "sc_elist_get_prev",
    "sc_elist_pop_front", "sc_elist_pop_back", "sc_elist_remove",
    // size-class pool
    "sc_szconstruct", "sc_szdestruct", "__sc_szalloc", "__sc_szfree", "sc_sz_get_max_alloc",
    // files
    "sc_file_exists", "sc_file_remove", "sc_file_rename", "sc_file_read_bytes", "sc_file_read",
    "sc_file_check_path", "sc_file_write", "sc_file_append", "sc_file_copy",
    // named mutex
    "sc_kmutex_construct", "sc_kmutex_szconstruct", "sc_kmutex_destruct", "sc_kmutex_lock",
    "sc_kmutex_unlock", "sc_kmutex_is_locked",
    // unit-test assertions
    "sc_test_open", "sc_test_close", "__sc_test_void_ptr", "__sc_test_bool", "__sc_test_double",
    "__sc_test_float", "__sc_test_longlong", "__sc_test_ulonglong", "__sc_test_long",
    "__sc_test_ulong", "__sc_test_int", "__sc_test_uint", "__sc_test_uchar", "__sc_test_char",
    "__sc_test_char_ptr",
    // build record (the generated sc_build_<version>_<revision> is matched below)
    "sw_version",
};

std::vector<std::string> RunLines(const std::string &command) {
  std::vector<std::string> lines;
  FILE *p = popen(command.c_str(), "r");
  if (p == nullptr) return lines;
  char line[4096];
  while (fgets(line, sizeof line, p) != nullptr) {
    std::string s(line);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    lines.push_back(s);
  }
  pclose(p);
  return lines;
}

TEST(SharedLibrary, ExportsExactlyThePublicNames) {
  // Defined dynamic symbols, without their version suffix.
  std::set<std::string> exported;
  for (const std::string &line :
       RunLines("nm -D --defined-only --format=posix '" KELV_SYS_SHARED_LIB "'")) {
    std::string name = line.substr(0, line.find(' '));
    name = name.substr(0, name.find('@'));
    if (name != "KELV_SYS_0") exported.insert(name);
  }
  ASSERT_FALSE(exported.empty()) << "nm found nothing in " KELV_SYS_SHARED_LIB;
  // The build-generated name changes with the revision: exactly one, by form.
  const std::regex generated_form("sc_build_[0-9]+_[0-9]+_[0-9]+_[A-Za-z0-9_]+");
  std::vector<std::string> generated;
  for (auto it = exported.begin(); it != exported.end();) {
    if (!std::regex_match(*it, generated_form)) {
      ++it;
      continue;
    }
    generated.push_back(*it);
    it = exported.erase(it);
  }
  EXPECT_EQ(generated.size(), 1u) << testing::PrintToString(generated);
  const std::set<std::string> expected(std::begin(kExported), std::end(kExported));
  std::vector<std::string> missing, extra;
  std::set_difference(expected.begin(), expected.end(), exported.begin(), exported.end(),
                      std::back_inserter(missing));
  std::set_difference(exported.begin(), exported.end(), expected.begin(), expected.end(),
                      std::back_inserter(extra));
  EXPECT_TRUE(missing.empty()) << "missing: " << testing::PrintToString(missing);
  EXPECT_TRUE(extra.empty()) << "extra: " << testing::PrintToString(extra);
}

TEST(SharedLibrary, SonameAndOnlyTheCLibraryAtRunTime) {
  std::vector<std::string> needed;
  std::string soname;
  for (const std::string &line : RunLines("readelf -d '" KELV_SYS_SHARED_LIB "'")) {
    const size_t open = line.find('['), close = line.rfind(']');
    if (open == std::string::npos || close == std::string::npos) continue;
    const std::string value = line.substr(open + 1, close - open - 1);
    if (line.find("(NEEDED)") != std::string::npos) needed.push_back(value);
    if (line.find("(SONAME)") != std::string::npos) soname = value;
  }
  EXPECT_EQ(soname, "libkelv-sys.so.0");
  if (KELV_SYS_SANITIZER_BUILD || KELV_SYS_COVERAGE_BUILD) {
    GTEST_SKIP() << "instrumented builds link their runtime";
  }
  EXPECT_EQ(needed, std::vector<std::string>{"libc.so.6"});
}

}  // namespace
