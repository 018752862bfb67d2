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
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestshfemdapi)
set(CPACK_PACKAGE_VENDOR "Kest")
set(CPACK_PACKAGE_CONTACT "KestShfeMdApi maintainers <kest-md@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development tools)
if(KEST_HAVE_CARDSIM)
  list(APPEND CPACK_COMPONENTS_ALL cardsim)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# dpkg-shlibdeps cannot know the vendor's libenyx-hw-c.so.5, which comes with
# the card and not from a Debian package: the dependencies are written out.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(_kest_base_depends "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1")
set(_kest_exact "(= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libkestshfemdapi1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${_kest_base_depends}")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "SHFE/INE five-level quotes from the U50 card: the shared library.\n It needs the card vendor's libenyx-hw-c.so.5 (or the card model of kestshfemdapi-cardsim).")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libkestshfemdapi-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libkestshfemdapi1 ${_kest_exact}")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "SHFE/INE five-level quotes from the U50 card: headers, CMake package, pkg-config file, examples.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME kestshfemdapi-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libkestshfemdapi1 ${_kest_exact}, ${_kest_base_depends}")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "SHFE/INE five-level quotes from the U50 card: receiving and operating tools.")

set(CPACK_DEBIAN_CARDSIM_PACKAGE_NAME kestshfemdapi-cardsim)
set(CPACK_DEBIAN_CARDSIM_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_CARDSIM_PACKAGE_DEPENDS "${_kest_base_depends}")
set(CPACK_COMPONENT_CARDSIM_DESCRIPTION
    "Software model of the U50 card for developing without one.\n Its libenyx-hw-c.so.5 lives in /usr/${KEST_MODEL_INSTALL_LIBDIR}; an application uses it only when\n started with LD_LIBRARY_PATH pointing there. Never install it on a host with the card.")

include(${CMAKE_CURRENT_LIST_DIR}/KestPython.cmake)
include(CPack)
