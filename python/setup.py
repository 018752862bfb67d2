"""The C++ half of kest, built against the installed library (or the one
KEST_INCLUDE_DIR and KEST_LIBRARY_DIR name, e.g. a build tree). With
KEST_RECORDS_ONLY=1, or when the library's header cannot be found, only the
pure-Python modules are installed (kest_records works without the library)."""
import os

from setuptools import setup

here = os.path.dirname(os.path.abspath(__file__))
include_dirs = [d for d in (os.environ.get("KEST_INCLUDE_DIR"), os.path.join(here, "..", "interface"),
                            "/usr/include/KestShfeMdApi") if d and os.path.exists(os.path.join(d, "KestShfeMdApi.h"))]
ext_modules = []
if include_dirs and os.environ.get("KEST_RECORDS_ONLY") != "1":
    from pybind11.setup_helpers import Pybind11Extension

    library_dirs = [os.environ["KEST_LIBRARY_DIR"]] if os.environ.get("KEST_LIBRARY_DIR") else []
    ext_modules.append(Pybind11Extension("kest._kest", ["kest/_kest.cpp"], include_dirs=include_dirs[:1],
                                         library_dirs=library_dirs, libraries=["KestShfeMdApi"], cxx_std=17))
else:
    print("kestshfemdapi: no KestShfeMdApi.h: installing kest_records only")

setup(ext_modules=ext_modules)
