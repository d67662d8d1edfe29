# Install rules of libkelv-sys, included from lib/sys/CMakeLists.txt:
#   <prefix>/include/kelv/*.h, *.hpp        public headers and C++ companions
#   <libdir>/libkelv-sys.so.0.1.0, .so.0, .so (or libkelv-sys.a)
#   <libdir>/pkgconfig/kelv-sys.pc           pkg-config file
#   <libdir>/cmake/kelv-sys/                 CMake package, target kelv::sys
#   <prefix>/share/doc/kelv-sys/LICENSE      the licence
# Components: Runtime (the shared library proper) and Development (the rest).

include(CMakePackageConfigHelpers)

set(KELV_SYS_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kelv-sys)
set(KELV_SYS_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS kelv_sys EXPORT kelv-sys-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT Runtime NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)

install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT Runtime)

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

# The .pc file names the prefix as an absolute path, the one in force when
# installing (`cmake --install --prefix` included), so pkg-config prints plain
# -I and -L options that it can recognise and drop for the system's own
# directories. It is therefore written at install time.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(KELV_SYS_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(KELV_SYS_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(pc ${CMAKE_CURRENT_BINARY_DIR}/kelv-sys.pc)
install(CODE "
  set(KELV_SYS_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(KELV_SYS_PC_LIBDIR [[${KELV_SYS_PC_LIBDIR}]])
  set(KELV_SYS_PC_INCLUDEDIR [[${KELV_SYS_PC_INCLUDEDIR}]])
  set(PROJECT_VERSION ${PROJECT_VERSION})
  configure_file(\"${PROJECT_SOURCE_DIR}/cmake/kelv-sys.pc.in\" \"${pc}\" @ONLY)"
  COMPONENT Development)
install(FILES ${pc} DESTINATION ${KELV_SYS_PC_DIR} COMPONENT Development)
