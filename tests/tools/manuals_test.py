#!/usr/bin/env python3
"""The manual pages against the tools they describe.

  manuals_test.py render MAN_DIR
      every page renders with man -l without a warning, with its NAME,
      SYNOPSIS and DESCRIPTION (or the sections a file format has)
  manuals_test.py options MAN_DIR TOOL=PATH...
      every option a tool's --help lists is in the OPTIONS section of its
      page with the same value name, and the page lists no option the
      tool does not have
"""
import gzip
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from kest_checks import check, finish, run  # noqa: E402


def render(page):
    r = run("man", "--warnings", "-l", page, env=dict(os.environ, MANWIDTH="100", LC_ALL="C.UTF-8"))
    return r.returncode, r.stdout, r.stderr


def sections(text):
    """Section name -> its lines, from rendered man output."""
    out, current = {}, None
    for line in text.splitlines():
        if re.match(r"^[A-Z][A-Z ]+$", line):
            current = line.strip()
            out[current] = []
        elif current is not None:
            out[current].append(line)
    return out


def check_render(man_dir):
    pages = sorted(os.path.join(man_dir, f) for f in os.listdir(man_dir) if f.endswith(".gz"))
    if not pages:
        sys.exit(f"no manual page in {man_dir}")
    for page in pages:
        with gzip.open(page, "rt") as f:
            source = f.read()
        check(source.startswith(".\\\"") or ".TH " in source, f"{page}: a man page")
        code, out, err = render(page)
        name = os.path.basename(page)[:-3]
        if not check(code == 0 and not err.strip(), f"{name}: man -l renders it (exit {code}) {err.strip()}"):
            continue
        found = sections(out)
        missing = [wanted for wanted in ("NAME", "SYNOPSIS", "DESCRIPTION", "SEE ALSO") if wanted not in found]
        check(not missing, f"{name}: {len(out.splitlines())} lines, no section missing: {missing}")
        title = name.rsplit(".", 1)[0]
        check(any(title in line for line in found.get("NAME", [])), f"{name}: NAME names {title}")


def options(pattern, lines):
    """The options (with their value names) of the lines that match pattern."""
    return {m.group(1) for m in (re.match(pattern, line) for line in lines) if m}


def help_options(path):
    r = run(path, "--help")
    if r.returncode != 0:
        sys.exit(f"{path} --help exits {r.returncode}: {r.stderr}")
    return options(r"^  (?:-h, )?(--[a-z0-9-]+(?: [^ ]+)?)(?:  |$)", r.stdout.splitlines())


def man_options(page):
    code, out, err = render(page)
    if code != 0:
        sys.exit(f"{page}: man -l exits {code}: {err}")
    # An entry's tag stands at the section's indentation, its text deeper
    # (or after it on the same line when the tag is short); value names
    # are in capitals (N, FILE, ADDR:PORT, X|max).
    return options(r"^ {7}(?:-h, )?(--[a-z0-9-]+(?: [A-Z][A-Z0-9_]*(?:[:|][A-Za-z]+)?)?)(?=\s|$)",
                   sections(out).get("OPTIONS", []))


def check_options(man_dir, tools):
    for entry in tools:
        tool, path = entry.split("=", 1)
        page = os.path.join(man_dir, tool + ".1.gz")
        if not check(os.path.exists(page), f"{tool}: a manual page {page}"):
            continue
        in_help, in_man = help_options(path), man_options(page)
        check(len(in_help) >= 3, f"{tool}: {len(in_help)} options read from --help")
        check(in_help == in_man, f"{tool}: the manual page lists the options --help lists (only in --help: "
              f"{sorted(in_help - in_man)}; only in the page: {sorted(in_man - in_help)})")


commands = {"render": lambda: check_render(sys.argv[2]), "options": lambda: check_options(sys.argv[2], sys.argv[3:])}
if len(sys.argv) < 3 or sys.argv[1] not in commands:
    sys.exit(__doc__)
commands[sys.argv[1]]()
finish()
