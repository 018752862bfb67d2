# How the project's programs find the card's library. The loader alone
# decides between the card and the model: nothing the product ships points it
# at the model, and the model's own programs point only at the model.
set(KEST_MODEL_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR}/kest-cardsim)

# A program of the tools package. Those that reach the card do it only
# through libenyx-hw-c.so.5, as a user's application does: no runtime path to
# the model, in the build tree or installed. Run them against the model with
# LD_LIBRARY_PATH set to the model's directory (the tests do).
function(kest_tools_program target)
  get_target_property(_libs ${target} LINK_LIBRARIES)
  if(NOT "KestShfeMdApi" IN_LIST _libs)
    # Linked with the product's objects and so with the card's library itself:
    # no runtime path at all in the build tree.
    set_target_properties(${target} PROPERTIES SKIP_BUILD_RPATH ON)
  endif()
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  if(KEST_INSTALL)
    install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  endif()
endfunction()

# A program of the card model: it finds the model's library beside it.
function(kest_model_program target)
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/../${KEST_MODEL_INSTALL_LIBDIR}")
  if(KEST_INSTALL)
    install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT cardsim)
  endif()
endfunction()

# Areas that run over the card model skip themselves, saying so, when the
# product is built against the vendor's library.
macro(kest_skip_without_model what)
  if(NOT KEST_HAVE_CARDSIM)
    message(STATUS "KestShfeMdApi: skipped without the card model: ${what}")
    return()
  endif()
endmacro()

# A test or benchmark of this tree that loads the product library over the
# model. Its build-tree runtime path is written as an RPATH, which the loader
# also applies to the library's own card dependencies (a RUNPATH would not,
# and the library itself names no path). Such programs are never installed.
function(kest_over_model target)
  target_link_options(${target} PRIVATE LINKER:--disable-new-dtags)
endfunction()

# The first interpreter, of the one the module kest is built for and Debian's
# /usr/bin/python3 (whose python3-numpy and friends serve it), that imports
# every module of IMPORTS ("numpy, pandas"); empty when none does.
function(kest_python_with out imports)
  set(_found "")
  foreach(candidate ${KEST_PYTHON_EXECUTABLE} /usr/bin/python3)
    if(NOT _found AND EXISTS ${candidate})
      execute_process(COMMAND ${candidate} -c "import ${imports}" RESULT_VARIABLE _rc OUTPUT_QUIET ERROR_QUIET)
      if(_rc EQUAL 0)
        set(_found ${candidate})
      endif()
    endif()
  endforeach()
  set(${out} "${_found}" PARENT_SCOPE)
endfunction()
