#!/usr/bin/python3
"""The demo console program's `list --prom` against Prometheus' own tools: promtool's linter, the
Python client's parser, and the values of `list --json` and `details all --json`; then served by
a real node exporter's textfile collector and scraped by a real Prometheus server, whose HTTP API
must name exactly the demo's failing drives.

Usage: check_cli_prom.py OstrevaneCliDemo.exe WINE_RUN_SCRIPT
"""
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request
from pathlib import Path

from demo_cli import check, problems, run_bytes
from prometheus_client.parser import text_string_to_metric_families

STATES = ("good", "caution", "failing", "unknown")


def parse(data):
    """The samples by name and labels, each once, after the checks of the format's rules."""
    check(not data.startswith(b"\xef\xbb\xbf") and data.endswith(b"\n") and b"\r" not in data, "not LF lines, or a BOM")
    lint = subprocess.run(["promtool", "check", "metrics"], input=data, capture_output=True)
    check(lint.returncode == 0, "promtool check metrics: %d %s" % (lint.returncode, lint.stderr.decode()))
    lines = data.decode("utf-8").splitlines()
    samples = {}
    for family in text_string_to_metric_families(data.decode("utf-8")):
        check(family.name.startswith("ostrevane_") and family.type == "gauge" and family.documentation, family.name)
        check("# HELP %s %s" % (family.name, family.documentation) in lines, "%s: no HELP line" % family.name)
        for sample in family.samples:
            key = (sample.name, tuple(sorted(sample.labels.items())))
            check(key not in samples and sample.timestamp is None, "twice or with a timestamp: %s" % (key,))
            samples[key] = sample.value
    return samples


def check_values(samples, drives, details):
    def value(name, of, **labels):
        found = [v for (n, pairs), v in samples.items()
                 if n == name and dict(pairs).items() >= dict(drive=str(of["Drive"]), **labels).items()]
        check(len(found) <= 1, "%s of drive %s: %s" % (name, of["Drive"], found))
        return found[0] if found else None

    for drive, obj in zip(drives, details):
        where = "drive %d" % drive["Drive"]
        identity = {"serial": drive["Serial Number"], "model": drive["Model"],
                    "firmware": drive["Firmware"], "bus": drive["Bus"], "source": drive["Source"]}
        check(value("ostrevane_drive_info", drive, **identity) == 1, "%s: no info %s" % (where, identity))
        check(round(value("ostrevane_drive_capacity_bytes", drive) / 2 ** 30, 1) == drive["Size (GB)"], where + " size")
        check(value("ostrevane_drive_temperature_celsius", drive) == drive["Temp"], where + " temperature")
        seconds = value("ostrevane_drive_power_on_seconds", drive)
        check((seconds and seconds / 3600) == drive["Power(h)"], "%s: %s s, %s h" % (where, seconds, drive["Power(h)"]))
        check(value("ostrevane_drive_power_cycles", drive) == drive["Cycles"], where + " cycles")
        states = [value("ostrevane_drive_assessment", drive, state=state) for state in STATES]
        check(states == [float(state == drive["Assessment"].lower()) for state in STATES], "%s: %s" % (where, states))
        predicted = "The drive predicts its own failure" in obj["Reasons"]
        check(value("ostrevane_drive_failure_predicted", drive) in (predicted, None), where + " prediction")
        for row in obj["SMART"]:
            if "ID" in row:
                check(value("ostrevane_ata_attribute_raw", drive, id=str(row["ID"])) == row["Raw"], "%s %s" % (where, row))
        errors = [line[1] for line in obj["Errors"] if line[0] == "Error Count"]
        check(value("ostrevane_drive_logged_errors", drive) == (float(errors[0]) if errors else None), where + " errors")


def free_ports(count):
    sockets = [socket.create_server(("127.0.0.1", 0)) for _ in range(count)]
    ports = [s.getsockname()[1] for s in sockets]
    for s in sockets:
        s.close()
    return ports


def end(process):
    """By its id, as the real-device rig ends its servers: asked first, killed after 10 s."""
    os.kill(process.pid, signal.SIGTERM)
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        os.kill(process.pid, signal.SIGKILL)
        process.wait()


def query(port, expression):
    url = "http://127.0.0.1:%d/api/v1/query?%s" % (port, urllib.parse.urlencode({"query": expression}))
    with urllib.request.build_opener(urllib.request.ProxyHandler({})).open(url, timeout=10) as answer:
        return json.load(answer)["data"]["result"]


def check_served(data, failing):
    with tempfile.TemporaryDirectory() as work:
        work = Path(work)
        (work / "textfile").mkdir()
        (work / "textfile" / "ostrevane.prom").write_bytes(data)
        node, server = free_ports(2)
        (work / "prometheus.yml").write_text("global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: node\n"
                                             "    static_configs:\n      - targets: ['127.0.0.1:%d']\n" % node)
        commands = [["prometheus-node-exporter", "--web.listen-address=127.0.0.1:%d" % node, "--collector.disable-defaults",
                     "--collector.textfile", "--collector.textfile.directory=%s" % (work / "textfile")],
                    ["prometheus", "--config.file=%s" % (work / "prometheus.yml"), "--storage.tsdb.path=%s" % (work / "data"),
                     "--web.listen-address=127.0.0.1:%d" % server]]
        processes = []
        try:
            with open(work / "servers.log", "wb") as log:
                for command in commands:
                    processes.append(subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log))
                found, deadline = [], time.monotonic() + 90
                while not found and time.monotonic() < deadline:
                    time.sleep(1)
                    try:
                        found = query(server, 'ostrevane_drive_assessment{state="failing"} == 1')
                    except OSError:
                        pass
                check(sorted(r["metric"]["drive"] for r in found) == failing, "failing drives served: %s" % found)
                errors = query(server, "node_textfile_scrape_error")
                check([r["value"][1] for r in errors] == ["0"], "node_textfile_scrape_error: %s" % errors)
                # The README's query for a dashboard: the failing drives by their models.
                models = query(server, '(ostrevane_drive_assessment{state="failing"} == 1) '
                                       '* on(instance, drive, serial) group_left(model) ostrevane_drive_info')
                check(len(models) == len(failing) and all(r["metric"].get("model") for r in models), "models: %s" % models)
        finally:
            for process in processes:
                end(process)
        if problems:
            print((work / "servers.log").read_text()[-3000:])


EXE, WINE_RUN = sys.argv[1], sys.argv[2]
data, status = run_bytes(WINE_RUN, EXE, "list", "--prom")
listed, json_status = run_bytes(WINE_RUN, EXE, "list", "--json")
check(status == json_status == 24, "exit %d, with --json %d" % (status, json_status))
drives = json.loads(listed)
samples = parse(data)
check_values(samples, drives, json.loads(run_bytes(WINE_RUN, EXE, "details", "all", "--json")[0]))
check_served(data, sorted(str(d["Drive"]) for d in drives if d["Assessment"] == "Failing"))
for problem in problems:
    print("FAIL " + problem)
print("%d problems" % len(problems))
sys.exit(1 if problems else 0)
