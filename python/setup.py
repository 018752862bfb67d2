"""The C++ half of kest, built against the installed library (or the one
KEST_INCLUDE_DIR and KEST_LIBRARY_DIR name, e.g. a build tree). With
KEST_RECORDS_ONLY=1, or when the library's header cannot be found, only
kest_records is installed (it works without the library).

kest_records' compiled helper needs neither library, only the project's
recording headers beside this directory: it is built whenever they are there,
and a failed build of it is skipped (kest_records then reads with numpy)."""
import os

from setuptools import setup

try:
    from pybind11.setup_helpers import Pybind11Extension
except ImportError:  # pragma: no cover - pybind11 is a build requirement
    Pybind11Extension = None

here = os.path.dirname(os.path.abspath(__file__))
include_dirs = [d for d in (os.environ.get("KEST_INCLUDE_DIR"), os.path.join(here, "..", "interface"),
                            "/usr/include/KestShfeMdApi") if d and os.path.exists(os.path.join(d, "KestShfeMdApi.h"))]
ext_modules = []
recording = os.path.join(here, "..", "recording")
if Pybind11Extension and os.path.exists(os.path.join(recording, "BlockCodec.h")):
    ext_modules.append(Pybind11Extension("kest_records._blocks", ["kest_records/_blocks.cpp"], cxx_std=17,
                                         include_dirs=[recording, os.path.join(recording, "include"),
                                                       os.path.join(here, "..", "interface")], optional=True))
# The start verdict and the library's own configuration reader, from the tree.
tree = os.path.join(here, "..")
verdict_sources = [os.path.join(tree, f) for f in ("tools/common/StartVerdict.cpp", "public/config/IniReader.cpp",
                                                   "public/crc/Crc32.cpp")]
verdict_includes = [os.path.join(tree, d) for d in ("tools/common", "include", "common", "public")]
if include_dirs and os.environ.get("KEST_RECORDS_ONLY") != "1":
    library_dirs = [os.environ["KEST_LIBRARY_DIR"]] if os.environ.get("KEST_LIBRARY_DIR") else []
    ext_modules.append(Pybind11Extension("kest._kest", ["kest/_kest.cpp"] + verdict_sources,
                                         include_dirs=include_dirs[:1] + verdict_includes,
                                         library_dirs=library_dirs, libraries=["KestShfeMdApi"], cxx_std=17))
else:
    print("kestshfemdapi: no KestShfeMdApi.h: installing kest_records only")

setup(ext_modules=ext_modules)
