# Optional API reference: `cmake --build <dir> --target docs` writes HTML to
# <dir>/docs/html when doxygen is installed. Not part of the default build.
#
# The headers use plain contract comments; the input filter
# KelvSysDoxygenFilter.sed hands them to doxygen as documentation comments.

find_package(Doxygen QUIET)
if(NOT DOXYGEN_FOUND)
  return()
endif()

set(DOXYGEN_PROJECT_NAME "libkelv-sys")
set(DOXYGEN_PROJECT_NUMBER ${PROJECT_VERSION})
set(DOXYGEN_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/docs)
set(DOXYGEN_USE_MDFILE_AS_MAINPAGE ${PROJECT_SOURCE_DIR}/docs/USAGE.md)
set(DOXYGEN_EXTRACT_ALL YES)
set(DOXYGEN_OPTIMIZE_OUTPUT_FOR_C YES)
set(DOXYGEN_ENABLE_PREPROCESSING YES)
set(DOXYGEN_MACRO_EXPANSION YES)
set(DOXYGEN_EXPAND_ONLY_PREDEF YES)
set(DOXYGEN_PREDEFINED "SC_API=" "SC_BEGIN_DECLS=" "SC_END_DECLS=" "SC_PRINTF(a,b)="
                       "SC_MALLOC=" "SC_ALLOC_SIZE(...)=" "SC_NORETURN=")
set(DOXYGEN_EXCLUDE_SYMBOLS "KELV_*_H" "KELV_*_HPP")
set(DOXYGEN_FILE_PATTERNS "*.h" "*.hpp" "*.md")
set(DOXYGEN_STRIP_FROM_PATH ${PROJECT_SOURCE_DIR}/lib/sys/include ${PROJECT_SOURCE_DIR})
set(DOXYGEN_INPUT_FILTER "sed -f ${PROJECT_SOURCE_DIR}/cmake/KelvSysDoxygenFilter.sed")
set(DOXYGEN_FILTER_SOURCE_FILES NO)
set(DOXYGEN_QUIET YES)
set(DOXYGEN_WARN_IF_UNDOCUMENTED NO)
set(DOXYGEN_GENERATE_LATEX NO)

doxygen_add_docs(docs
  ${PROJECT_SOURCE_DIR}/lib/sys/include/kelv
  ${PROJECT_SOURCE_DIR}/docs/USAGE.md
  COMMENT "API reference in ${PROJECT_BINARY_DIR}/docs/html")
