# Install layout (GNUInstallDirs) and the Debian packages. Components:
#   runtime      the library with its soname, the README and the sample configuration
#   development  headers, the .so link, the CMake package, the pkg-config file, examples
#   tools        the programs that work on a real card (they need the runtime), the
#                recording format
#   python       the Python modules kest and kest_records (cmake/KestPython.cmake)
#   cardsim      the card model: its libenyx-hw-c.so.5 and libenyx-cores-c.so.6 in a
#                directory of their own, and the model's tools; installed only on
#                purpose, to develop without a card, and needed by nothing else
include(CMakePackageConfigHelpers)

set(KEST_PACKAGE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/KestShfeMdApi)
set(KEST_INSTALL_HEADER_DIR ${CMAKE_INSTALL_INCLUDEDIR}/KestShfeMdApi)

install(TARGETS KestShfeMdApi EXPORT KestShfeMdApiTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
          COMPONENT runtime
          NAMELINK_COMPONENT development)
install(FILES interface/KestShfeMdApi.h interface/KestShfeMdStruct.h
        DESTINATION ${KEST_INSTALL_HEADER_DIR} COMPONENT development)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
install(FILES config/kest_md.ini DESTINATION ${CMAKE_INSTALL_DATADIR}/KestShfeMdApi COMPONENT runtime)
install(DIRECTORY examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT development)
# The recording format comes with the tools that write it.
install(FILES recording/FORMAT.md DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME recording-format.md COMPONENT tools)
# The receiver as a systemd service (a template: one instance per
# configuration under /etc/kest), installed but not enabled.
set(KEST_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING "Where the systemd unit goes, under the prefix")
install(FILES ops/systemd/kest-md-recv@.service DESTINATION ${KEST_SYSTEMD_UNIT_DIR} COMPONENT tools)

# For operators: bash completion of every tool (one script, installed under
# each tool's name where bash-completion looks it up, in the tool's package)
# and the rotation of the receivers' log directories.
foreach(_kest_tool kest-md-recv:tools kest-card-info:tools kest-config-check:tools kest-record:tools
                   kest-card-sim:cardsim kest-card-ctl:cardsim kest-exchange-dump:cardsim)
  string(REPLACE ":" ";" _kest_tool ${_kest_tool})
  list(GET _kest_tool 0 _kest_name)
  list(GET _kest_tool 1 _kest_component)
  if(TARGET ${_kest_name})
    install(FILES packaging/bash-completion/kest-tools DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
            RENAME ${_kest_name} COMPONENT ${_kest_component})
  endif()
endforeach()
if(TARGET kest-md-recv)
  install(FILES packaging/kestshfemdapi-tools.logrotate DESTINATION /etc/logrotate.d
          RENAME kestshfemdapi-tools COMPONENT tools)
endif()

# The CMake package: KestShfeMdApi::KestShfeMdApi. The major version is the
# soname's: a request for 1.x is met by any installed 1.y with y >= x.
install(EXPORT KestShfeMdApiTargets NAMESPACE KestShfeMdApi::
        DESTINATION ${KEST_PACKAGE_CMAKE_DIR} COMPONENT development)
configure_package_config_file(cmake/KestShfeMdApiConfig.cmake.in
  ${PROJECT_BINARY_DIR}/KestShfeMdApiConfig.cmake
  INSTALL_DESTINATION ${KEST_PACKAGE_CMAKE_DIR}
  PATH_VARS KEST_MODEL_INSTALL_LIBDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KestShfeMdApiConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KestShfeMdApiConfig.cmake
              ${PROJECT_BINARY_DIR}/KestShfeMdApiConfigVersion.cmake
        DESTINATION ${KEST_PACKAGE_CMAKE_DIR} COMPONENT development)

# pkg-config, relocatable: the prefix is found from the file's own place.
file(RELATIVE_PATH KEST_PC_TO_PREFIX
     ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" KEST_PC_TO_PREFIX "${KEST_PC_TO_PREFIX}")
configure_file(cmake/KestShfeMdApi.pc.in ${PROJECT_BINARY_DIR}/KestShfeMdApi.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/KestShfeMdApi.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# The card model, when built: a directory of its own that the loader does not
# search unless told to.
if(KEST_HAVE_CARDSIM)
  install(TARGETS enyx-hw-c enyx-cores-c
    LIBRARY DESTINATION ${KEST_MODEL_INSTALL_LIBDIR} COMPONENT cardsim NAMELINK_SKIP)
endif()

# --- Debian packages ------------------------------------------------------------
# Each component is one package. Whatever a component is, the loop at the end
# gives its package the copyright file and the changelog in its own
# /usr/share/doc/<package>/, a -dbgsym package with its binaries' debugging
# information, and dependencies computed by dpkg-shlibdeps: a new component
# needs only its package name, section and description here.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestshfemdapi)
set(CPACK_PACKAGE_VENDOR "Kest")
set(KEST_PACKAGE_CONTACT "Kest market-data API team <md-api@kest.example>" CACHE STRING
    "Maintainer field of the Debian packages")
set(CPACK_PACKAGE_CONTACT "${KEST_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Each package's synopsis is the first line of its component's description
# (a project-wide summary would be put in front of it).
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development tools)
if(KEST_HAVE_CARDSIM)
  list(APPEND CPACK_COMPONENTS_ALL cardsim)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Binaries are stripped into the package; what was stripped goes to a
# <package>-dbgsym .ddeb, keyed by build id under /usr/lib/debug/.build-id/.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
# Dependencies on the C and C++ runtimes come from dpkg-shlibdeps. The card's
# libenyx-hw-c.so.5 and libenyx-cores-c.so.6 come from the card vendor (or the
# model), never from a Debian package: dpkg-shlibdeps is shown the ones this
# build links against so that it can read them, finds no package for them
# and leaves them out (CPack passes --ignore-missing-info). No package can
# express that dependency; the descriptions and the README state it. The
# same holds for libKestShfeMdApi.so.1 seen from the tools, whose dependency
# on the runtime package of the same version is written out below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${KEST_ENYX_HW_DIR} ${PROJECT_BINARY_DIR})
set(_kest_exact "(= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libkestshfemdapi1)
# Programs built on the library depend on the package that has it, of this
# version or later (the soname guards compatibility); the loader's cache is
# refreshed through dpkg's ldconfig trigger.
file(WRITE ${PROJECT_BINARY_DIR}/packaging/runtime/shlibs
     "libKestShfeMdApi 1 libkestshfemdapi1 (>= ${PROJECT_VERSION})\n")
file(WRITE ${PROJECT_BINARY_DIR}/packaging/runtime/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/packaging/runtime/shlibs ${PROJECT_BINARY_DIR}/packaging/runtime/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "SHFE/INE five-level futures quotes from the U50 card (library)
KestShfeMdApi delivers five-level futures quotes of the Shanghai Futures
Exchange and the Shanghai International Energy Exchange decoded by an
Alveo U50 card, as callbacks or into a caller's buffer.

This package holds the shared library, the sample configuration and the
manual page kest_md.ini(5). It needs the card vendor's libenyx-hw-c.so.5 at
run time, which comes with the card and from no Debian package (or the card
model of kestshfemdapi-cardsim).")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libkestshfemdapi-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libkestshfemdapi1 ${_kest_exact}")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "SHFE/INE five-level futures quotes from the U50 card (development files)
KestShfeMdApi delivers five-level futures quotes of the Shanghai Futures
Exchange and the Shanghai International Energy Exchange decoded by an
Alveo U50 card.

This package holds the headers, the CMake package KestShfeMdApi, the
pkg-config file and the sources of two example applications.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME kestshfemdapi-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libkestshfemdapi1 ${_kest_exact}")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "python3-kestshfemdapi")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "SHFE/INE five-level futures quotes from the U50 card (tools)
Receiving and operating tools of KestShfeMdApi: kest-md-recv receives,
shows and records quotes; kest-card-info shows what a card is doing;
kest-config-check checks a configuration file; kest-record reads
recordings. With manual pages, bash completion, a logrotate file for
/var/log/kest and the recording format. The Python reader of recordings,
kest_records, is in python3-kestshfemdapi.")

set(CPACK_DEBIAN_CARDSIM_PACKAGE_NAME kestshfemdapi-cardsim)
set(CPACK_DEBIAN_CARDSIM_PACKAGE_SECTION devel)
set(CPACK_COMPONENT_CARDSIM_DESCRIPTION
    "software model of the U50 card for developing without one
The card model of KestShfeMdApi: a libenyx-hw-c.so.5 whose registers,
instrument tables and DMA rings live in shared memory, with a simulated
exchange (kest-card-sim), card management (kest-card-ctl) and
kest-exchange-dump.

Its libraries live in /usr/${KEST_MODEL_INSTALL_LIBDIR}; an application
uses them only when started with LD_LIBRARY_PATH pointing there. Never
install it on a host with the card.")

include(${CMAKE_CURRENT_LIST_DIR}/KestPython.cmake)

# What every package gets, whatever its component.
set(_kest_changelog_gz ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${_kest_changelog_gz}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
  COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/packaging/changelog > ${_kest_changelog_gz}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog
  COMMENT "Compressing the Debian changelog")
add_custom_target(kest_package_changelog ALL DEPENDS ${_kest_changelog_gz})
# The changelog's latest entry is the version being packaged.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog _kest_changelog_top LIMIT_COUNT 1)
if(NOT _kest_changelog_top MATCHES "^kestshfemdapi \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog starts with '${_kest_changelog_top}': its latest entry must be "
                      "version ${PROJECT_VERSION}, the project's. Add an entry for it.")
endif()
foreach(_kest_component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${_kest_component} _kest_upper)
  set(_kest_package ${CPACK_DEBIAN_${_kest_upper}_PACKAGE_NAME})
  if(NOT _kest_package)
    message(FATAL_ERROR "component ${_kest_component} has no CPACK_DEBIAN_${_kest_upper}_PACKAGE_NAME")
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${_kest_changelog_gz}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_kest_package} COMPONENT ${_kest_component})
endforeach()

set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/KestDebPostBuild.cmake)

include(CPack)
