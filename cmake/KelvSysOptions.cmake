# Project-wide compiler settings: warnings, word size, sanitizers, coverage.

add_compile_options(-Wall -Wextra)
if(KELV_SYS_WERROR)
  add_compile_options(-Werror)
endif()
# __FILE__ relative to the source tree, as diagnostics show it.
add_compile_options(-fmacro-prefix-map=${CMAKE_SOURCE_DIR}/=)
add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions>
                    $<$<COMPILE_LANGUAGE:CXX>:-fno-rtti>)

if(KELV_SYS_M32)
  add_compile_options(-m32)
  add_link_options(-m32)
endif()

set(KELV_SYS_SANITIZER_BUILD OFF)
if(KELV_SYS_SANITIZE)
  set(KELV_SYS_SANITIZER_BUILD ON)
  add_compile_options(-fsanitize=${KELV_SYS_SANITIZE} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${KELV_SYS_SANITIZE})
endif()

if(KELV_SYS_COVERAGE)
  add_compile_options(--coverage -O0)
  add_link_options(--coverage)
endif()

# libFuzzer targets: clang only. Everything is instrumented for coverage
# feedback; only the fuzz executables link the fuzzer's main. Warnings are
# policed by the ordinary builds, not here.
if(KELV_SYS_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "KELV_SYS_BUILD_FUZZ needs clang (CMAKE_CXX_COMPILER=clang++)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link -Wno-error)
endif()
