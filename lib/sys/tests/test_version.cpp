// The build record: sw_version and the build-generated sc_build_* name, in
// the test twin and in the shared library, and the script that makes them.
// (test_abi checks that `nm -D` shows exactly one sc_build_* name.)
#include <ctype.h>
#include <dlfcn.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "kelv/sc_version.h"
#include "test_support.h"

namespace {

using kelv::test::ScratchDir;

// The layout is the same for both word sizes: no pointer, 4-byte fields.
static_assert(sizeof(sc_build_record) == 324 && alignof(sc_build_record) == 4,
              "record size and alignment");
static_assert(offsetof(sc_build_record, size) == 8 && offsetof(sc_build_record, major) == 16 &&
                  offsetof(sc_build_record, version) == 28 &&
                  offsetof(sc_build_record, revision) == 44 &&
                  offsetof(sc_build_record, date) == 108 &&
                  offsetof(sc_build_record, compiler) == 132 &&
                  offsetof(sc_build_record, symbol) == 196,
              "field offsets");

// Each text field ends within its array.
template <size_t N>
std::string Text(const char (&field)[N]) {
  EXPECT_NE(memchr(field, '\0', N), nullptr) << "field not terminated";
  return std::string(field, strnlen(field, N));
}

// The symbol name the record must carry, derived independently of the
// generator: sc_build_<major>_<minor>_<patch>_<revision>, the revision with
// every character outside [A-Za-z0-9] made '_' and a bare hash marked 'g'.
std::string ExpectedSymbol(const sc_build_record &r) {
  std::string rev = Text(r.revision);
  if (std::regex_match(rev, std::regex("[0-9a-f]+(-dirty)?"))) rev = "g" + rev;
  for (char &c : rev) {
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return "sc_build_" + std::to_string(r.major) + "_" + std::to_string(r.minor) + "_" +
         std::to_string(r.patch) + "_" + rev;
}

TEST(BuildRecord, DescribesThisBuild) {
  const sc_build_record &r = sw_version;
  EXPECT_EQ(Text(r.magic), SC_BUILD_RECORD_MAGIC);
  EXPECT_EQ(r.size, sizeof(sc_build_record));
  EXPECT_EQ(r.layout, unsigned{SC_BUILD_RECORD_LAYOUT});
  EXPECT_EQ(Text(r.version), KELV_SYS_PROJECT_VERSION);
  EXPECT_EQ(Text(r.version), SC_VERSION_STRING) << "sc_version.h lags behind project()";
  EXPECT_EQ(r.major, unsigned{SC_VERSION_MAJOR});
  EXPECT_EQ(r.minor, unsigned{SC_VERSION_MINOR});
  EXPECT_EQ(r.patch, unsigned{SC_VERSION_PATCH});
  EXPECT_EQ(std::to_string(r.major) + "." + std::to_string(r.minor) + "." + std::to_string(r.patch),
            Text(r.version));
  EXPECT_TRUE(std::regex_match(Text(r.revision), std::regex("[!-~]+"))) << Text(r.revision);
  EXPECT_TRUE(std::regex_match(Text(r.date), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")))
      << Text(r.date);
  EXPECT_FALSE(Text(r.compiler).empty());
  EXPECT_EQ(Text(r.symbol), ExpectedSymbol(r));
}

TEST(BuildRecord, SharedLibraryExportsBothNamesAndTheyAgree) {
  void *lib = dlopen(KELV_SYS_SHARED_LIB, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  const auto *record = static_cast<const sc_build_record *>(dlsym(lib, "sw_version"));
  ASSERT_NE(record, nullptr) << dlerror();
  EXPECT_EQ(memcmp(record, &sw_version, sizeof sw_version), 0)
      << "the library and its test twin hold different records";
  const std::string symbol = Text(record->symbol);
  const auto *text = static_cast<const char *>(dlsym(lib, symbol.c_str()));
  ASSERT_NE(text, nullptr) << symbol << ": " << dlerror();
  EXPECT_EQ(std::string(text),
            "kelv-sys " + Text(record->version) + " " + Text(record->revision));
  dlclose(lib);
}

// Runs the generator script; returns the file it wrote (or "").
std::string Generate(const ScratchDir &dir, const std::string &args, const std::string &env = "") {
  const std::string out = dir / "record.cpp", log = dir / "generator.log";
  const std::string command = env + " '" KELV_SYS_CMAKE_COMMAND "' -DSOURCE_DIR='" + dir.path() +
                              "' -DOUTPUT='" + out + "' -DVERSION=2.3.4 -DCOMPILER='Cc 1.0' " +
                              args + " -P '" KELV_SYS_BUILD_RECORD_SCRIPT "' >'" + log + "' 2>&1";
  EXPECT_EQ(system(command.c_str()), 0) << command;
  EXPECT_EQ(kelv::test::ReadFileOrDie(log), "");
  return kelv::test::PathExists(out) ? kelv::test::ReadFileOrDie(out) : "";
}

bool Has(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

TEST(BuildRecordScript, OutsideAGitCheckoutTheRevisionIsUnknown) {
  ScratchDir dir;
  const std::string rec = Generate(dir, "");
  EXPECT_TRUE(Has(rec, "\"2.3.4\", \"unknown\",")) << rec;
  EXPECT_TRUE(Has(rec, "\"Cc 1.0\", \"sc_build_2_3_4_unknown\"}")) << rec;
  EXPECT_TRUE(Has(rec, "const char sc_build_2_3_4_unknown[] = \"kelv-sys 2.3.4 unknown\";")) << rec;
}

TEST(BuildRecordScript, GivenRevisionsBecomeValidSymbols) {
  ScratchDir dir;
  std::string rec = Generate(dir, "'-DREVISION=v1.2-3-gabc/x y'");
  EXPECT_TRUE(Has(rec, "\"v1.2-3-gabc/x_y\"")) << rec;
  EXPECT_TRUE(Has(rec, "const char sc_build_2_3_4_v1_2_3_gabc_x_y[]")) << rec;
  rec = Generate(dir, "-DREVISION=1a2b3c4-dirty");
  EXPECT_TRUE(Has(rec, "const char sc_build_2_3_4_g1a2b3c4_dirty[]")) << rec;
  rec = Generate(dir, "'-DREVISION=quote\"back\\slash'");
  EXPECT_TRUE(Has(rec, "\"quote_back_slash\"")) << rec;
}

TEST(BuildRecordScript, RewritesOnlyWhenTheBuildChanges) {
  ScratchDir dir;
  const std::string first = Generate(dir, "-DREVISION=abc", "SOURCE_DATE_EPOCH=0");
  EXPECT_TRUE(Has(first, "\"1970-01-01T00:00:00Z\"")) << first;
  // Same version, revision and compiler: the file (and its date) stay.
  EXPECT_EQ(Generate(dir, "-DREVISION=abc", "SOURCE_DATE_EPOCH=86400"), first);
  const std::string changed = Generate(dir, "-DREVISION=abd", "SOURCE_DATE_EPOCH=86400");
  EXPECT_TRUE(Has(changed, "\"1970-01-02T00:00:00Z\"")) << changed;
  EXPECT_TRUE(Has(changed, "sc_build_2_3_4_gabd[]")) << changed;
}

}  // namespace
