# Writes the build record source of libkelv-sys: the exported `sw_version`
# and the name that carries the version and the revision in the symbol.
# Run at every build in script mode:
#
#   cmake -DSOURCE_DIR=<tree> -DOUTPUT=<file.cpp> -DVERSION=<x.y.z>
#         -DCOMPILER=<id version> [-DREVISION=<text>] [-DGIT=<git>]
#         -P KelvSysBuildRecord.cmake
#
# REVISION, when given, replaces the revision found in the tree (packagers
# building from a tarball). Otherwise the revision is `git describe --always
# --long` (so a tagged commit is still named by its hash: v0.1.0-0-g1a2b3c4)
# with "-dirty" when tracked files differ from HEAD, or "unknown" when
# SOURCE_DIR is not the top of a git checkout. The file is rewritten only when
# the version, the revision or the compiler changed, so an unchanged tree
# relinks nothing; the date is the time of that rewrite (UTC), or
# SOURCE_DATE_EPOCH when set.
cmake_minimum_required(VERSION 3.21)

foreach(var SOURCE_DIR OUTPUT VERSION COMPILER)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "KelvSysBuildRecord: ${var} is required")
  endif()
endforeach()
if(NOT VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
  message(FATAL_ERROR "KelvSysBuildRecord: VERSION '${VERSION}' is not x.y.z")
endif()
set(major ${CMAKE_MATCH_1})
set(minor ${CMAKE_MATCH_2})
set(patch ${CMAKE_MATCH_3})

# The revision of SOURCE_DIR itself: a tree unpacked inside some other
# checkout is "unknown", not that checkout's revision. No command here takes
# the index lock (others may be committing in the same tree).
function(kelv_source_revision out)
  set(${out} "unknown" PARENT_SCOPE)
  if(NOT GIT)
    find_program(GIT git)
  endif()
  if(NOT GIT)
    return()
  endif()
  set(ENV{GIT_OPTIONAL_LOCKS} 0)
  execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" rev-parse --show-toplevel
                  OUTPUT_VARIABLE top RESULT_VARIABLE rc
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT rc EQUAL 0)
    return()
  endif()
  file(REAL_PATH "${top}" top)
  file(REAL_PATH "${SOURCE_DIR}" src)
  if(NOT top STREQUAL src)
    return()
  endif()
  execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" describe --always --long
                  OUTPUT_VARIABLE rev RESULT_VARIABLE rc
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT rc EQUAL 0 OR rev STREQUAL "")
    return()
  endif()
  execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" status --porcelain --untracked-files=no
                  OUTPUT_VARIABLE changes RESULT_VARIABLE rc ERROR_QUIET)
  if(NOT rc EQUAL 0 OR NOT changes STREQUAL "")
    string(APPEND rev "-dirty")
  endif()
  set(${out} "${rev}" PARENT_SCOPE)
endfunction()

if(DEFINED REVISION AND NOT REVISION STREQUAL "")
  set(revision "${REVISION}")
else()
  kelv_source_revision(revision)
endif()

# Texts go into fixed arrays and a C++ string literal: printable ASCII only,
# no quote or backslash, cut to fit.
function(kelv_record_text out text max)
  string(REGEX REPLACE "[^ -~]|[\"\\\\]" "_" text "${text}")
  string(SUBSTRING "${text}" 0 ${max} text)
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
kelv_record_text(revision "${revision}" 63)
string(REPLACE " " "_" revision "${revision}")
kelv_record_text(compiler "${COMPILER}" 63)

# The symbol: sc_build_<major>_<minor>_<patch>_<revision>, every character
# outside [A-Za-z0-9] of the revision made '_'. A bare hash gets git's "g"
# mark, as in the long form of describe.
set(rev_part "${revision}")
if(rev_part MATCHES "^[0-9a-f]+(-dirty)?$")
  set(rev_part "g${rev_part}")
endif()
string(REGEX REPLACE "[^A-Za-z0-9]" "_" rev_part "${rev_part}")
set(symbol "sc_build_${major}_${minor}_${patch}_${rev_part}")

set(key "${VERSION}|${revision}|${compiler}")
if(EXISTS "${OUTPUT}")
  file(STRINGS "${OUTPUT}" old_key LIMIT_COUNT 1 REGEX "^// key: ")
  if(old_key STREQUAL "// key: ${key}")
    return()
  endif()
endif()
string(TIMESTAMP date "%Y-%m-%dT%H:%M:%SZ" UTC)

get_filename_component(out_dir "${OUTPUT}" DIRECTORY)
file(MAKE_DIRECTORY "${out_dir}")
file(WRITE "${OUTPUT}.tmp" "\
// Generated at build time by cmake/KelvSysBuildRecord.cmake: do not edit.
// key: ${key}
#include \"kelv/sc_version.h\"

extern \"C\" {

const struct sc_build_record sw_version = {
    SC_BUILD_RECORD_MAGIC, sizeof(struct sc_build_record), SC_BUILD_RECORD_LAYOUT,
    ${major}u, ${minor}u, ${patch}u,
    \"${VERSION}\", \"${revision}\", \"${date}\",
    \"${compiler}\", \"${symbol}\"};

SC_API extern const char ${symbol}[];
const char ${symbol}[] = \"kelv-sys ${VERSION} ${revision}\";

}  // extern \"C\"
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
