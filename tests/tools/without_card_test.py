#!/usr/bin/env python3
"""The tools and the Python module on a host without the card's library.

  without_card_test.py COMPLETION SAMPLE_CONFIG PYTHON_TREE MODEL_DIR INSTALLED_MODEL_DIR TOOL...

PYTHON_TREE: where the module kest is built, or - when it is not.

Every TOOL (a path) is run with no libenyx-hw-c.so.5 that the loader can
find: LD_LIBRARY_PATH is removed, so the model's directory MODEL_DIR is on no
search path (the model's own tools carry it as their runtime path, and must).
Each answers --help, --version and bash completion; kest-md-recv and
kest-card-info, which need the card, say so in one line naming LD_LIBRARY_PATH
and the model's installed directory INSTALLED_MODEL_DIR and exit 1; kest-md-recv still refuses
a dangerous file first (exit 2). `import kest` gives the record layout and the
dtype, and a Receiver raises StartError with the same line.
"""
import os
import pathlib
import sys
import tempfile

from operator_test import check, complete_line, finish, run

MODEL_TOOLS = ("kest-card-sim", "kest-card-ctl")


def dynamic(path):
    """(NEEDED libraries, RUNPATH directories) of an ELF file."""
    out = run("readelf", "-d", path).stdout
    needed = [line.split("[")[1].rstrip("]") for line in out.splitlines() if "(NEEDED)" in line]
    runpath = [d for line in out.splitlines() if "(RUNPATH)" in line or "(RPATH)" in line
               for d in line.split("[")[1].rstrip("]").split(":") if d]
    return needed, runpath


if len(sys.argv) < 7:
    sys.exit(__doc__)
script, sample, python_tree, model_dir, installed_model_dir = sys.argv[1:6]
tools = sys.argv[6:]
os.environ.pop("LD_LIBRARY_PATH", None)
os.environ["KEST_CARDSIM_NAMESPACE"] = f"without-card.{os.getpid()}"
if "libenyx-hw-c.so.5" in run("/sbin/ldconfig", "-p").stdout:
    print("this host's loader finds a libenyx-hw-c.so.5 of its own: nothing to check here")
    sys.exit(77)
os.environ["PATH"] = os.pathsep.join(sorted({os.path.dirname(t) for t in tools}) + [os.environ["PATH"]])
by_name = {os.path.basename(t): t for t in tools}

for name, path in by_name.items():
    needed, runpath = dynamic(path)
    if name in MODEL_TOOLS:
        check(runpath == [model_dir], f"{name} finds the model through its own runpath only: {runpath}")
    else:
        check(not {"libenyx-hw-c.so.5", "libKestShfeMdApi.so.1"} & set(needed),
              f"{name} needs neither the card's library nor the product's at load time: {needed}")
    for option in ("--help", "--version"):
        r = run(path, option)
        check(r.returncode == 0 and r.stdout.strip() != "" and r.stderr == "",
              f"{name} {option} answers (exit {r.returncode}) {r.stderr.strip()}")
    if os.path.exists("/usr/share/bash-completion/bash_completion"):
        got = complete_line(script, f"{name} --")
        check("--help" in got and "--version" in got, f"{name} --: completion offers {got}")

wanted = ("cannot load the card's library: libenyx-hw-c.so.5: cannot open shared object file",
          f"LD_LIBRARY_PATH={installed_model_dir} ")
with tempfile.TemporaryDirectory() as tmp:
    for argv, what in (([by_name["kest-md-recv"], sample, "--seconds", "5", "--quiet"], "kest-md-recv CONFIG"),
                       ([by_name["kest-card-info"]], "kest-card-info"),
                       ([by_name["kest-card-info"], "--prometheus"], "kest-card-info --prometheus")):
        r = run(*argv, cwd=tmp)
        lines = r.stderr.splitlines()
        tool = os.path.basename(argv[0])
        check(r.returncode == 1, f"{what} without the card's library exits 1 (got {r.returncode})")
        check(len(lines) == 1 and lines[0].startswith(tool + ": ") and all(w in lines[0] for w in wanted),
              f"{what} says so in one line naming LD_LIBRARY_PATH and the model's directory: {r.stderr!r}")
    check(not [f for f in os.listdir(tmp) if f.startswith("kest_u50_")], "the library wrote no log")
    garbage = os.path.join(tmp, "garbage.ini")
    pathlib.Path(garbage).write_bytes(bytes((n * 7919 + 13) % 251 for n in range(3000)).replace(b"=", b"-"))
    r = run(by_name["kest-md-recv"], garbage, "--seconds", "5", cwd=tmp)
    check(r.returncode == 2 and ": DANGEROUS: the library recognises no key" in r.stderr,
          f"kest-md-recv GARBAGE is refused before any library is loaded (exit {r.returncode})")

    probe = """
import kest, sys
layout = kest.record_layout()
assert kest.RECORD_DTYPE.itemsize == 152 and set(layout) == set(kest.RECORD_DTYPE.names), layout
try:
    kest.Receiver(sys.argv[1])
except kest.StartError as e:
    print(e.returncode, e)
"""
    if python_tree == "-":
        print("the Python module kest is not built: not checked")
        finish()
    r = run("/usr/bin/python3", "-c", probe, sample, cwd=tmp, env=dict(os.environ, PYTHONPATH=python_tree))
    check(r.returncode == 0, f"import kest and its record layout work without the card's library: {r.stderr}")
    check(r.stdout.startswith("None ") and all(w in r.stdout for w in wanted) and r.stdout.count("\n") == 1,
          f"kest.Receiver raises StartError with the same line: {r.stdout!r}")
finish()

