#!/usr/bin/env python3
"""pip into a virtualenv, as the README says to install for another Python.

  pip_install_test.py PYTHON SOURCE_DIR BUILD_DIR MODEL_DIR SAMPLE_CONFIG

Into fresh virtualenvs (PYTHON -m venv --system-site-packages, in a
temporary directory) it runs exactly

  KEST_LIBRARY_DIR=BUILD_DIR VENV/bin/pip install --no-build-isolation --no-deps SOURCE_DIR/python

(without network: setuptools and pybind11 are the system's), and imports
kest and kest_records from the venv with the library found as the README
says (LD_LIBRARY_PATH=BUILD_DIR:MODEL_DIR): the library loads, and a start
without a card fails with the library's diagnosis. With KEST_RECORDS_ONLY=1
only kest_records is installed. A kest package whose C++ half is missing
says so in one line. The build's own files go to the temporary directory
(DIST_EXTRA_CONFIG), not into the source tree.
"""
import os
import pathlib
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from kest_checks import check, finish, run  # noqa: E402


def install(python, source, build, tmp, records_only):
    venv = os.path.join(tmp, "venv")
    r = run(python, "-m", "venv", "--system-site-packages", venv)
    if r.returncode != 0:
        sys.exit(f"cannot make a virtualenv with {python}: {r.stderr}")
    cfg = os.path.join(tmp, "setup.cfg")
    pathlib.Path(cfg).write_text(f"[build]\nbuild_base={tmp}/build\n[egg_info]\negg_base={tmp}\n")
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "KEST_RECORDS_ONLY")}
    env.update(KEST_LIBRARY_DIR=build, DIST_EXTRA_CONFIG=cfg, **({"KEST_RECORDS_ONLY": "1"} if records_only else {}))
    r = run(os.path.join(venv, "bin", "pip"), "install", "--no-build-isolation", "--no-deps",
            os.path.join(source, "python"), env=env, cwd=tmp)
    check(r.returncode == 0, f"pip install{' (KEST_RECORDS_ONLY=1)' if records_only else ''} into a venv "
          f"succeeds: {r.stdout[-2000:]}{r.stderr[-2000:]}")
    return os.path.join(venv, "bin", "python"), venv


def main():
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    python, source, build, model_dir, sample = sys.argv[1:]
    env = dict({k: v for k, v in os.environ.items() if k != "PYTHONPATH"}, LD_LIBRARY_PATH=f"{build}:{model_dir}",
               KEST_CARDSIM_NAMESPACE=f"pip-install.{os.getpid()}", PYTHONDONTWRITEBYTECODE="1")

    with tempfile.TemporaryDirectory() as tmp:
        py, venv = install(python, source, build, tmp, records_only=False)
        probe = """
import os, sys, kest, kest_records
venv = sys.argv[1]
for m in (kest, kest_records, kest._kest):
    assert os.path.realpath(m.__file__).startswith(os.path.realpath(venv)), m.__file__
assert kest.RECORD_DTYPE is kest_records.RECORD_DTYPE
assert kest._kest.load_library() == "", kest._kest.load_library()
try:
    kest.Receiver(sys.argv[2])
except kest.StartError as e:
    print(e.returncode, e)
"""
        r = run(py, "-c", probe, venv, sample, env=env, cwd=tmp)
        check(r.returncode == 0, f"kest and kest_records import from the venv and the library loads: {r.stderr}")
        # The library mirrors its log on standard output; the probe's message begins with the return code.
        said = next((line for line in r.stdout.splitlines() if line.startswith("-2 ")), "")
        check(said.startswith("-2 start failed (-2): no card"),
              f"a start without a card gives the library's diagnosis: {said!r}")

    with tempfile.TemporaryDirectory() as tmp:
        py, venv = install(python, source, build, tmp, records_only=True)
        r = run(py, "-c", "import os, sys, kest_records; print(os.path.realpath(kest_records.__file__))",
                env=env, cwd=tmp)
        check(r.returncode == 0 and r.stdout.startswith(os.path.realpath(venv)),
              f"KEST_RECORDS_ONLY=1: kest_records imports from the venv: {r.stdout!r} {r.stderr}")
        r = run(py, "-c", "import kest", env=env, cwd=tmp)
        check(r.returncode != 0 and "No module named 'kest'" in r.stderr,
              f"KEST_RECORDS_ONLY=1: kest is not installed: {r.stderr.strip()!r}")

    # The kest package of the source tree, whose C++ half was never built there.
    r = run(python, "-c", "import kest", env=dict(env, PYTHONPATH=os.path.join(source, "python")), cwd="/")
    last = r.stderr.strip().splitlines()[-1] if r.stderr.strip() else ""
    check(r.returncode != 0 and last.startswith("ImportError: kest: its C++ half kest._kest is not installed")
          and "circular import" not in r.stderr,
          f"kest without its C++ half says so in one line: {last!r}")
    finish()


if __name__ == "__main__":
    main()
