#!/usr/bin/env python3
"""Runs the commands and examples that the README and the guide show.

    scripts/doctest.py BUILD_DIR [FILE.md...]    (default: README.md CHANGELOG.md docs/*.md)

A fenced block of language `console` is a shell session: each line that begins
with `$ ` is a command (lines that begin with `> ` continue it, as a shell's
second prompt shows them), and the lines up to the next command are its shown
output, compared with what the command writes on standard output and standard
error. In shown output `...` stands for any text on its line, and a line that
is `...` alone for any number of lines (times, sizes, counts, long listings).
Every command must exit with status 0: a page that shows a failure shows its
status (`; echo "exit $?"`). A block of language `python` is run with
/usr/bin/python3; what it prints is not compared, it must end without error.
A block of language `c++` is compiled against the public headers
(g++ -std=c++17 -Wall -Werror -fsyntax-only).

Each block runs in a fresh temporary directory, unless the comment
`<!-- doctest: continue -->` stands right before it: then it runs in the
previous block's directory, and processes that block left in the background
keep running; they are stopped when the next block without `continue` begins
or at the end of the file. `<!-- doctest: timeout SECONDS -->` bounds a block
(default 120 s); `<!-- doctest: source -->` runs it in the source tree
(for the README's commands, which run from the clone's root).
`<!-- doctest: file NAME -->` before a `python` block writes
it to NAME in the session's directory instead of running it, for a page that
says "save this as NAME" and runs it in the next block.

A block that cannot run here is of language `console-norun` or
`python-norun` and must say so to the reader: the text just before it contains
"needs a real card" or "not run by the doc tests". Blocks of language `sh`,
`bash` or `shell` are refused, so that no command escapes the tests.

The blocks see the guide's shorthands as a user who followed "Getting started"
has them: KEST_SRC (the source tree), KEST_BUILD (the build tree),
KEST_MODEL_DIR (the directory of the card model's libenyx-hw-c.so.5), the
tools of the build on PATH and its Python modules on PYTHONPATH (what the
packages install), a KEST_CARDSIM_NAMESPACE of their own, and HOME set to a
directory of the run, so that `~` in a page is never the user's home.

Before any block runs, every relative link of the files is checked: the
file it names exists and, for `page.md#anchor`, the page has a heading of
that anchor (the README's links are not seen by the site's build).

Exit status 0 when every block passes, 1 at the first difference (with its
file and line), 2 for bad arguments.
"""

import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

FENCE = re.compile(r"^(```+|~~~+)\s*([^\s`]*)\s*$")
DIRECTIVE = re.compile(r"^<!--\s*doctest:\s*(.*?)\s*-->\s*$")
RUN = {"console", "python", "c++"}
NORUN = {"console-norun", "python-norun"}
REFUSED = {"sh", "bash", "shell", "shell-session", "sh-session", "zsh"}
NOTE = re.compile(r"needs\s+a\s+real\s+card|not\s+run\s+by\s+the\s+doc\s+tests", re.I)
MARK = "\x1edoctest-end"


LINK = re.compile(r"\]\(([^)\s]+)\)")
HEADING = re.compile(r"^#{1,6}\s+(.*?)\s*#*\s*$")


def slug(title):
    title = re.sub(r"`|\*\*", "", title)
    title = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", title)
    title = re.sub(r"[^\w\s-]", "", title).strip().lower()
    return re.sub(r"[-\s]+", "-", title)


def anchors(path):
    found, fenced = set(), False
    for line in open(path, encoding="utf-8"):
        if FENCE.match(line.rstrip("\n")):
            fenced = not fenced
        m = None if fenced else HEADING.match(line)
        if m:
            found.add(slug(m.group(1)))
    return found


def broken_links(path):
    """file:line: what is wrong, for each relative link of path that leads nowhere."""
    out, fenced = [], False
    for n, line in enumerate(open(path, encoding="utf-8"), 1):
        if FENCE.match(line.rstrip("\n")):
            fenced = not fenced
        if fenced:
            continue
        for target in LINK.findall(re.sub(r"<!--.*?-->", "", line)):
            if re.match(r"^[a-z]+:", target):
                continue
            file, _, anchor = target.partition("#")
            where = os.path.normpath(os.path.join(os.path.dirname(path), file)) if file else path
            if not os.path.exists(where):
                out.append(f"{path}:{n}: the link {target} names no file")
            elif anchor and where.endswith(".md") and anchor not in anchors(where):
                out.append(f"{path}:{n}: the link {target}: {file or path} has no heading #{anchor}")
    return out


class Block:
    def __init__(self, path, line, lang, body, directives, before):
        self.path, self.line, self.lang, self.body = path, line, lang, body
        self.directives, self.before = directives, before

    def where(self, offset=0):
        return f"{self.path}:{self.line + 1 + offset}"


def blocks_of(path):
    lines = open(path, encoding="utf-8").read().split("\n")
    i = 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        fence, lang, start = m.group(1), m.group(2), i
        i += 1
        body = []
        while i < len(lines) and not lines[i].startswith(fence[0] * len(fence)):
            body.append(lines[i])
            i += 1
        i += 1
        directives, j = [], start - 1
        while j >= 0 and (not lines[j].strip() or DIRECTIVE.match(lines[j])):
            d = DIRECTIVE.match(lines[j])
            if d:
                directives.append(d.group(1))
            j -= 1
        before = "\n".join(lines[max(0, j - 6) : j + 1])
        yield Block(path, start, lang, body, directives, before)


def session_commands(block):
    """[(offset of the command's first line, command text, [(offset, expected line)])]"""
    out = []
    for k, text in enumerate(block.body):
        if text.startswith("$ ") or text == "$":
            out.append([k, text[2:], []])
        elif text.startswith("> ") and out and not out[-1][2]:
            out[-1][1] += "\n" + text[2:]
        elif out:
            out[-1][2].append((k, text))
        elif text.strip():
            raise ValueError(f"{block.where(k + 1)}: output before the first command")
    return out


def line_regex(text):
    return "".join(".*" if part == "..." else re.escape(part) for part in re.split(r"(\.\.\.)", text.rstrip()))


def first_difference(expected, actual):
    """The index into expected of the first line that does not match, or None when all match."""

    def match(e, a):
        if e == len(expected):
            return a == len(actual), e
        text = expected[e][1].rstrip()
        if text == "...":
            best = e
            for n in range(a, len(actual) + 1):
                ok, reached = match(e + 1, n)
                if ok:
                    return True, reached
                best = max(best, reached)
            return False, best
        if a < len(actual) and re.fullmatch(line_regex(text), actual[a].rstrip()):
            return match(e + 1, a + 1)
        return False, e

    sys.setrecursionlimit(10000)
    ok, reached = match(0, 0)
    return None if ok else reached


class Runner:
    def __init__(self, build):
        self.src = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        self.build = os.path.abspath(build)
        self.dir = None
        self.groups = []
        self.sessions = 0
        self.ran = 0
        self.tmp_root = tempfile.mkdtemp(prefix="kest-doctest.")
        tools = sorted(glob.glob(os.path.join(self.build, "tools", "*", "")))
        env = dict(os.environ)
        env.update(
            KEST_SRC=self.src,
            KEST_BUILD=self.build,
            KEST_MODEL_DIR=os.path.join(self.build, "cardsim"),
            PATH=os.pathsep.join([t.rstrip("/") for t in tools] + [env.get("PATH", "/usr/bin:/bin")]),
            PYTHONPATH=os.pathsep.join([os.path.join(self.build, "python"), os.path.join(self.src, "python")]),
        )
        env.pop("LD_LIBRARY_PATH", None)
        env["HOME"] = os.path.join(self.tmp_root, "home")
        os.makedirs(env["HOME"])
        self.env = env

    def end_session(self):
        for g in self.groups:
            try:
                os.killpg(g, signal.SIGTERM)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + 10
        for g in self.groups:
            while time.monotonic() < deadline:
                try:
                    os.killpg(g, 0)
                except ProcessLookupError:
                    break
                time.sleep(0.05)
            else:
                try:
                    os.killpg(g, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        self.groups = []
        if self.dir:
            subprocess.run(["kest-card-ctl", "remove", "--all"], env=self.session_env(), cwd=self.dir,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.dir = None

    def session_env(self):
        env = dict(self.env)
        env["KEST_CARDSIM_NAMESPACE"] = f"doctest.{os.getpid()}.{self.sessions}"
        return env

    def run(self, block):
        words = " ".join(block.directives).split()
        timeout = float(words[words.index("timeout") + 1]) if "timeout" in words else 120.0
        if "continue" not in words or self.dir is None:
            self.end_session()
            self.sessions += 1
            self.dir = tempfile.mkdtemp(prefix=f"s{self.sessions}.", dir=self.tmp_root)
        self.ran += 1
        out_path = os.path.join(self.dir, ".doctest-output")
        if block.lang == "python" and "file" in words:
            with open(os.path.join(self.dir, words[words.index("file") + 1]), "w") as f:
                f.write("\n".join(block.body) + "\n")
            return None
        if block.lang == "c++":
            source = os.path.join(self.dir, ".doctest-example.cpp")
            with open(source, "w") as f:
                f.write("\n".join(block.body) + "\n")
            cc = subprocess.run(["g++", "-std=c++17", "-Wall", "-Werror", "-fsyntax-only",
                                 "-I" + os.path.join(self.src, "interface"), "-I" + os.path.join(self.src, "include"),
                                 source], capture_output=True, text=True)
            if cc.returncode != 0:
                return f"{block.where()}: the example does not compile:\n{cc.stdout}{cc.stderr}"
            return None
        if block.lang == "python":
            script = os.path.join(self.dir, ".doctest-example.py")
            with open(script, "w") as f:
                f.write("\n".join(block.body) + "\n")
            argv, commands = ["/usr/bin/python3", script], None
        else:
            commands = session_commands(block)
            script = os.path.join(self.dir, ".doctest-session.sh")
            with open(script, "w") as f:
                f.write("exec 2>&1\n")
                for n, (_, command, _) in enumerate(commands):
                    f.write(f"{command}\nprintf '{MARK} {n} %s\\n' \"$?\"\n")
            argv = ["bash", script]
        with open(out_path, "wb") as out:
            p = subprocess.Popen(argv, cwd=self.src if "source" in words else self.dir, env=self.session_env(), stdin=subprocess.DEVNULL,
                                 stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
            self.groups.append(p.pid)
            try:
                rc = p.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.end_session()
                return f"{block.where()}: the block did not end within {timeout:.0f} s"
        text = open(out_path, "rb").read().decode("utf-8", "replace")
        if block.lang == "python":
            if rc != 0:
                return f"{block.where()}: the example ended with status {rc}:\n{text}"
            return None
        return self.compare(block, commands, text)

    def compare(self, block, commands, text):
        pieces = text.split(MARK + " ")
        for n, (offset, command, expected) in enumerate(commands):
            if n + 1 >= len(pieces):
                return f"{block.where(offset)}: the session ended before this command finished:\n{pieces[-1]}"
            output = pieces[n].split("\n") if n == 0 else pieces[n].split("\n", 1)[1].split("\n")
            status = pieces[n + 1].split("\n", 1)[0].split()
            while output and not output[-1].strip():
                output.pop()
            while expected and not expected[-1][1].strip():
                expected = expected[:-1]
            at = first_difference(expected, output)
            if at is not None:
                shown = expected[at] if at < len(expected) else (expected[-1] if expected else (offset, ""))
                line = expected[at][0] if at < len(expected) else (expected[-1][0] + 1 if expected else offset + 1)
                what = f"shown: {shown[1]!r}" if at < len(expected) else "shown: (end of output)"
                return (f"{block.where(line)}: the output of `{command.splitlines()[0]}` differs\n  {what}\n"
                        "  actual output:\n" + "\n".join("    " + a for a in output))
            if status[1] != "0":
                return (f"{block.where(offset)}: `{command.splitlines()[0]}` exited with status {status[1]}\n"
                        + "\n".join("    " + a for a in output))
        return None


def main(argv):
    if len(argv) < 2 or argv[1] in ("-h", "--help"):
        print(__doc__)
        return 0 if len(argv) >= 2 else 2
    runner = Runner(argv[1])
    if not os.path.isdir(runner.build):
        print(f"doctest.py: {argv[1]}: no build directory", file=sys.stderr)
        return 2
    files = argv[2:] or ["README.md", "CHANGELOG.md"] + sorted(glob.glob("docs/*.md"))
    os.chdir(runner.src)
    links = [b for path in files for b in broken_links(path)]
    if links:
        print("\n".join(links), file=sys.stderr)
        return 1
    t0 = time.monotonic()
    for path in files:
        for block in blocks_of(path):
            if block.lang in REFUSED or (not block.lang and any(l.startswith("$ ") for l in block.body)):
                print(f"{block.where()}: a shell block must be `console` (run) or `console-norun`", file=sys.stderr)
                runner.end_session()  # what earlier blocks of the page left running
                return 1
            if block.lang in NORUN:
                if not NOTE.search(block.before):
                    print(f"{block.where()}: a block that is not run must say so just before it "
                          "(\"needs a real card\" or \"not run by the doc tests\")", file=sys.stderr)
                    runner.end_session()
                    return 1
                continue
            if block.lang not in RUN:
                continue
            try:
                failure = runner.run(block)
            except ValueError as e:
                failure = str(e)
            if failure:
                runner.end_session()
                print(failure, file=sys.stderr)
                print(f"doctest.py: the failed block's directory is kept: {runner.tmp_root}", file=sys.stderr)
                return 1
        runner.end_session()
    shutil.rmtree(runner.tmp_root, ignore_errors=True)
    print(f"doctest.py: {runner.ran} blocks of {len(files)} files passed ({time.monotonic() - t0:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
