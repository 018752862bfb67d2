"""The packages kest and kest_records, with their C++ halves.

kest's C++ half is built on the library's public header (installed, or the
directory KEST_INCLUDE_DIR names) and the tools' loader beside this
directory; it links no library of the project: it loads libKestShfeMdApi.so.1
when the first receiver starts, found as any application finds it (installed,
or LD_LIBRARY_PATH), so KEST_LIBRARY_DIR is not needed. With
KEST_RECORDS_ONLY=1, or when the header or the loader cannot be found, only
kest_records is installed (it works without the library) and kest is not.

kest_records' compiled helper needs neither library, only the project's
recording headers beside this directory: it is built whenever they are there,
and a failed build of it is skipped (kest_records then reads with numpy).

Packages and their modules are found by name (kest_records.*), so a module
added to a package is installed with it."""
import os
import re
import sysconfig

from setuptools import find_packages, setup

try:
    from pybind11.setup_helpers import Pybind11Extension
except ImportError:  # pragma: no cover - pybind11 is a build requirement
    Pybind11Extension = None

here = os.path.dirname(os.path.abspath(__file__))
tree = os.path.dirname(here)


def model_library_dir():
    """Where the card model's package installs its libenyx-hw-c.so.5, for the
    loader's one-line message: the directory the CMake build names, under
    Debian's /usr."""
    with open(os.path.join(tree, "cmake", "KestPrograms.cmake")) as f:
        found = re.search(r"set\(KEST_MODEL_INSTALL_LIBDIR \$\{CMAKE_INSTALL_LIBDIR\}/([^)\s]+)\)", f.read())
    if not found:
        raise RuntimeError("cmake/KestPrograms.cmake no longer sets KEST_MODEL_INSTALL_LIBDIR as setup.py reads it")
    multiarch = sysconfig.get_config_var("MULTIARCH")
    return "/".join(["/usr/lib", multiarch, found.group(1)] if multiarch else ["/usr/lib", found.group(1)])


include_dirs = [d for d in (os.environ.get("KEST_INCLUDE_DIR"), os.path.join(tree, "interface"),
                            "/usr/include/KestShfeMdApi") if d and os.path.exists(os.path.join(d, "KestShfeMdApi.h"))]
loader = os.path.join(tree, "tools", "common")
ext_modules = []
recording = os.path.join(tree, "recording")
if Pybind11Extension and os.path.exists(os.path.join(recording, "BlockCodec.h")):
    ext_modules.append(Pybind11Extension("kest_records._blocks", ["kest_records/_blocks.cpp"], cxx_std=17,
                                         include_dirs=[recording, os.path.join(recording, "include"),
                                                       os.path.join(tree, "interface")], optional=True))
# The start verdict reads configuration files with the library's own INI reader, from the tree; the
# diagnosis of a failed start is the tools' own.
verdict_sources = ["../tools/common/StartVerdict.cpp", "../tools/common/StartDiagnosis.cpp", "../public/config/IniReader.cpp", "../public/crc/Crc32.cpp"]
verdict_includes = [os.path.join(tree, d) for d in ("include", "common", "public")]
with_kest = (os.environ.get("KEST_RECORDS_ONLY") != "1" and bool(include_dirs)
             and os.path.exists(os.path.join(loader, "ProductLoader.cpp")))
if with_kest:
    ext_modules.append(Pybind11Extension(
        # setuptools takes sources only relative to this directory.
        "kest._kest", ["kest/_kest.cpp", "../tools/common/ProductLoader.cpp"] + verdict_sources,
        include_dirs=include_dirs[:1] + [loader] + verdict_includes, libraries=["dl"], cxx_std=17,
        define_macros=[("KEST_MODEL_LIBRARY_DIR", '"%s"' % model_library_dir())]))
    packages = find_packages(include=["kest", "kest.*", "kest_records", "kest_records.*"])
else:
    print("kestshfemdapi: installing kest_records only (KEST_RECORDS_ONLY=1, or no KestShfeMdApi.h or "
          "tools/common/ProductLoader.cpp)")
    packages = find_packages(include=["kest_records", "kest_records.*"])

setup(packages=packages, ext_modules=ext_modules)
