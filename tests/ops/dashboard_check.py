#!/usr/bin/env python3
"""The Grafana dashboard is JSON Grafana imports, and every metric its queries
name is one the tools serve (a renamed metric leaves an empty panel).

  dashboard_check.py DASHBOARD TOOLS_SOURCE_DIR
"""
import json
import pathlib
import re
import sys

dashboard, tools = sys.argv[1], pathlib.Path(sys.argv[2])
served = set()
for source in tools.rglob("*.cpp"):
    served.update(re.findall(r'"(kest_[a-z0-9_]+)"', source.read_text()))
failures = []
d = json.load(open(dashboard))
for key in ("title", "uid", "panels", "templating", "schemaVersion"):
    if key not in d:
        failures.append(f"no {key}")
ids = [p.get("id") for p in d.get("panels", [])]
if len(set(ids)) != len(ids):
    failures.append("panel ids repeat")
queries = 0
for p in d.get("panels", []):
    if p.get("type") != "row" and not p.get("targets"):
        failures.append(f"panel {p.get('title')} has no query")
    for t in p.get("targets", []):
        queries += 1
        for name in re.findall(r"\bkest_[a-z0-9_]+", t["expr"]):
            base = re.sub(r"_(bucket|sum|count)$", "", name)
            if name not in served and base not in served:
                failures.append(f"panel {p['title']}: {name} is served by no tool")
for v in d["templating"]["list"]:
    for name in re.findall(r"\bkest_[a-z0-9_]+", v.get("definition", "")):
        if name not in served:
            failures.append(f"variable {v['name']}: {name} is served by no tool")
print(f"{len(d.get('panels', []))} panels, {queries} queries, {len(served)} metric names served")
for f in failures:
    print("FAIL " + f)
print(f"{1 if not failures else 0} passed, {1 if failures else 0} failed")
sys.exit(1 if failures else 0)
