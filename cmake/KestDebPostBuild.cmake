# Run by CPack after it has made the packages (CPACK_POST_BUILD_SCRIPTS), on
# every package it made, whatever its component, to finish what CPack leaves
# undone:
# - a -dbgsym .ddeb gets a correct md5sums (CPack writes its files' paths
#   in the packaging tree) and, as Debian's own dbgsym packages have, its
#   documentation directory as a link to that of the package it debugs,
#   which carries the copyright file and the changelog;
# - every file a package installs under /etc is a conffile (dpkg keeps an
#   administrator's changes to it across upgrades);
# - a package that refreshes the loader's cache through dpkg's ldconfig
#   trigger loses the maintainer scripts CPack adds only to call ldconfig.
find_program(_dpkg_deb dpkg-deb REQUIRED)
foreach(_deb IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(_name ${_deb} NAME)
  set(_tree ${CPACK_TOPLEVEL_DIRECTORY}/kest-post-build/${_name})
  file(REMOVE_RECURSE ${_tree})
  file(MAKE_DIRECTORY ${CPACK_TOPLEVEL_DIRECTORY}/kest-post-build)
  execute_process(COMMAND ${_dpkg_deb} --raw-extract ${_deb} ${_tree} COMMAND_ERROR_IS_FATAL ANY)
  file(STRINGS ${_tree}/DEBIAN/control _package REGEX "^Package: ")
  string(REGEX REPLACE "^Package: " "" _package "${_package}")
  set(_changed FALSE)

  if(_name MATCHES "\\.ddeb$")
    string(REGEX REPLACE "-dbgsym$" "" _debugged ${_package})
    file(MAKE_DIRECTORY ${_tree}/usr/share/doc)
    file(CREATE_LINK ${_debugged} ${_tree}/usr/share/doc/${_package} SYMBOLIC)
    file(GLOB_RECURSE _files RELATIVE ${_tree} ${_tree}/usr/*)
    list(SORT _files)
    set(_sums "")
    foreach(_f IN LISTS _files)
      if(NOT IS_SYMLINK ${_tree}/${_f})
        file(MD5 ${_tree}/${_f} _md5)
        string(APPEND _sums "${_md5}  ${_f}\n")
      endif()
    endforeach()
    file(WRITE ${_tree}/DEBIAN/md5sums "${_sums}")
    set(_changed TRUE)
  endif()

  file(GLOB_RECURSE _etc RELATIVE ${_tree} ${_tree}/etc/*)
  if(_etc)
    set(_conffiles "")
    if(EXISTS ${_tree}/DEBIAN/conffiles)
      file(STRINGS ${_tree}/DEBIAN/conffiles _conffiles)
    endif()
    list(SORT _etc)
    foreach(_f IN LISTS _etc)
      if(NOT IS_DIRECTORY ${_tree}/${_f} AND NOT "/${_f}" IN_LIST _conffiles)
        list(APPEND _conffiles "/${_f}")
      endif()
    endforeach()
    list(JOIN _conffiles "\n" _conffiles)
    file(WRITE ${_tree}/DEBIAN/conffiles "${_conffiles}\n")
    file(CHMOD ${_tree}/DEBIAN/conffiles PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    set(_changed TRUE)
  endif()

  if(EXISTS ${_tree}/DEBIAN/triggers)
    file(READ ${_tree}/DEBIAN/triggers _triggers)
    if(_triggers MATCHES "activate-noawait ldconfig")
      foreach(_script postinst postrm)
        if(EXISTS ${_tree}/DEBIAN/${_script})
          file(READ ${_tree}/DEBIAN/${_script} _text)
          string(REGEX REPLACE "#![^\n]*\n|set -e|if \\[ \"\\$1\" = \"(configure|remove)\" \\]; then|ldconfig|fi|[ \t\n]"
                 "" _rest "${_text}")
          if(_rest STREQUAL "")
            file(REMOVE ${_tree}/DEBIAN/${_script})
            set(_changed TRUE)
          endif()
        endif()
      endforeach()
    endif()
  endif()

  if(_changed)
    execute_process(COMMAND ${_dpkg_deb} --root-owner-group --build ${_tree} ${_deb}
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE ${_tree})
endforeach()
