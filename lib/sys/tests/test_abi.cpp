// The shared library: exactly its version script's names exported (sc_build_*
// once), its soname, only the C library needed, a build record of this build.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include "kelv/sc_version.h"

// Instrumented builds need their runtimes too.
constexpr bool kInstrumented = KELV_SYS_SANITIZER_BUILD || KELV_SYS_COVERAGE_BUILD;

TEST(SharedLibrary, ExportsNeedsAndBuildRecord) {
  FILE *bash = popen("bash -s " KELV_SYS_SHARED_LIB " " KELV_SYS_MAP, "w");
  fprintf(bash, R"(
    diff <(nm -D --defined-only --format=posix "$1" | grep -v '^KELV_SYS_0 ' | sed 's/[@ ].*//;
             s/^sc_build_[0-9]*_[0-9]*_[0-9]*_[A-Za-z0-9_]*$/sc_build_*/' | sort) \
         <(sed -n '/global:/,/local:/{s,/\*.*\*/,,;p}' "$2" | tr ' ;' '\n\n' |
             grep -x '[_a-z][_a-z0-9*]*' | sort) &&
    diff <(readelf -d "$1" | sed -n 's/.*(\(%s\)).*: /\1 /p') - <<EOF
%sSONAME [libkelv-sys.so.0]
EOF
)", kInstrumented ? "SONAME" : "NEEDED\\|SONAME", kInstrumented ? "" : "NEEDED [libc.so.6]\n");
  EXPECT_EQ(pclose(bash), 0);
  void *lib = dlopen(KELV_SYS_SHARED_LIB, RTLD_NOW | RTLD_LOCAL);
  const auto *r = static_cast<const sc_build_record *>(lib ? dlsym(lib, "sw_version") : nullptr);
  ASSERT_TRUE(r != nullptr && r->size == sizeof *r && r->layout == SC_BUILD_RECORD_LAYOUT);
  EXPECT_STREQ(static_cast<const char *>(dlsym(lib, r->symbol)),
               ("kelv-sys " KELV_SYS_PROJECT_VERSION " " + std::string(r->revision)).c_str());
}
