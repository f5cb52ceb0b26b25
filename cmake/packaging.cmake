# Installation layout and the Debian package.
#
#   cmake --install build --prefix /usr/local   installs stelmo under a prefix
#   cd build && cpack -G DEB                    builds stelmo_<version>_<arch>.deb
#
# Installed: the stelmo executable, its panel file, the man page, a desktop
# entry and an icon. Tests and benchmarks carry no install rules and stay in
# the build tree.
include(GNUInstallDirs)

# The engine looks for the panel file next to the executable, then in
# ../share/stelmo relative to it. Installed, it sits in the second place, so
# the binary finds it whatever the working directory, under any prefix, and
# also when a package is unpacked somewhere else.
set(STELMO_PANEL_DIR ${CMAKE_INSTALL_DATADIR}/stelmo)
cmake_path(GET CMAKE_INSTALL_FULL_BINDIR PARENT_PATH stelmo_lookup_dir)
cmake_path(APPEND stelmo_lookup_dir share stelmo)
cmake_path(NORMAL_PATH stelmo_lookup_dir)
cmake_path(SET stelmo_panel_dir NORMALIZE ${CMAKE_INSTALL_FULL_DATADIR}/stelmo)
if(NOT stelmo_panel_dir STREQUAL stelmo_lookup_dir)
  message(WARNING "stelmo: CMAKE_INSTALL_BINDIR=${CMAKE_INSTALL_BINDIR} and "
                  "CMAKE_INSTALL_DATADIR=${CMAKE_INSTALL_DATADIR} put the panel file in "
                  "${stelmo_panel_dir}, but the installed program looks in ${stelmo_lookup_dir}; "
                  "it would not start")
endif()

# Qt comes from the system's library directories, so the installed binary
# needs no run-time search path (and must not carry the build tree's).
set_target_properties(stelmo PROPERTIES INSTALL_RPATH "" INSTALL_RPATH_USE_LINK_PATH OFF)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS stelmo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/ui/stelmo.uir DESTINATION ${STELMO_PANEL_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/ui/stelmo.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/ui/stelmo.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# The man page, compressed as Debian wants it: best compression, no name or
# time stamp inside, so the same page always gives the same bytes.
set(stelmo_man_source ${PROJECT_SOURCE_DIR}/docs/stelmo.1)
file(STRINGS ${stelmo_man_source} stelmo_man_title REGEX "^\\.TH ")
if(NOT stelmo_man_title MATCHES "\"stelmo ${PROJECT_VERSION}\"")
  message(WARNING "stelmo: docs/stelmo.1 does not name version ${PROJECT_VERSION} in its .TH line")
endif()
find_program(STELMO_GZIP gzip)
if(STELMO_GZIP)
  set(stelmo_man_dir ${CMAKE_CURRENT_BINARY_DIR}/man)
  add_custom_command(
    OUTPUT ${stelmo_man_dir}/stelmo.1.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${stelmo_man_dir}
    COMMAND ${CMAKE_COMMAND} -E copy ${stelmo_man_source} ${stelmo_man_dir}/stelmo.1
    COMMAND ${STELMO_GZIP} -9nf ${stelmo_man_dir}/stelmo.1
    DEPENDS ${stelmo_man_source}
    COMMENT "Compressing the stelmo(1) man page"
    VERBATIM)
  add_custom_target(stelmo_man ALL DEPENDS ${stelmo_man_dir}/stelmo.1.gz)
  install(FILES ${stelmo_man_dir}/stelmo.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  install(FILES ${stelmo_man_source} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The Debian package.
set(STELMO_MAINTAINER "stelmo maintainers <stelmo@localhost>"
    CACHE STRING "Maintainer named in the Debian package (Name <address>)")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME stelmo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "stelmo maintainers")
set(CPACK_PACKAGE_CONTACT ${STELMO_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "drive a camera-alignment stepper motor through the parallel port")
set(CPACK_STRIP_FILES ON) # dlsym finds the callbacks in .dynsym, which strip keeps
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_PACKAGE_NAME stelmo)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # stelmo_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${STELMO_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The long description under the summary line; CPack indents it and turns
# the empty line into the paragraph break Debian wants.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "stelmo is the operator program of a camera alignment stage. It drives a
four-phase stepper motor on the data lines D0 to D3 of a PC parallel port
(0x378 or 0x278), homes it against an end switch and jogs it one full step
per timer tick, reading the end switches back through the port.

By default it drives a simulated rig shown in a window of its own; real
hardware is reached through /dev/port when asked for (STELMO_IO=port).")
# The architecture is what dpkg --print-architecture says (CPack's default).
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Dependencies: the Qt libraries the binary links, as dpkg-shlibdeps reads
# them off the binary, plus the platform plugins, which Qt loads at run time
# and no library scan can see. Without dpkg-shlibdeps the libraries are named
# by hand.
find_program(STELMO_DPKG_SHLIBDEPS dpkg-shlibdeps)
set(stelmo_depends "qt6-qpa-plugins")
if(STELMO_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  message(STATUS "stelmo: dpkg-shlibdeps not found (package dpkg-dev); "
                 "naming the package's Qt dependencies by hand")
  string(PREPEND stelmo_depends "libqt6core6 (>= 6.4), libqt6gui6 (>= 6.4), "
                                "libqt6widgets6 (>= 6.4), libqt6uitools6 (>= 6.4), ")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS ${stelmo_depends})

include(CPack)
