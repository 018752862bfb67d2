# The Python package python3-kestshfemdapi (component python): the module kest
# and the recording reader kest_records, for the interpreter the module was
# built for (Debian's python3 of that minor version). Without pybind11 the
# package holds kest_records alone. Included by KestInstall.cmake before CPack.
set(KEST_PYTHON_INSTALL_DIR lib/python3/dist-packages)
install(DIRECTORY python/kest_records DESTINATION ${KEST_PYTHON_INSTALL_DIR} COMPONENT python
        PATTERN __pycache__ EXCLUDE PATTERN *.cpp EXCLUDE)
if(TARGET kest_records_blocks)
  # kest_records' compiled helper: it links no library of the project.
  install(TARGETS kest_records_blocks LIBRARY DESTINATION ${KEST_PYTHON_INSTALL_DIR}/kest_records COMPONENT python)
endif()
if(TARGET kest_python_ext)
  # No runtime path: libKestShfeMdApi.so.1 is in the loader's own directories.
  install(TARGETS kest_python_ext LIBRARY DESTINATION ${KEST_PYTHON_INSTALL_DIR}/kest COMPONENT python)
  install(FILES python/kest/__init__.py DESTINATION ${KEST_PYTHON_INSTALL_DIR}/kest COMPONENT python)
  # The extension is built for one minor version of CPython (its file name
  # says which) and links the library.
  math(EXPR _kest_python_next "${KEST_PYTHON_VERSION_MINOR} + 1")
  # The C and C++ runtimes come from dpkg-shlibdeps; the library's package
  # is written out, as for the tools.
  set(_kest_python_depends
      "libkestshfemdapi1 ${_kest_exact}, python3 (>= ${KEST_PYTHON_VERSION}), python3 (<< 3.${_kest_python_next}), ")
else()
  set(_kest_python_depends "python3, ")
endif()

list(APPEND CPACK_COMPONENTS_ALL python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-kestshfemdapi)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
# numpy for both modules, the CRC-32C and zstd of version 2 recordings for
# kest_records; pandas only for frames, dask for datasets.
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "${_kest_python_depends}python3-numpy, python3-crc32c, python3-zstandard")
set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS "python3-pandas")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS_DATASETS "python3-dask, python3-distributed")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS
    "python3-matplotlib, kestshfemdapi-tools, ${CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS_DATASETS}")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
    "SHFE/INE five-level futures quotes from the U50 card (Python)
The Python modules of KestShfeMdApi: kest receives live quotes into numpy
arrays through the library; kest_records reads the recordings of
kest-md-recv --record into numpy, pandas or Dask.")
# Byte-compiled files are made at installation and removed before removal,
# as Debian's Python packages do (py3compile/py3clean from python3-minimal).
foreach(_script postinst prerm)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian-python/${_script}.in
                 ${PROJECT_BINARY_DIR}/debian-python/${_script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/debian-python/postinst ${PROJECT_BINARY_DIR}/debian-python/prerm)
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_STRICT_PERMISSION ON)
