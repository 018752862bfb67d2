#!/usr/bin/env python3
"""The Grafana dashboard is JSON Grafana imports, it has panels, and every
metric and label its queries name is one the tools serve (a renamed metric
leaves an empty panel). prometheus_scrape.py runs it against its scrapes of
kest-md-recv and kest-card-info over the card model, and on two broken
copies of the dashboard, on which it must fail.
"""
import copy
import json
import re

METRIC = re.compile(r"\bkest_[a-z0-9_]+")
# Labels Prometheus adds to every series it scrapes.
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
    found = [f"no {key}" for key in ("title", "uid", "panels", "templating", "schemaVersion") if key not in d]
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
            found += [f"panel {p.get('title')}: {n} is served by no tool" for n in unknown]
            carried = ADDED_LABELS.union(*(served.get(n, set()) for n in names))
            used = set(re.findall(r"\b(?:by|without)\s*\(([^)]*)\)", expr))
            used = {label.strip() for group in used for label in group.split(",") if label.strip()}
            used |= set(re.findall(r"[{,]\s*([a-zA-Z_][a-zA-Z0-9_]*)\s*(?:=~|!~|!=|=)", expr))
            if not unknown:
                found += [f"panel {p.get('title')}: label {label} is on none of {names}"
                          for label in sorted(used - carried)]
    return found + [f"variable {v.get('name')}: {n} is served by no tool"
                    for v in d.get("templating", {}).get("list", [])
                    for n in METRIC.findall(v.get("definition", "")) if n not in served]


def verdicts(path, served):
    """(what, passed, details) for the dashboard at path against served, and
    for two broken copies of it (no panel, a metric name mistyped), on which
    the check must fail."""
    with open(path) as f:
        d = json.load(f)
    found = problems(d, served)
    queries = sum(len(p.get("targets", [])) for p in d.get("panels", []))
    out = [(f"the dashboard's {len(d.get('panels', []))} panels and {queries} queries name only what the tools "
            "serve", not found, found)]
    broken_copies = [("a dashboard without panels", dict(d, panels=[]))]
    mistyped = copy.deepcopy(d)
    target = next((t for p in mistyped.get("panels", []) for t in p.get("targets", [])
                   if METRIC.search(t.get("expr", ""))), None)
    if target is not None:
        target["expr"] = target["expr"].replace("kest_", "kest_x", 1)
        broken_copies.append(("a mistyped metric name", mistyped))
    for what, broken in broken_copies:
        found = problems(broken, served)
        out.append((f"the dashboard check fails on {what}", bool(found), found[:1]))
    return out
