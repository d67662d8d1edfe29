// The shared library as its users see it: exactly the names of its version
// script exported, its soname, only the C library needed, its build record.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include "kelv/sc_version.h"

using S = std::string;

static S Output(const S &command) {
  S out(1 << 16, '\0');
  FILE *p = popen(command.c_str(), "r");
  out.resize(p != nullptr ? fread(&out[0], 1, out.size(), p) : 0);
  if (p != nullptr) pclose(p);
  return out;
}

// The one build-generated name stands for the script's sc_build_* pattern.
TEST(SharedLibrary, ExportsNeedsAndBuildRecord) {
  const S lib = KELV_SYS_SHARED_LIB, build = "sc_build_[0-9]*_[0-9]*_[0-9]*_[A-Za-z0-9_]*";
  EXPECT_EQ(Output("nm -D --defined-only --format=posix " + lib + " | sed 's/[@ ].*//;s/^" +
                   build + "$/sc_build_*/' | grep -v _SYS_0 | sort"),
            Output("sed -n '/global:/,/local:/{s,/\\*.*\\*/,,;p}' " KELV_SYS_MAP
                   " | tr ' ;' '\\n\\n' | grep -x '[_a-z][_a-z0-9*]*' | sort"));
  const S dynamic = Output("readelf -d " + lib + " | sed -n 's/.*(\\(NEEDED\\|SONAME\\)).*: /\\1 /p'");
  EXPECT_NE(dynamic.find("SONAME [libkelv-sys.so.0]\n"), S::npos) << dynamic;
  EXPECT_TRUE(KELV_SYS_SANITIZER_BUILD || KELV_SYS_COVERAGE_BUILD ||  // those need their runtimes
              dynamic == "NEEDED [libc.so.6]\nSONAME [libkelv-sys.so.0]\n") << dynamic;
  void *handle = dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  const auto &r = *static_cast<const sc_build_record *>(dlsym(handle, "sw_version"));
  EXPECT_TRUE(S(r.magic) == SC_BUILD_RECORD_MAGIC && r.size == sizeof r && r.layout == 1u);
  EXPECT_EQ(std::to_string(r.major) + "." + std::to_string(r.minor) + "." +
                std::to_string(r.patch) + " " + r.version + " " + SC_VERSION_STRING,
            KELV_SYS_PROJECT_VERSION " " KELV_SYS_PROJECT_VERSION " " KELV_SYS_PROJECT_VERSION);
  const auto *text = static_cast<const char *>(dlsym(handle, r.symbol));
  EXPECT_EQ(S(text ? text : r.symbol), "kelv-sys " + S(r.version) + " " + r.revision);
  EXPECT_TRUE(strlen(r.date) == 20 && r.date[10] == 'T' && r.compiler[0] != '\0') << r.date;
}
