#!/usr/bin/env python3
"""The Grafana dashboard is JSON Grafana imports, it has panels, and every
metric and label its queries name is one the tools serve, as scraped from
them over the card model (a renamed metric leaves an empty panel).

  dashboard_check.py DASHBOARD BUILD_DIR CONFIG

Starts the simulated card and exchange, kest-md-recv CONFIG --metrics on a
port the system picks, waits (with a generous deadline) until it has
delivered quotes, and scrapes it and kest-card-info --prometheus. Then checks
DASHBOARD against those scrapes, and checks that the same check fails on two
broken copies of it: one with no panel, one with a metric name mistyped.
Stops everything it started.
"""
import copy
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

METRIC = re.compile(r"\bkest_[a-z0-9_]+")
# Labels Prometheus adds to every series it scrapes, and the histogram's own.
ADDED_LABELS = {"instance", "job"}


def scrape_names(text):
    """{sample name: set of its label names} of a Prometheus text exposition."""
    served = {}
    for line in text.splitlines():
        if not line or line.startswith("#"):
            continue
        m = re.match(r"([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([^}]*)\})?\s", line)
        if m:
            labels = set(re.findall(r'([a-zA-Z_][a-zA-Z0-9_]*)="', m.group(3) or ""))
            served.setdefault(m.group(1), set()).update(labels)
    return served


def problems(d, served):
    """What is wrong with dashboard d against the served {metric: labels}."""
    found = []
    for key in ("title", "uid", "panels", "templating", "schemaVersion"):
        if key not in d:
            found.append(f"no {key}")
    panels = [p for p in d.get("panels", []) if p.get("type") != "row"]
    if not panels:
        found.append("no panel")
    ids = [p.get("id") for p in d.get("panels", [])]
    if len(set(ids)) != len(ids):
        found.append("panel ids repeat")
    for p in panels:
        targets = p.get("targets", [])
        if not targets:
            found.append(f"panel {p.get('title')} has no query")
        for t in targets:
            expr = t.get("expr", "")
            names = METRIC.findall(expr)
            if not names:
                found.append(f"panel {p.get('title')}: query {expr!r} names no metric of the tools")
            unknown = [n for n in names if n not in served]
            for n in unknown:
                found.append(f"panel {p.get('title')}: {n} is served by no tool")
            carried = set(ADDED_LABELS)
            for n in names:
                carried |= served.get(n, set())
            used = set(re.findall(r"\b(?:by|without)\s*\(([^)]*)\)", expr))
            used = {label.strip() for group in used for label in group.split(",") if label.strip()}
            used |= set(re.findall(r"[{,]\s*([a-zA-Z_][a-zA-Z0-9_]*)\s*(?:=~|!~|!=|=)", expr))
            for label in sorted(used - carried):
                if not unknown:
                    found.append(f"panel {p.get('title')}: label {label} is on none of {names}")
    for v in d.get("templating", {}).get("list", []):
        for n in METRIC.findall(v.get("definition", "")):
            if n not in served:
                found.append(f"variable {v.get('name')}: {n} is served by no tool")
    return found


def scrape(build, config):
    """The tools' metrics over a model card: {name: labels}, and what went wrong."""
    tool = {n: os.path.join(build, "tools", n, n) for n in ("kest-md-recv", "kest-card-sim", "kest-card-ctl",
                                                            "kest-card-info")}
    env = dict(os.environ, LD_LIBRARY_PATH=os.path.join(build, "cardsim"),
               KEST_CARDSIM_NAMESPACE=f"ops.dashboard.{os.getpid()}")
    work = tempfile.mkdtemp(prefix="kest-dashboard.")
    procs = []

    def start(name, args):
        p = subprocess.Popen(args, stdout=open(os.path.join(work, name + ".out"), "w"),
                             stderr=open(os.path.join(work, name + ".err"), "w"), env=env, cwd=work)
        procs.append(p)
        return p

    def err(name):
        with open(os.path.join(work, name + ".err")) as f:
            return f.read()

    def wait_for(what, predicate, seconds=180):
        # Generous: the model's bring-up takes seconds, more on a loaded machine.
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            value = predicate()
            if value:
                return value
            if any(p.poll() is not None for p in procs):
                break
            time.sleep(0.2)
        raise RuntimeError(f"{what} (waited up to {seconds} s): {err('recv')[-500:]}")

    def get(url):
        with urllib.request.urlopen(url, timeout=10) as r:
            return r.read().decode()

    try:
        start("sim", [tool["kest-card-sim"], "--card", "0", "--shfe-size", "100", "--ine-size", "30", "--rate",
                      "200", "--stats", "0"])
        wait_for("the simulated card is there", lambda: subprocess.run(
            [tool["kest-card-ctl"], "list"], env=env, capture_output=True, text=True).stdout.startswith("0 "))
        start("recv", [tool["kest-md-recv"], config, "--quiet", "--seconds", "600", "--metrics", ":0"])
        port = wait_for("kest-md-recv names its metrics port",
                        lambda: (re.findall(r"http://127\.0\.0\.1:(\d+)/metrics", err("recv")) or [None])[0])
        url = f"http://127.0.0.1:{port}/metrics"
        text = wait_for("kest-md-recv delivers quotes",
                        lambda: (lambda t: t if re.search(r"^kest_quotes_delivered_total\{[^}]*\} [1-9]", t, re.M)
                                 else None)(get(url)))
        card = subprocess.run([tool["kest-card-info"], "--prometheus"], env=env, capture_output=True, text=True)
        if card.returncode != 0:
            raise RuntimeError(f"kest-card-info --prometheus: {card.returncode} {card.stderr}")
        served = scrape_names(text)
        served.update(scrape_names(card.stdout))
        return served
    finally:
        for p in reversed(procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        subprocess.run([tool["kest-card-ctl"], "remove", "0"], env=env, capture_output=True)


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    dashboard, build, config = sys.argv[1], os.path.abspath(sys.argv[2]), os.path.abspath(sys.argv[3])
    with open(dashboard) as f:
        d = json.load(f)
    try:
        served = scrape(build, config)
    except RuntimeError as e:
        print(f"FAIL scraping the tools: {e}")
        sys.exit(1)
    print(f"{len(served)} metric names scraped from kest-md-recv and kest-card-info")
    failures = problems(d, served)
    queries = sum(len(p.get("targets", [])) for p in d.get("panels", []))
    print(f"{len(d.get('panels', []))} panels, {queries} queries")
    for f in failures:
        print("FAIL " + f)

    # The check must fail where the dashboard is broken.
    empty = copy.deepcopy(d)
    empty["panels"] = []
    broken_copies = [("a dashboard without panels", empty)]
    mistyped = copy.deepcopy(d)
    target = next((t for p in mistyped.get("panels", []) for t in p.get("targets", [])
                   if METRIC.search(t.get("expr", ""))), None)
    if target is not None:
        target["expr"] = target["expr"].replace("kest_", "kest_x", 1)
        broken_copies.append(("a mistyped metric name", mistyped))
    for what, broken in broken_copies:
        found = problems(broken, served)
        ok = bool(found)
        print(("ok   " if ok else "FAIL ") + f"the check fails on {what}: {found[:1]}")
        if not ok:
            failures.append(f"passes {what}")
    print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
