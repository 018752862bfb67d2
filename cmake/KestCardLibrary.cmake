# Which libenyx-hw-c.so.5 the product is linked and tested against is one
# explicit setting:
#   vendor  the card vendor's install (KEST_ENYX_HW_ROOT, or the system's
#           library paths when it is empty)
#   model   the project's software model of the card, built from cardsim/
# Defaults: the model when the project is built on its own without a vendor
# root (so it builds and runs on a laptop), the vendor otherwise: a project
# that embeds this one never gets the model unless it asks for it.
#
# Defines:
#   kest::enyx_hw, kest::enyx_cores   targets of the card's library set
#   kest_card_library                 a target that has them built
#   KEST_ENYX_HW_FILE                 the libenyx-hw-c.so.5 linked (a path)
#   KEST_ENYX_HW_DIR                  its directory
#   KEST_HAVE_CARDSIM                 whether the model (and what needs it) is built
set(KEST_ENYX_HW_ROOT "" CACHE PATH
    "Vendor install of libenyx-hw-c.so.5 (lib/ and include/), for KEST_CARD_LIBRARY=vendor")
set(KEST_ENYX_HW_HEADER "enyx/hw_c.h" CACHE STRING
    "The vendor header, relative to an include directory of the vendor install")

if(KEST_ENYX_HW_ROOT OR NOT PROJECT_IS_TOP_LEVEL)
  set(_kest_card_default vendor)
else()
  set(_kest_card_default model)
endif()
set(KEST_CARD_LIBRARY ${_kest_card_default} CACHE STRING
    "The libenyx-hw-c.so.5 to link and test against: vendor (the card vendor's install) or model (the project's card model)")
set_property(CACHE KEST_CARD_LIBRARY PROPERTY STRINGS vendor model)

if(KEST_CARD_LIBRARY STREQUAL "vendor")
  set(KEST_HAVE_CARDSIM OFF)
  if(KEST_ENYX_HW_ROOT)
    set(_kest_search PATHS ${KEST_ENYX_HW_ROOT}/lib ${KEST_ENYX_HW_ROOT}/lib64 NO_DEFAULT_PATH)
    set(_kest_include_search PATHS ${KEST_ENYX_HW_ROOT}/include NO_DEFAULT_PATH)
    set(_kest_where "${KEST_ENYX_HW_ROOT}/lib")
  else()
    set(_kest_search)
    set(_kest_include_search)
    set(_kest_where "the system's library paths (set KEST_ENYX_HW_ROOT to the vendor's install)")
  endif()
  find_library(KEST_ENYX_HW_LIB NAMES libenyx-hw-c.so.5 enyx-hw-c ${_kest_search})
  if(NOT KEST_ENYX_HW_LIB)
    message(FATAL_ERROR
      "KestShfeMdApi: KEST_CARD_LIBRARY=vendor, but libenyx-hw-c.so.5 is not in ${_kest_where}. "
      "Point KEST_ENYX_HW_ROOT at the card vendor's install, or set KEST_CARD_LIBRARY=model "
      "to build the project's card model and develop without a card.")
  endif()
  add_library(kest::enyx_hw SHARED IMPORTED)
  set_target_properties(kest::enyx_hw PROPERTIES IMPORTED_LOCATION ${KEST_ENYX_HW_LIB})

  # No public header of the vendor library is promised: without one the
  # product compiles against its own declarations of the same functions.
  find_path(KEST_ENYX_HW_INCLUDE_DIR ${KEST_ENYX_HW_HEADER} ${_kest_include_search})
  if(KEST_ENYX_HW_INCLUDE_DIR)
    set_target_properties(kest::enyx_hw PROPERTIES
      INTERFACE_INCLUDE_DIRECTORIES ${KEST_ENYX_HW_INCLUDE_DIR}
      INTERFACE_COMPILE_DEFINITIONS "KEST_ENYX_HW_VENDOR_HEADER=<${KEST_ENYX_HW_HEADER}>")
    set(_kest_header "${KEST_ENYX_HW_INCLUDE_DIR}/${KEST_ENYX_HW_HEADER}")
  else()
    set(_kest_header "not found, the project's declarations (common/EnyxHwDeclarations.h)")
  endif()

  get_filename_component(_kest_hw_dir ${KEST_ENYX_HW_LIB} DIRECTORY)
  find_library(KEST_ENYX_CORES_LIB NAMES libenyx-cores-c.so.6 enyx-cores-c
               PATHS ${_kest_hw_dir} NO_DEFAULT_PATH)
  if(KEST_ENYX_CORES_LIB)
    add_library(kest::enyx_cores SHARED IMPORTED)
    set_target_properties(kest::enyx_cores PROPERTIES IMPORTED_LOCATION ${KEST_ENYX_CORES_LIB})
  else()
    message(WARNING "KestShfeMdApi: libenyx-cores-c.so.6 is not beside ${KEST_ENYX_HW_LIB}; "
                    "the library will not name it as a dependency.")
  endif()

  add_custom_target(kest_card_library)
  set(KEST_ENYX_HW_FILE ${KEST_ENYX_HW_LIB})
  set(KEST_ENYX_HW_DIR ${_kest_hw_dir})
  message(STATUS "KestShfeMdApi: card library: vendor, ${KEST_ENYX_HW_FILE}")
  message(STATUS "KestShfeMdApi: card header: ${_kest_header}")
  message(STATUS "KestShfeMdApi: the card model is not built: its tools, the tests and "
                 "benchmarks that need it are skipped (KEST_CARD_LIBRARY=model builds them)")
elseif(KEST_CARD_LIBRARY STREQUAL "model")
  if(KEST_ENYX_HW_ROOT)
    message(FATAL_ERROR "KestShfeMdApi: KEST_ENYX_HW_ROOT is set but KEST_CARD_LIBRARY=model: "
                        "choose one (KEST_CARD_LIBRARY=vendor uses the root).")
  endif()
  set(KEST_HAVE_CARDSIM ON)
  add_subdirectory(${PROJECT_SOURCE_DIR}/cardsim ${PROJECT_BINARY_DIR}/cardsim)
  add_library(kest::enyx_hw ALIAS enyx-hw-c)
  add_library(kest::enyx_cores ALIAS enyx-cores-c)
  add_custom_target(kest_card_library)
  add_dependencies(kest_card_library enyx-hw-c enyx-cores-c)
  set(KEST_ENYX_HW_DIR ${PROJECT_BINARY_DIR}/cardsim)
  set(KEST_ENYX_HW_FILE ${KEST_ENYX_HW_DIR}/libenyx-hw-c.so.5)
  message(STATUS "KestShfeMdApi: card library: model (the project's card model), ${KEST_ENYX_HW_FILE}")
  message(STATUS "KestShfeMdApi: programs that use the library find the model only through "
                 "the loader: LD_LIBRARY_PATH=${KEST_ENYX_HW_DIR}")
  # A card's own library on this host is never picked up by the build, but
  # the loader prefers it for anything started without that path.
  find_library(_kest_system_hw NAMES libenyx-hw-c.so.5 NO_CACHE)
  if(_kest_system_hw)
    message(WARNING "KestShfeMdApi: this host has a libenyx-hw-c.so.5 (${_kest_system_hw}); "
                    "this build links and tests against the model. KEST_CARD_LIBRARY=vendor "
                    "builds against the card's library.")
  endif()
else()
  message(FATAL_ERROR "KestShfeMdApi: KEST_CARD_LIBRARY must be vendor or model, not '${KEST_CARD_LIBRARY}'")
endif()
