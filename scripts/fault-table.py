#!/usr/bin/env python3
"""The planted faults as a page of the guide: what each patch of
tests/mutations/ breaks (its first line) and what caught it, from saved
outputs of scripts/mutation-check.sh.

    scripts/fault-table.py RUN... [-o FILE]    (default: standard output)

RUN is what `scripts/mutation-check.sh [PATCH...] | tee RUN` printed; with
several (as files, or one after another in a file), a later run's row of a
fault replaces an earlier one's, so a run of a few patches refreshes their
rows. A patch that no run names is listed as "not
run". Exit status 1 when a patch is missed, does not apply or was not run, 2
for bad arguments.
"""
import glob
import os
import re
import sys

HEADER = re.compile(r"^fault\s+caught by\s+seconds\s+build_s\s*$")
ROW = re.compile(r"^(\S+)\s+(test \S+|fuzzer \S+|NOT CAUGHT.*?|does not (?:apply|build).*?)\s+(\S+)\s+(\S+)\s*$")


def main(argv):
    args, out = argv[1:], None
    if "-o" in args:
        i = args.index("-o")
        if i + 1 >= len(args):
            print("fault-table.py: -o needs a file", file=sys.stderr)
            return 2
        out = args[i + 1]
        del args[i : i + 2]
    if not args or args[0] in ("-h", "--help"):
        print(__doc__, file=sys.stderr if not args else sys.stdout)
        return 2 if not args else 0
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    caught = {}  # fault -> [caught by test or fuzzer, fuzzer of its Fuzzers: line]
    for run in args:
        seen = set()
        for line in open(run, encoding="utf-8"):
            if HEADER.match(line):  # a file of several runs, one after the other
                seen = set()
                continue
            m = ROW.match(line.rstrip("\n"))
            if not m:
                continue
            name, what = m.group(1), m.group(2)
            if name not in seen:  # the first row of a fault in a run: what caught it
                caught[name] = [what, ""]
                seen.add(name)
            else:  # the second: the fuzzers its patch names
                caught[name][1] = what
    rows, failed = [], 0
    for patch in sorted(glob.glob(os.path.join(root, "tests", "mutations", "*.patch"))):
        name = os.path.basename(patch)[: -len(".patch")]
        with open(patch, encoding="utf-8") as f:
            breaks = f.readline().strip()
        what, fuzz = caught.get(name, ["not run", ""])
        if not (what.startswith("test ") or what.startswith("fuzzer ")):
            failed += 1
        cell = lambda w: "`" + w.split(" ", 1)[1] + "`" if w.startswith(("test ", "fuzzer ")) else w
        kind = lambda w: w.split(" ", 1)[0] if w.startswith(("test ", "fuzzer ")) else ""
        also = f"{kind(fuzz)} {cell(fuzz)}" if fuzz else ""
        rows.append(f"| `{name}` | {breaks.replace('|', '/')} | {kind(what)} {cell(what)} | {also} |")
    text = "\n".join(
        [
            "# Planted faults",
            "",
            "Written by `scripts/fault-table.py` from the patches of `tests/mutations/` (their first line says "
            "what each breaks) and saved outputs of `scripts/mutation-check.sh` "
            f"({', '.join('`' + os.path.relpath(os.path.abspath(r), root) + '`' for r in args)}). "
            "[Reliability](reliability.md#planted-faults) says how the check runs.",
            "",
            f"{len(rows)} faults, {len(rows) - failed} caught.",
            "",
            "| Fault | What it breaks | Caught by | Its `Fuzzers:` line |",
            "|---|---|---|---|",
        ]
        + rows
    ) + "\n"
    if out:
        with open(out, "w", encoding="utf-8") as f:
            f.write(text)
    else:
        sys.stdout.write(text)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
