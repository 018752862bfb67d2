#!/usr/bin/env python3
"""A Prometheus server scrapes a receiver and the card over the card model.

  prometheus_scrape.py BUILD_DIR CONFIG OPS_DIR

Starts the simulated card and exchange, kest-md-recv --metrics on channel 0
and kest-card-info --metrics, both on ports the system picks, then Debian's
prometheus (scraping both every second, with the alert rules of OPS_DIR
loaded). Checks, through Prometheus's query interface, that the quote
counter rises from scrape to scrape and that every rule group evaluates
without error; checks both expositions with `promtool check metrics`, and
that the model's ring counters and a busy port are reported, and that the
Grafana dashboard names only what the tools serve (dashboard_check.py). Stops
everything it started. Waits use deadlines; a deadline passed fails the
run, speed never does.
"""
import json
import os
import pathlib
import re
import socket
import sys
import tempfile
import urllib.parse
import urllib.request

import dashboard_check

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from kest_checks import check, output, run, stop_all, wait_for  # noqa: E402
import kest_checks  # noqa: E402

build, config, ops = (os.path.abspath(a) for a in sys.argv[1:4])
tool = {n: os.path.join(build, "tools", n, n) for n in ("kest-md-recv", "kest-card-sim", "kest-card-ctl", "kest-card-info")}
env = kest_checks.model_env(build, "ops.prometheus")
work = tempfile.mkdtemp(prefix="kest-prometheus.")


def start(name, args):
    return kest_checks.start(work, name, args, env=env)


def served_port(p):
    m = re.search(r"http://127\.0\.0\.1:(\d+)/metrics", output(p, "err"))
    return int(m.group(1)) if m else None


def get(url):
    with urllib.request.urlopen(url, timeout=5) as r:
        return r.read().decode()


def free_port():
    # Prometheus cannot say which port it took for port 0: one the system
    # just handed out, released again.
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def promtool_metrics(text, what):
    r = run("promtool", "check", "metrics", input=text)
    check(r.returncode == 0 and r.stdout.strip() == "" and r.stderr.strip() == "",
          f"promtool check metrics is clean on {what}: rc {r.returncode} {r.stdout.strip()} {r.stderr.strip()}")


def query(prom, expr):
    body = json.loads(get(f"http://127.0.0.1:{prom}/api/v1/query?" + urllib.parse.urlencode({"query": expr})))
    return body["data"]["result"] if body.get("status") == "success" else []


try:
    start("sim", [tool["kest-card-sim"], "--card", "0", "--shfe-size", "300", "--ine-size", "100", "--rate", "200",
                  "--stats", "0"])
    wait_for("the simulated card", lambda: run(tool["kest-card-ctl"], "list", env=env).stdout.startswith("0 "), 30)
    recv = start("recv", [tool["kest-md-recv"], config, "--quiet", "--seconds", "3600", "--metrics", ":0"])
    recv_port = wait_for("kest-md-recv names its metrics port", lambda: served_port(recv), 300)
    info = start("info", [tool["kest-card-info"], "--metrics", "127.0.0.1:0"])
    info_port = wait_for("kest-card-info names its metrics port", lambda: served_port(info), 300)
    if recv_port is None or info_port is None:
        raise SystemExit(1)

    # The port a receiver holds is refused to the next one, before it touches the card.
    r = run(tool["kest-md-recv"], config, "--metrics", f":{recv_port}", env=env, cwd=work, timeout=60)
    check(r.returncode == 1 and "port is in use" in r.stderr and "KEST_U50_VERSION" not in r.stdout,
          f"a second receiver on the same port stops at once: rc {r.returncode}: {r.stderr.strip()}")

    prom = free_port()
    pathlib.Path(work, "prometheus.yml").write_text(f"""global:
  scrape_interval: 1s
  evaluation_interval: 1s
rule_files:
  - {ops}/prometheus/kest-alerts.yml
scrape_configs:
  - job_name: kest-md-recv
    static_configs: [{{targets: ["127.0.0.1:{recv_port}"]}}]
  - job_name: kest-card-info
    static_configs: [{{targets: ["127.0.0.1:{info_port}"]}}]
""")
    start("prometheus", ["prometheus", f"--config.file={work}/prometheus.yml", f"--storage.tsdb.path={work}/tsdb",
                         f"--web.listen-address=127.0.0.1:{prom}"])

    def ready():
        try:
            return "Ready" in get(f"http://127.0.0.1:{prom}/-/ready")
        except OSError:
            return False

    wait_for("Prometheus is ready", ready, 300)
    wait_for("Prometheus scrapes both targets", lambda: len(query(prom, "up == 1")) == 2, 300)

    # The counter as Prometheus stored it, scrape after scrape.
    seen = []

    def rising():
        result = query(prom, 'sum(kest_quotes_delivered_total{job="kest-md-recv"})')
        if result:
            v = float(result[0]["value"][1])
            if not seen or v != seen[-1]:
                seen.append(v)
        return len(seen) >= 4
    wait_for("four different values of the quote counter", rising, 400)
    check(len(seen) >= 4 and all(b > a for a, b in zip(seen, seen[1:])) and seen[0] > 0,
          f"the quote counter Prometheus scraped rises: {seen}")
    buckets = query(prom, 'sum(kest_poll_to_delivery_latency_seconds_bucket{le="+Inf"})')
    check(bool(buckets) and float(buckets[0]["value"][1]) > 0, "the latency histogram holds the deliveries")
    packets = query(prom, "sum(rate(kest_card_multicast_packets_total[5s]))")
    check(bool(packets) and float(packets[0]["value"][1]) > 0, "the card's packet counters rise in Prometheus")

    def rules():
        groups = json.loads(get(f"http://127.0.0.1:{prom}/api/v1/rules"))["data"]["groups"]
        return [r for g in groups for r in g["rules"]]
    wait_for("every rule evaluated", lambda: all(r.get("health") == "ok" for r in rules()), 300)
    loaded = rules()
    bad = [(r["name"], r.get("lastError")) for r in loaded if r.get("health") != "ok"]
    check(len(loaded) >= 5 and not bad, f"Prometheus loaded {len(loaded)} rules and evaluates them: {bad}")
    firing = [a["labels"]["alertname"] for a in json.loads(get(f"http://127.0.0.1:{prom}/api/v1/alerts"))["data"]["alerts"]
              if a["state"] == "firing"]
    check("KestReceiverDown" not in firing and "KestQuoteGapsRising" not in firing,
          f"no receiver alert fires on a healthy run: {firing}")

    promtool_metrics(get(f"http://127.0.0.1:{recv_port}/metrics"), "kest-md-recv --metrics")
    # kest-card-info --metrics serves the text --prometheus prints.
    once = run(tool["kest-card-info"], "--prometheus", env=env)
    check(once.returncode == 0, f"kest-card-info --prometheus: rc {once.returncode} {once.stderr.strip()}")
    promtool_metrics(once.stdout, "kest-card-info --prometheus")
    check(re.search(r'^kest_card_ring_quotes_total\{card="0",channel="0"\} [1-9]', once.stdout, re.M) is not None,
          "the model's ring counters are in the card's metrics")
    # The dashboard against what both tools serve.
    served = dashboard_check.scrape_names(get(f"http://127.0.0.1:{recv_port}/metrics"))
    served.update(dashboard_check.scrape_names(once.stdout))
    for what, passed, details in dashboard_check.verdicts(os.path.join(ops, "grafana", "kest-dashboard.json"),
                                                           served):
        check(passed, f"{what}: {details}")
    missing = run(tool["kest-card-info"], "--prometheus", "--card", "7", env=env)
    check(missing.returncode == 1 and 'kest_card_up{card="7"} 0' in missing.stdout,
          "a card that is not there reads as kest_card_up 0, exit 1")
finally:
    stop_all()
    run(tool["kest-card-ctl"], "remove", "0", env=env)

m = re.search(r"channel 0: (\d+) quotes", output(recv))
check(m is not None and int(m.group(1)) >= seen[-1] if seen else False,
      "the receiver's own summary counts at least what Prometheus saw")
kest_checks.finish(work)
