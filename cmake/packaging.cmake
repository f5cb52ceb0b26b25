# Installation layout and the Debian package.
#
#   cmake --install build --prefix /usr/local   installs stelmo under a prefix
#   cd build && cpack -G DEB                    builds stelmo_<version>_<arch>.deb
#
# Installed: the stelmo executable, its port helper, its panel file, the man
# page, a desktop entry with its AppStream metadata, the icon (SVG and PNG),
# the translation catalogues (translations/CMakeLists.txt), and the copyright
# and changelog files. The package adds what only dpkg
# should put in place: the system configuration file and the real-time limit
# for the group stelmo (both conffiles), the udev rule for /dev/port, and the
# helper's group, mode and capability (postinst). Tests and benchmarks carry
# no install rules and stay in the build tree.
include(GNUInstallDirs)

set(STELMO_HOMEPAGE https://stelmo.example.org/)

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

# The port helper: stelmo starts it from ../libexec/stelmo relative to its
# own directory, never through PATH.
set(STELMO_HELPER_DIR ${CMAKE_INSTALL_LIBEXECDIR}/stelmo)
cmake_path(GET CMAKE_INSTALL_FULL_BINDIR PARENT_PATH stelmo_helper_lookup)
cmake_path(APPEND stelmo_helper_lookup libexec stelmo)
cmake_path(SET stelmo_helper_dir NORMALIZE ${CMAKE_INSTALL_FULL_LIBEXECDIR}/stelmo)
if(NOT stelmo_helper_dir STREQUAL stelmo_helper_lookup)
  message(WARNING "stelmo: CMAKE_INSTALL_LIBEXECDIR=${CMAKE_INSTALL_LIBEXECDIR} puts the port "
                  "helper in ${stelmo_helper_dir}, but the installed program looks in "
                  "${stelmo_helper_lookup}; real hardware would not work")
endif()

install(TARGETS stelmo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS stelmo-port RUNTIME DESTINATION ${STELMO_HELPER_DIR})
# A stripped install (CPack's) also drops the compiler's .comment section, as
# Debian's dh_strip does; plain strip keeps it.
if(CMAKE_OBJCOPY)
  foreach(executable ${CMAKE_INSTALL_BINDIR}/stelmo ${STELMO_HELPER_DIR}/stelmo-port)
    install(CODE "if(CMAKE_INSTALL_DO_STRIP)
  execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${executable}\")
endif()")
  endforeach()
endif()

# What only the package installs (component "system", left out of a plain
# install): files under /etc, which dpkg keeps as conffiles and a
# `make install` must not overwrite, and the udev rule, which names the group
# that the package's postinst creates.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/stelmo.conf DESTINATION /etc/stelmo
        COMPONENT system EXCLUDE_FROM_ALL)
# The real-time limit grants the group what the tick thread asks for: the
# policy and priority are read off runtime/base/realtime_policy.h.
file(STRINGS ${PROJECT_SOURCE_DIR}/runtime/base/realtime_policy.h stelmo_rt_lines
     REGEX "^constexpr .*[ *](PRIORITY|POLICY_NAME) = ")
string(REGEX MATCH "PRIORITY = ([0-9]+)" _ "${stelmo_rt_lines}")
set(STELMO_RT_PRIORITY ${CMAKE_MATCH_1})
string(REGEX MATCH "POLICY_NAME = \"([A-Z_]+)\"" _ "${stelmo_rt_lines}")
set(STELMO_RT_POLICY ${CMAKE_MATCH_1})
if(NOT STELMO_RT_PRIORITY OR NOT STELMO_RT_POLICY)
  message(FATAL_ERROR "stelmo: no PRIORITY or POLICY_NAME in runtime/base/realtime_policy.h "
                      "for packaging/limits.conf.in")
endif()
configure_file(${PROJECT_SOURCE_DIR}/packaging/limits.conf.in
               ${CMAKE_CURRENT_BINARY_DIR}/packaging/limits.conf @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/limits.conf DESTINATION /etc/security/limits.d
        RENAME stelmo.conf COMPONENT system EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/60-stelmo-port.rules
        DESTINATION lib/udev/rules.d COMPONENT system EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/ui/stelmo.uir DESTINATION ${STELMO_PANEL_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/ui/${STELMO_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/ui/${STELMO_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The icon: the SVG, and PNGs drawn from it at build time for desktops and
# software centres that want fixed sizes. rsvg-convert writes no time stamp,
# so the same SVG always gives the same PNG bytes.
set(stelmo_svg ${PROJECT_SOURCE_DIR}/ui/stelmo.svg)
install(FILES ${stelmo_svg} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
find_program(STELMO_RSVG_CONVERT rsvg-convert)
if(STELMO_RSVG_CONVERT)
  set(stelmo_pngs)
  foreach(size 48 64 128 256)
    set(png ${CMAKE_CURRENT_BINARY_DIR}/icons/${size}x${size}/stelmo.png)
    add_custom_command(
      OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/icons/${size}x${size}
      COMMAND ${STELMO_RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${stelmo_svg}
      DEPENDS ${stelmo_svg}
      VERBATIM)
    install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
    list(APPEND stelmo_pngs ${png})
  endforeach()
  add_custom_target(stelmo_icons ALL DEPENDS ${stelmo_pngs})
  if(TARGET panel_corpus_test)
    add_dependencies(panel_corpus_test stelmo_icons) # the window icon it looks for
  endif()
else()
  message(WARNING "stelmo: rsvg-convert not found (package librsvg2-bin); "
                  "the PNG icons are left out, only the SVG is installed")
endif()

# The man page and the changelog, compressed as Debian wants them: best
# compression, no name or time stamp inside, so the same file always gives the
# same bytes. Without gzip they are installed as they are.
find_program(STELMO_GZIP gzip)
function(stelmo_install_gzipped source name destination)
  if(NOT STELMO_GZIP)
    install(FILES ${source} DESTINATION ${destination} RENAME ${name})
    return()
  endif()
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/gzipped)
  add_custom_command(
    OUTPUT ${dir}/${name}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${dir}/${name}
    COMMAND ${STELMO_GZIP} -9nf ${dir}/${name}
    DEPENDS ${source}
    COMMENT "Compressing ${name}"
    VERBATIM)
  add_custom_target(stelmo_gzip_${name} ALL DEPENDS ${dir}/${name}.gz)
  install(FILES ${dir}/${name}.gz DESTINATION ${destination})
endfunction()
stelmo_install_gzipped(${PROJECT_SOURCE_DIR}/docs/stelmo.1 stelmo.1 ${CMAKE_INSTALL_MANDIR}/man1)
# The package's version has no Debian revision (the packaging lives in the
# project itself, a native package in Debian's terms), so the changelog is
# changelog.gz, not changelog.Debian.gz.
stelmo_install_gzipped(${PROJECT_SOURCE_DIR}/packaging/changelog changelog ${CMAKE_INSTALL_DOCDIR})

# Every file that names the version, so that a new version misses none.
function(stelmo_check_version file pattern)
  file(STRINGS ${PROJECT_SOURCE_DIR}/${file} lines REGEX "${pattern}")
  if(NOT lines)
    message(WARNING "stelmo: ${file} does not name version ${PROJECT_VERSION}")
  endif()
endfunction()
string(REPLACE "." "\\." version ${PROJECT_VERSION})
stelmo_check_version(docs/stelmo.1 "^\\.TH .*\"stelmo ${version}\"")
stelmo_check_version(packaging/changelog "^stelmo \\(${version}\\) ")
stelmo_check_version(ui/${STELMO_APP_ID}.metainfo.xml "<release version=\"${version}\"")

# The Debian package.
set(stelmo_maintainer "stelmo developers <stelmo-dev@lists.example.org>")
set(STELMO_MAINTAINER ${stelmo_maintainer}
    CACHE STRING "Maintainer named in the Debian package (Name <address>)")
# Build trees configured before still hold the former placeholder, an address
# at localhost that lintian refuses.
if(STELMO_MAINTAINER STREQUAL "stelmo maintainers <stelmo@localhost>")
  set_property(CACHE STELMO_MAINTAINER PROPERTY VALUE ${stelmo_maintainer})
endif()
if(NOT STELMO_MAINTAINER MATCHES "^[^<>@]*[^<>@ ] <[^<>@ ]+@[^<>@ ]+\\.[^<>@ ]+>$")
  message(FATAL_ERROR "stelmo: STELMO_MAINTAINER is \"${STELMO_MAINTAINER}\"; the Debian "
                      "package needs a name and a mail address at a real domain: "
                      "\"Name <user@host.domain>\"")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME stelmo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The stelmo developers")
set(CPACK_PACKAGE_CONTACT ${STELMO_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "drive a camera-alignment stepper motor through the parallel port")
set(CPACK_STRIP_FILES ON) # dlsym finds the callbacks in .dynsym, which strip keeps
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# One package of both install components: the plain install's and "system",
# whose files under /etc have absolute destinations (hence DESTDIR, which
# takes its prefix from CPACK_INSTALL_PREFIX).
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX ${CPACK_PACKAGING_INSTALL_PREFIX})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Unspecified system)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)

set(CPACK_DEBIAN_PACKAGE_NAME stelmo)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # stelmo_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${STELMO_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${STELMO_HOMEPAGE})
# The long description under the summary line; CPack indents it and turns
# the empty line into the paragraph break Debian wants.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "stelmo is the operator program of a camera alignment stage. It drives a
four-phase stepper motor on the data lines D0 to D3 of a PC parallel port
(0x378 or 0x278), homes it against an end switch and jogs it one full step
per timer tick, reading the end switches back through the port.

By default it drives a simulated rig shown in a window of its own. Real
hardware is reached through /dev/port by a small helper that alone holds
the privilege, for the operators in group stelmo, with the port chosen in
/etc/stelmo/stelmo.conf.")
# The architecture is what dpkg --print-architecture says (CPack's default).
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# postinst gives the port helper its group, mode and capability; postrm takes
# the mode back on purge; conffiles names the files under /etc.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/postrm
    ${PROJECT_SOURCE_DIR}/packaging/conffiles)

# Dependencies: the libraries the binaries link (Qt, and libcap for giving up
# capabilities), as dpkg-shlibdeps reads them off the binaries, plus the
# platform plugins, which Qt loads at run time and no library scan can see,
# and what postinst runs: addgroup (adduser) and setcap (libcap2-bin).
# Without dpkg-shlibdeps the libraries are named by hand.
find_program(STELMO_DPKG_SHLIBDEPS dpkg-shlibdeps)
set(stelmo_depends "qt6-qpa-plugins, adduser, libcap2-bin")
if(STELMO_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  message(STATUS "stelmo: dpkg-shlibdeps not found (package dpkg-dev); "
                 "naming the package's Qt dependencies by hand")
  string(PREPEND stelmo_depends "libqt6core6 (>= 6.4), libqt6gui6 (>= 6.4), "
                                "libqt6widgets6 (>= 6.4), libqt6uitools6 (>= 6.4), "
                                "libqt6dbus6 (>= 6.4), "
                                "libcap2 (>= 1:2.26), ")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS ${stelmo_depends})
# Qt's own texts (standard dialogs) in the operator's language; stelmo's
# catalogues are in the package itself.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qt6-translations-l10n)

include(CPack)
