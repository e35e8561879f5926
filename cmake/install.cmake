# What `cmake --install` puts in place, and the .deb package made of it.
#
#   <libdir>/libdovizuz.so.1.0.0, .so.1, .so       the library
#   <libdir>/libzwincompat.so.1.0.0, .so.1, .so    the platform layer it needs at run time
#   <includedir>/dovizuz.h                         the public header
#   <libdir>/pkgconfig/libdovizuz.pc               for pkg-config users
#   <libdir>/cmake/dovizuz/                        for find_package(dovizuz): dovizuz::dovizuz
#   <bindir>/zconf                                 the command-line tool (tools/)
#   <mandir>/man1/zconf.1.gz, man3/libdovizuz.3.gz manual pages (man/)
#   <datadir>/bash-completion/completions/zconf    the tool's bash completion
#
# Tests, benchmarks, fuzz targets and the example program are not installed.

include(CMakePackageConfigHelpers)

set(DOVIZUZ_SUMMARY "Per-process registry-style configuration store")
set(DOVIZUZ_MAINTAINER "libdovizuz developers <dovizuz@localhost>"
  CACHE STRING "Maintainer named in the .deb package")

set(DOVIZUZ_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/dovizuz)
set(DOVIZUZ_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Both libraries go to the same directory, so the library finds its platform layer
# beside itself wherever the tree is installed or unpacked.
set_target_properties(dovizuz PROPERTIES INSTALL_RPATH "$ORIGIN")

# The platform layer is a private dependency of the library, yet it is exported with it:
# a consumer's link needs the imported library to know where its dependency lies.
install(TARGETS dovizuz zwincompat
  EXPORT dovizuzTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/dovizuz.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# Manual pages are installed compressed, as man finds them and Debian's policy wants
# them (gzip -n: no name or time stamp, so that builds give the same bytes).
foreach(page zconf.1 libdovizuz.3)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/man/${page} > ${PROJECT_BINARY_DIR}/man/${page}.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/man/${page} VERBATIM)
  string(REGEX REPLACE ".*\\." "" section ${page})
  install(FILES ${PROJECT_BINARY_DIR}/man/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  list(APPEND man_pages ${PROJECT_BINARY_DIR}/man/${page}.gz)
endforeach()
add_custom_target(man_pages ALL DEPENDS ${man_pages})
# Where bash-completion looks for a command's completion when it is first completed.
install(FILES ${PROJECT_SOURCE_DIR}/completion/zconf.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME zconf)

# CMake package: dovizuzConfig.cmake, its version file and the exported targets.
install(EXPORT dovizuzTargets
  NAMESPACE dovizuz::
  DESTINATION ${DOVIZUZ_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/dovizuzConfig.cmake.in
  ${PROJECT_BINARY_DIR}/dovizuzConfig.cmake
  INSTALL_DESTINATION ${DOVIZUZ_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/dovizuzConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/dovizuzConfig.cmake
              ${PROJECT_BINARY_DIR}/dovizuzConfigVersion.cmake
  DESTINATION ${DOVIZUZ_CMAKE_DIR})

# pkg-config file. With relative install directories the prefix is found from the
# file's own place (pcfiledir), so the file stays right when the tree is installed with
# another --prefix than the configured one, staged, or unpacked from the package.
if(IS_ABSOLUTE "${DOVIZUZ_PKGCONFIG_DIR}")
  set(DOVIZUZ_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH pc_to_prefix "/prefix/${DOVIZUZ_PKGCONFIG_DIR}" "/prefix")
  set(DOVIZUZ_PC_PREFIX "\${pcfiledir}/${pc_to_prefix}")
  string(REGEX REPLACE "/$" "" DOVIZUZ_PC_PREFIX "${DOVIZUZ_PC_PREFIX}")
endif()
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(DOVIZUZ_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(DOVIZUZ_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/libdovizuz.pc.in ${PROJECT_BINARY_DIR}/libdovizuz.pc
  @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/libdovizuz.pc DESTINATION ${DOVIZUZ_PKGCONFIG_DIR})

# The .deb package: everything above, under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME libdovizuz)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "libdovizuz developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${DOVIZUZ_SUMMARY}")
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "libdovizuz gives each process of an embedded Linux device a registry-style store"
  "of keys and typed values, loaded from /etc/zconfig.xml and saved back to it."
  "The package holds the shared library, its platform layer, the C header, a"
  "pkg-config file and a CMake package.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES OFF)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${DOVIZUZ_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
if(CMAKE_CROSSCOMPILING)
  # dpkg-shlibdeps knows only the build machine's libraries: a package for the 32-bit ARM
  # target names its architecture and the C library it was built against.
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.36)")
else()
  # Dependencies are worked out from the libraries' needs by dpkg-shlibdeps.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
