# Install rules of libkelv-sys, included from lib/sys/CMakeLists.txt:
#   <prefix>/include/kelv/*.h, *.hpp        public headers and C++ companions
#   <libdir>/libkelv-sys.so.0.1.0, .so.0, .so
#   <libdir>/pkgconfig/kelv-sys.pc           pkg-config file (relocatable)
#   <libdir>/cmake/kelv-sys/                 CMake package, target kelv::sys
# Components: Runtime (the library proper) and Development (the rest).

include(CMakePackageConfigHelpers)

set(KELV_SYS_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kelv-sys)
set(KELV_SYS_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS kelv_sys EXPORT kelv-sys-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT Runtime NAMELINK_COMPONENT Development)

install(DIRECTORY ${KELV_SYS_PUBLIC_INCLUDE}/kelv
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT Development
  FILES_MATCHING PATTERN "*.h" PATTERN "*.hpp")

install(EXPORT kelv-sys-targets
  NAMESPACE kelv::
  FILE kelv-sys-targets.cmake
  DESTINATION ${KELV_SYS_CMAKE_DIR}
  COMPONENT Development)

configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/kelv-sys-config.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/kelv-sys-config.cmake
  INSTALL_DESTINATION ${KELV_SYS_CMAKE_DIR})
# 0.x releases may change the interface between minor versions.
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/kelv-sys-config-version.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/kelv-sys-config.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/kelv-sys-config-version.cmake
  DESTINATION ${KELV_SYS_CMAKE_DIR}
  COMPONENT Development)

# The .pc file finds the prefix from its own place, so the installed tree
# can be moved (and `cmake --install --prefix` works) without regenerating it.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(KELV_SYS_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(KELV_SYS_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  file(RELATIVE_PATH pc_to_prefix "/prefix/${KELV_SYS_PC_DIR}" "/prefix")
  string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
  set(KELV_SYS_PC_PREFIX "\${pcfiledir}/${pc_to_prefix}")
  set(KELV_SYS_PC_LIBDIR "\${exec_prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(KELV_SYS_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(KELV_SYS_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/kelv-sys.pc.in
               ${CMAKE_CURRENT_BINARY_DIR}/kelv-sys.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kelv-sys.pc
  DESTINATION ${KELV_SYS_PC_DIR}
  COMPONENT Development)
