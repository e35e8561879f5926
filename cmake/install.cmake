# What `cmake --install` puts in place, and the three Debian packages made of it. Each
# file belongs to one of three install components, and each component is one package:
#
#   runtime (libdovizuz1)
#     <libdir>/libdovizuz.so.1.0.0, .so.1       the library
#     <libdir>/libzwincompat.so.1.0.0, .so.1    the platform layer it needs at run time
#   dev (libdovizuz-dev)
#     <libdir>/libdovizuz.so, libzwincompat.so  the links a program is linked through
#     <includedir>/dovizuz.h                    the public header
#     <libdir>/pkgconfig/libdovizuz.pc          for pkg-config users
#     <libdir>/cmake/dovizuz/                   for find_package(dovizuz): dovizuz::dovizuz
#     <mandir>/man3/libdovizuz.3.gz             the manual page of the calls
#   tool (zconf)
#     <bindir>/zconf                            the command-line tool (tools/)
#     <mandir>/man1/zconf.1.gz                  its manual page
#     <datadir>/bash-completion/completions/zconf  its bash completion
#
# Each package also holds share/doc/<package>/copyright and changelog.gz; these are
# installed only into the packages, not by a plain `cmake --install`.
# `cmake --install --strip` strips the programs and libraries, and the packages are made
# of stripped files. Tests, benchmarks, fuzz targets and the example program are not
# installed.

include(CMakePackageConfigHelpers)

set(DOVIZUZ_SUMMARY "Per-process registry-style configuration store")
set(DOVIZUZ_MAINTAINER "libdovizuz developers <dovizuz@example.org>"
  CACHE STRING "Maintainer named in the Debian packages")

set(DOVIZUZ_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/dovizuz)
set(DOVIZUZ_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Both libraries go to the same directory, so the library finds its platform layer
# beside itself wherever the tree is installed or unpacked.
set_target_properties(dovizuz PROPERTIES INSTALL_RPATH "$ORIGIN")

# The platform layer is a private dependency of the library, yet it is exported with it:
# a consumer's link needs the imported library to know where its dependency lies.
# The versioned files and the soname links are the run time's; the .so links, through
# which programs are linked, are for development.
install(TARGETS dovizuz zwincompat
  EXPORT dovizuzTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/include/dovizuz.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT dev)
# Manual pages are installed compressed, as man finds them and Debian's policy wants
# them (gzip -n: no name or time stamp, so that builds give the same bytes).
foreach(page zconf.1 libdovizuz.3)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/man/${page} > ${PROJECT_BINARY_DIR}/man/${page}.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/man/${page} VERBATIM)
  string(REGEX REPLACE ".*\\." "" section ${page})
  if(section STREQUAL 1)
    set(component tool)
  else()
    set(component dev)
  endif()
  install(FILES ${PROJECT_BINARY_DIR}/man/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
    COMPONENT ${component})
  list(APPEND man_pages ${PROJECT_BINARY_DIR}/man/${page}.gz)
endforeach()
add_custom_target(man_pages ALL DEPENDS ${man_pages})
# Where bash-completion looks for a command's completion when it is first completed.
install(FILES ${PROJECT_SOURCE_DIR}/completion/zconf.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME zconf
  COMPONENT tool)

# CMake package: dovizuzConfig.cmake, its version file and the exported targets.
install(EXPORT dovizuzTargets
  NAMESPACE dovizuz::
  DESTINATION ${DOVIZUZ_CMAKE_DIR}
  COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/dovizuzConfig.cmake.in
  ${PROJECT_BINARY_DIR}/dovizuzConfig.cmake
  INSTALL_DESTINATION ${DOVIZUZ_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/dovizuzConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/dovizuzConfig.cmake
              ${PROJECT_BINARY_DIR}/dovizuzConfigVersion.cmake
  DESTINATION ${DOVIZUZ_CMAKE_DIR}
  COMPONENT dev)

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
install(FILES ${PROJECT_BINARY_DIR}/libdovizuz.pc DESTINATION ${DOVIZUZ_PKGCONFIG_DIR}
  COMPONENT dev)

# The Debian packages, one per component, all under /usr:
#   cpack --config build/CPackConfig.cmake -G DEB
set(DOVIZUZ_DEB_PACKAGES libdovizuz1 libdovizuz-dev zconf)
set(DOVIZUZ_DEB_COMPONENTS runtime dev tool)

# Each package's copyright and changelog, in the package's documentation directory.
# EXCLUDE_FROM_ALL: they go into the packages (whose components are installed one by
# one) and not into a plain install.
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog
  @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.gz
  COMMAND gzip -9n -c ${PROJECT_BINARY_DIR}/debian/changelog > ${PROJECT_BINARY_DIR}/debian/changelog.gz
  DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.gz)
foreach(package component IN ZIP_LISTS DOVIZUZ_DEB_PACKAGES DOVIZUZ_DEB_COMPONENTS)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${PROJECT_BINARY_DIR}/debian/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${DOVIZUZ_DEB_COMPONENTS})
set(CPACK_PACKAGE_NAME libdovizuz)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "libdovizuz developers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${DOVIZUZ_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
foreach(package component IN ZIP_LISTS DOVIZUZ_DEB_PACKAGES DOVIZUZ_DEB_COMPONENTS)
  string(TOUPPER ${component} component)
  set(CPACK_DEBIAN_${component}_PACKAGE_NAME ${package})
endforeach()

# Descriptions: the first line is the synopsis, the others the extended description.
# (No CPACK_PACKAGE_DESCRIPTION_SUMMARY: CPack would put it before each of them.)
string(JOIN "\n" CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "${DOVIZUZ_SUMMARY}"
  "libdovizuz gives each process of an embedded Linux device a registry-style"
  "store of keys and typed values, loaded from /etc/zconfig.xml and saved back"
  "to it, used through a C API of registry verbs and per-thread key handles."
  "."
  "This package holds the shared library and its platform layer of named"
  "mutexes and shared memory segments.")
string(JOIN "\n" CPACK_DEBIAN_DEV_DESCRIPTION
  "${DOVIZUZ_SUMMARY} - development files"
  "libdovizuz gives each process of an embedded Linux device a registry-style"
  "store of keys and typed values, loaded from /etc/zconfig.xml and saved back"
  "to it, used through a C API of registry verbs and per-thread key handles."
  "."
  "This package holds the C header, the links to link programs with, the"
  "pkg-config file, the CMake package (find_package(dovizuz)) and the manual"
  "page of the calls.")
string(JOIN "\n" CPACK_DEBIAN_TOOL_DESCRIPTION
  "command-line tool for the libdovizuz configuration store"
  "zconf reads and changes the registry-style configuration of a device"
  "(/etc/zconfig.xml) from a shell: it lists, gets, sets and deletes keys and"
  "values, exports and imports subtrees, checks files, watches keys for changes"
  "and runs batches of changes."
  "."
  "This package holds the tool, its manual page and its bash completion.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION admin)

# The run time: shlibs and symbols files, so that programs linked with the libraries
# depend on a version that has every symbol they use, and a trigger that has the
# dynamic linker's cache rebuilt after the package is installed or removed. CPack's own
# shlibs file and dependency search are left off for it: either would also give it
# postinst and postrm scripts that run ldconfig, which the trigger does.
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/libdovizuz1/shlibs.in
  ${PROJECT_BINARY_DIR}/debian/libdovizuz1/shlibs @ONLY)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${PROJECT_BINARY_DIR}/debian/libdovizuz1/shlibs
  ${CMAKE_CURRENT_LIST_DIR}/debian/libdovizuz1/symbols
  ${CMAKE_CURRENT_LIST_DIR}/debian/libdovizuz1/triggers)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The development files are of this very build of the library.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libdovizuz1 (= ${PROJECT_VERSION})")
# The tool loads the library at run time (it is not linked with it), so no tool of
# dpkg's finds this dependency.
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "libdovizuz1 (>= ${PROJECT_VERSION})")

if(CMAKE_CROSSCOMPILING)
  # dpkg-shlibdeps run for the 32-bit ARM target finds the toolchain's copies of the C and
  # C++ libraries, whose packages are not the target's, so the package names its
  # architecture and the target's libraries it was built against itself.
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6 (>= 2.36), libgcc-s1 (>= 3.5), libstdc++6 (>= 12)")
  string(APPEND CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS ", libc6 (>= 2.36)")
else()
  # Dependencies on the C and C++ libraries are worked out by dpkg-shlibdeps: by CPack's
  # for the tool, and for the run time by cpack-config.cmake, from the built libraries.
  set(CPACK_DEBIAN_TOOL_PACKAGE_SHLIBDEPS ON)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/cpack-config.cmake.in
    ${PROJECT_BINARY_DIR}/debian/cpack-config.cmake.in @ONLY)
  file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/debian/cpack-config.cmake
    INPUT ${PROJECT_BINARY_DIR}/debian/cpack-config.cmake.in)
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/debian/cpack-config.cmake)
endif()
include(CPack)
