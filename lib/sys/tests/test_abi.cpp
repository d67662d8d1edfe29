// The shared library as its users see it: exactly its version script's names
// exported (one generated sc_build_<version>_<revision> for the pattern), its
// soname, only the C library needed, and a build record naming this build.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include "kelv/sc_version.h"

TEST(SharedLibrary, ExportsNeedsAndBuildRecord) {
  FILE *bash = popen("bash -s " KELV_SYS_SHARED_LIB " " KELV_SYS_MAP, "w");
  fprintf(bash, R"(
    diff <(nm -D --defined-only --format=posix "$1" | grep -v '^KELV_SYS_0 ' | sed 's/[@ ].*//;
             s/^sc_build_[0-9]*_[0-9]*_[0-9]*_[A-Za-z0-9_]*$/sc_build_*/' | sort) \
         <(sed -n '/global:/,/local:/{s,/\*.*\*/,,;p}' "$2" | tr ' ;' '\n\n' |
             grep -x '[_a-z][_a-z0-9*]*' | sort) &&
    diff <(readelf -d "$1" | sed -n 's/.*(\(NEEDED\|SONAME\)).*: /\1 /p') - <<EOF
%sSONAME [libkelv-sys.so.0]
EOF
)", KELV_SYS_SANITIZER_BUILD || KELV_SYS_COVERAGE_BUILD ? "" : "NEEDED [libc.so.6]\n");
  EXPECT_EQ(pclose(bash), 0);
  void *lib = dlopen(KELV_SYS_SHARED_LIB, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  const auto &r = *static_cast<const sc_build_record *>(dlsym(lib, "sw_version"));
  const char *text = static_cast<const char *>(dlsym(lib, r.symbol));
  EXPECT_EQ(std::string(r.magic) + " " + std::to_string(r.size) + " " + std::to_string(r.layout) +
                " " + std::to_string(r.major) + "." + std::to_string(r.minor) + "." +
                std::to_string(r.patch) + " " + r.version + " " + SC_VERSION_STRING + " " + r.date[10],
            "KELVSYS " + std::to_string(sizeof r) + " 1 " KELV_SYS_PROJECT_VERSION " "
            KELV_SYS_PROJECT_VERSION " " KELV_SYS_PROJECT_VERSION " T");
  EXPECT_STREQ(text, ("kelv-sys " KELV_SYS_PROJECT_VERSION " " + std::string(r.revision)).c_str());
}
