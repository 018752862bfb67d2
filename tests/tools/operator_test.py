#!/usr/bin/env python3
"""The tools as an operator meets them, each check a run of the real programs.

  operator_test.py verdicts      BIN_DIR...   kest-config-check and kest-card-info --config agree
  operator_test.py large-file    BIN_DIR...   repeated findings are capped with a count
  operator_test.py not-a-file    BIN_DIR...   kest-md-recv refuses a path that is no file, says what it is
  operator_test.py help-paths    DOC_DIR BIN_DIR...   --help names the installed recording format
  operator_test.py completion    COMPLETION BIN_DIR...   bash completion of options and commands
  operator_test.py logrotate     LOGROTATE_FILE   the rotation of the service log directories

BIN_DIR: directories holding the tools (put on PATH). The card model's
tools are needed for the checks that look at a card; KEST_CARDSIM_NAMESPACE
is set to one of this process's own.
"""
import contextlib
import json
import os
import pathlib
import re
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from kest_checks import check, finish, run  # noqa: E402


@contextlib.contextmanager
def model_card():
    """A card of the model in a namespace of this process, removed at the end."""
    os.environ["KEST_CARDSIM_NAMESPACE"] = f"operator-test.{os.getpid()}"
    r = run("kest-card-ctl", "create", "0")
    if r.returncode != 0:
        sys.exit("cannot create a model card: " + r.stderr)
    try:
        yield
    finally:
        run("kest-card-ctl", "remove", "0")


def verdicts(tmp):
    files = {
        "empty.ini": ("", "is empty"),
        "directory": (None, "is a directory"),
        "channel16.ini": ("[config]\ndevice=xilinx0:16\n[channel0]\ninsts=cu\n", "channel 16 does not exist"),
    }
    with model_card():
        for name, (text, reason) in files.items():
            path = os.path.join(tmp, name)
            if text is None:
                os.mkdir(path)
            else:
                pathlib.Path(path).write_text(text)
            c = run("kest-config-check", path)
            first = c.stdout.splitlines()[0] if c.stdout else ""
            check(c.returncode == 2, f"{name}: kest-config-check exits 2 (got {c.returncode})")
            check(first.startswith(path + ": START FAILS: ") and reason in first,
                  f"{name}: kest-config-check's first line says the start fails, {reason}: {first}")
            check("DANGEROUS" not in c.stdout, f"{name}: not called dangerous")
            cj = json.loads(run("kest-config-check", path, "--json").stdout)
            i = run("kest-card-info", "--config", path, "--json")
            if text is None:
                # No file at all to foretell a start from: a bad argument.
                check(i.returncode == 2 and "Is a directory" in json.loads(i.stdout)["error"],
                      f"{name}: kest-card-info --config DIRECTORY exits 2 (got {i.returncode}) {i.stdout}")
                continue
            check(i.returncode == 0, f"{name}: kest-card-info --config reads the card (exit {i.returncode}) {i.stderr}")
            ij = json.loads(i.stdout)
            check(cj["verdict"] == "start-fails" and ij["config"]["decision"] == "start-fails",
                  f"{name}: both tools' verdict is start-fails ({cj['verdict']}, {ij['config']['decision']})")
            check(cj["start_fails"][0]["message"] in ij["config"]["sentence"],
                  f"{name}: both give the same reason: {ij['config']['sentence']}")
        # A good file is no failed start for either.
        sample = os.path.join(tmp, "good.ini")
        pathlib.Path(sample).write_text("[config]\ndevice=xilinx0:0\ncrc_mux_check=1\n[channel0]\ninsts=cu\n")
        check(run("kest-config-check", sample).returncode == 0, "good.ini: kest-config-check exits 0")
        ij = json.loads(run("kest-card-info", "--config", sample, "--json").stdout)
        check(ij["config"]["decision"] == "programming", f"good.ini: kest-card-info: {ij['config']['decision']}")


def large_file(tmp):
    # 200000 lines of the same mistake, and 20000 of another, in 3 MB.
    path = os.path.join(tmp, "large.ini")
    lines = ["[config]", "device=xilinx0:0", "[channel0]", "insts=cu"]
    lines += [f"junk line {n} without an equals sign" for n in range(200000)]
    lines += [f"unknown_key_{n}=1" for n in range(20000)]
    pathlib.Path(path).write_text("\n".join(lines) + "\n")
    r = run("kest-config-check", path)
    out = r.stdout.splitlines()
    check(r.returncode == 1, f"large.ini: exit 1 (got {r.returncode})")
    check(out[0] == f"{path}: 220000 warnings", f"large.ini: the first line counts every finding: {out[0]}")
    shown = [line for line in out if line.startswith("  line ")]
    more = [line for line in out if line.startswith("  ... and ")]
    check(len(shown) == 20, f"large.ini: 10 of each kind shown ({len(shown)})")
    check(any(line.startswith("  ... and 199990 more findings like the one at line 5, the last at line 200004")
              for line in more), f"large.ini: the rest counted: {more}")
    check(any("19990 more" in line for line in more), "large.ini: the other kind counted too")
    check(len(r.stdout) < 20000, f"large.ini: {len(r.stdout)} bytes of output")
    j = json.loads(run("kest-config-check", path, "--json").stdout)
    check(j["warning_count"] == 220000 and len(j["warnings"]) == 20 and
          sorted(x["count"] for x in j["warnings_not_shown"]) == [19990, 199990], "large.ini: JSON counts")


def not_a_file(tmp):
    with model_card():
        r = run("kest-md-recv", tmp, "--seconds", "20", "--quiet", cwd=tmp)
        first = r.stderr.strip().splitlines()[0] if r.stderr.strip() else ""
        check(r.returncode == 2, f"kest-md-recv DIRECTORY is refused with exit 2 (got {r.returncode})")
        check(first == f"kest-md-recv: {tmp}: START FAILS: the file is a directory, not a configuration file; "
              "the start fails before touching the card. No channel can start with this file.",
              "kest-md-recv DIRECTORY gives the configuration check's verdict: " + first)
        check(r.stdout == "", "nothing started: no log line on stdout")
        # Forced, the library says it itself and the receiver names the cause.
        r = run("kest-md-recv", tmp, "--force", "--seconds", "20", "--quiet", cwd=tmp)
        check(r.returncode == 1, f"kest-md-recv DIRECTORY --force exits 1 (got {r.returncode})")
        check(f"configuration file {tmp}: it is a directory, not a configuration file" in r.stderr,
              "kest-md-recv DIRECTORY --force says it is a directory: " + r.stderr.strip().splitlines()[0])


def help_paths(doc_dir):
    wanted = os.path.join(doc_dir, "recording-format.md")
    for tool in ("kest-md-recv", "kest-record"):
        r = run(tool, "--help")
        check(wanted in r.stdout.replace("\n", "").replace(" ", ""), f"{tool} --help names {wanted}")


def complete_line(script, line):
    """What bash completion offers for line with the tools' completion script."""
    words = line.split(" ")
    bash = f"""
source /usr/share/bash-completion/bash_completion
source {script}
COMP_LINE='{line}'; COMP_POINT=${{#COMP_LINE}}
COMP_WORDS=({' '.join(repr(w) for w in words)}); COMP_CWORD={len(words) - 1}
_kest_tools {words[0]} '{words[-1]}' '{words[-2] if len(words) > 1 else ''}'
printf '%s\\n' "${{COMPREPLY[@]}}"
"""
    return run("bash", "-c", bash).stdout.split()


def completion(script):
    for line, want in (("kest-md-recv --record-r", ["--record-rotate-mb", "--record-rotate-s"]),
                       ("kest-record ", ["info", "verify", "cat", "slice", "csv", "merge", "import", "compare"]),
                       ("kest-card-ctl re", ["reset", "remove"]),
                       ("kest-exchange-dump --feed ine", ["ine2ps", "ine4ps"])):
        got = complete_line(script, line)
        check(got == want, f"{line}: {got}")
    got = complete_line(script, "kest-card-info --")
    check({"--card", "--config", "--interval", "--json", "--help", "--version"} <= set(got),
          f"kest-card-info --: {got}")
    # The feeds the script offers are those the tool names when it refuses one
    # (a build against the vendor's card library has no model tools to ask).
    if shutil.which("kest-exchange-dump") is not None:
        refusal = run("kest-exchange-dump", "--feed", "?").stderr
        feeds = re.findall(r"[a-z]+[0-9]ps", refusal[refusal.rfind("("):])
        got = complete_line(script, "kest-exchange-dump --feed ")
        check(len(feeds) == 4 and got == feeds, f"kest-exchange-dump --feed: {got}, the tool's {feeds}")


def logrotate(conf, tmp):
    logs = os.path.join(tmp, "log")
    os.makedirs(os.path.join(logs, "ch0"))
    live = os.path.join(logs, "ch0", "kest_u50_20261206_090000.log")
    pathlib.Path(live).write_text("a line of the log\n" * 100)
    local = os.path.join(tmp, "logrotate.conf")
    pathlib.Path(local).write_text(pathlib.Path(conf).read_text().replace("/var/log/kest", logs))
    os.chmod(local, 0o644)
    state = os.path.join(tmp, "state")
    r = run("logrotate", "-d", "-s", state, local)
    check(r.returncode == 0 and "error" not in r.stderr.lower(), "logrotate -d accepts the file: " + r.stderr[-300:])
    r = run("logrotate", "-f", "-s", state, local)
    rotated = [f for f in os.listdir(os.path.join(logs, "ch0")) if f != os.path.basename(live)]
    check(r.returncode == 0 and len(rotated) == 1, f"a forced rotation copies the log aside: {rotated} {r.stderr}")
    check(os.path.getsize(live) == 0, "and truncates the live one, which the receiver keeps writing")


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    what, args = sys.argv[1], sys.argv[2:]
    first_bin = {"help-paths": 1, "completion": 1, "logrotate": 1}.get(what, 0)
    os.environ["PATH"] = os.pathsep.join(args[first_bin:] + [os.environ.get("PATH", "")])
    # Each check, and the program it needs installed (None: none beyond the tools).
    checks = {"verdicts": (lambda: verdicts(tmp), None), "large-file": (lambda: large_file(tmp), None),
              "not-a-file": (lambda: not_a_file(tmp), None), "help-paths": (lambda: help_paths(args[0]), None),
              "completion": (lambda: completion(args[0]), "/usr/share/bash-completion/bash_completion"),
              "logrotate": (lambda: logrotate(args[0], tmp), "logrotate")}
    if what not in checks:
        sys.exit(__doc__)
    run_check, needs = checks[what]
    if needs is not None and not (os.path.exists(needs) if needs.startswith("/") else shutil.which(needs)):
        print(f"{needs} is not installed (scripts/install-deps.sh installs it)")
        sys.exit(77)
    tmp = tempfile.mkdtemp(prefix="kest-operator-")
    run_check()
    finish(tmp)


if __name__ == "__main__":
    main()
