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
import subprocess
import sys

def render(page):
    env = dict(os.environ, MANWIDTH="100", LC_ALL="C.UTF-8")
    run = subprocess.run(["man", "--warnings", "-l", page], env=env, capture_output=True, text=True)
    return run.returncode, run.stdout, run.stderr


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


def pages(man_dir):
    found = sorted(f for f in os.listdir(man_dir) if f.endswith(".gz"))
    if not found:
        sys.exit(f"no manual page in {man_dir}")
    return [os.path.join(man_dir, f) for f in found]


def check_render(man_dir):
    failures = []
    for page in pages(man_dir):
        with gzip.open(page, "rt") as f:
            source = f.read()
        if not source.startswith(".\\\"") and ".TH " not in source:
            failures.append(f"{page}: not a man page")
        code, out, err = render(page)
        name = os.path.basename(page)[:-3]
        if code != 0 or err.strip():
            failures.append(f"{name}: man -l exits {code}: {err.strip()}")
            continue
        found = sections(out)
        for wanted in ("NAME", "SYNOPSIS", "DESCRIPTION", "SEE ALSO"):
            if wanted not in found:
                failures.append(f"{name}: no {wanted} section")
        title = name.rsplit(".", 1)[0]
        if not any(title in line for line in found.get("NAME", [])):
            failures.append(f"{name}: NAME does not name {title}")
        print(f"{name}: {len(out.splitlines())} lines")
    return failures


def help_options(path):
    env = dict(os.environ)
    run = subprocess.run([path, "--help"], env=env, capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit(f"{path} --help exits {run.returncode}: {run.stderr}")
    options = set()
    for line in run.stdout.splitlines():
        m = re.match(r"^  (?:-h, )?(--[a-z0-9-]+(?: [^ ]+)?)(?:  |$)", line)
        if m:
            options.add(m.group(1))
    return options


def man_options(page):
    code, out, err = render(page)
    if code != 0:
        sys.exit(f"{page}: man -l exits {code}: {err}")
    options = set()
    for line in sections(out).get("OPTIONS", []):
        # An entry's tag stands at the section's indentation, its text deeper
        # (or after it on the same line when the tag is short); value names
        # are in capitals (N, FILE, ADDR:PORT, X|max).
        m = re.match(r"^ {7}(?:-h, )?(--[a-z0-9-]+(?: [A-Z][A-Z0-9_]*(?:[:|][A-Za-z]+)?)?)(?=\s|$)", line)
        if m:
            options.add(m.group(1))
    return options


def check_options(man_dir, tools):
    failures = []
    for entry in tools:
        tool, path = entry.split("=", 1)
        page = os.path.join(man_dir, tool + ".1.gz")
        if not os.path.exists(page):
            failures.append(f"{tool}: no manual page {page}")
            continue
        in_help = help_options(path)
        in_man = man_options(page)
        if len(in_help) < 3:
            failures.append(f"{tool}: only {sorted(in_help)} read from --help")
        for o in sorted(in_help - in_man):
            failures.append(f"{tool}: --help has '{o}', the manual page does not")
        for o in sorted(in_man - in_help):
            failures.append(f"{tool}: the manual page has '{o}', --help does not")
        print(f"{tool}: {len(in_help)} options in --help, {len(in_man)} in the manual page")
    return failures


def main():
    if len(sys.argv) < 3 or sys.argv[1] not in ("render", "options"):
        sys.exit(__doc__)
    if sys.argv[1] == "render":
        failures = check_render(sys.argv[2])
    else:
        failures = check_options(sys.argv[2], sys.argv[3:])
    for f in failures:
        print("FAIL:", f)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
