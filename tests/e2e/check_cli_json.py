#!/usr/bin/env python3
"""The demo console program's JSON, read by Python's json, against its tab-separated text, field
by field; Ctrl+C during a scan that hangs on a weak sector; its Prometheus metrics against promtool,
the Python client's parser and the JSON, then served by a node exporter to a Prometheus server.

Usage: check_cli_json.py OstrevaneCliDemo.exe WINE_RUN_SCRIPT
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

from prometheus_client.parser import text_string_to_metric_families

FIGURES = {"Drive", "Size (GB)", "Temp", "Power(h)", "Cycles", "ID", "Current", "Worst", "Threshold", "Raw", "#",
           "Start (GB)", "Start (bytes)", "Capacity (GB)", "Free (GB)", "LBA", "Sectors", "Partition", "Offset"}
problems = []


def check(condition, what):
    if not condition:
        problems.append(what)


def run(*arguments, crlf=True):
    # Into a file, not a pipe: Wine's services, which a program may start, keep what it inherits
    # open until they end, and a pipe would not close before.
    with tempfile.TemporaryFile() as out:
        done = subprocess.run([WINE_RUN, EXE, *arguments], stdin=subprocess.DEVNULL, stdout=out,
                              stderr=subprocess.DEVNULL, timeout=300)
        out.seek(0)
        data = out.read()
    if not crlf:
        return data, done.returncode
    # UTF-8 (a strict decode) with every line ended by CR LF.
    text = data.decode("utf-8")
    check(text.count("\n") == text.count("\r\n") and text.endswith("\r\n"), "%s: not CR LF lines" % (arguments,))
    return text, done.returncode


def same(value, cell, title, where):
    """A JSON value against the cell the text gives: null for "-", figures as numbers."""
    if cell == "-":
        expected = None
    elif title in FIGURES:
        expected = float(cell.removesuffix(" C"))
        check(isinstance(value, (int, float)), "%s %s: %r is no number" % (where, title, value))
    else:
        expected = cell
    check(value == expected, "%s %s: JSON %r, text %r" % (where, title, value, cell))


def table(lines, objects, where):
    """Rows of a tab-separated table (header first) against a JSON array of objects."""
    titles = lines[0].split("\t") if lines else []
    check(len(objects) == max(len(lines) - 1, 0), "%s: %d rows in JSON, %d in the text" % (where, len(objects), len(lines) - 1))
    for row, obj in zip(lines[1:], objects):
        check(list(obj) == titles, "%s: keys %s, titles %s" % (where, list(obj), titles))
        for title, cell in zip(titles, row.split("\t")):
            same(obj.get(title), cell, title, where)


def check_list():
    text, status = run("list")
    data, json_status = run("list", "--json")
    check(status == json_status == 24, "list: exit %d and %d" % (status, json_status))
    table(text.splitlines(), json.loads(data), "list")


def check_details(drive):
    text, _ = run("details", str(drive))
    obj = json.loads(run("details", str(drive), "--json")[0])
    # Heading and assessment, the table (after its note), the drive's logs (a section each, under
    # its title) and the partitions, each block after a blank line.
    heading, smart, *logs, partitions = [block.split("\r\n") for block in text.rstrip("\r\n").split("\r\n\r\n")]
    where = "details %d" % drive
    reasons = [line.split("\t", 1)[1] for line in heading if line.startswith("Reason\t")]
    check(obj["Reasons"] == reasons, "%s: reasons %s, text %s" % (where, obj["Reasons"], reasons))
    for label, value in (line.split("\t", 1) for line in heading if not line.startswith("Reason\t")):
        same(obj.get(label), value, label, where)
    note = smart[0] if smart and "\t" not in smart[0] else None
    check(obj["Note"] == note, "%s: note %r, text %r" % (where, obj["Note"], note))
    table(smart[1:] if note else smart, obj["SMART"], where + " SMART")
    check([section[0] for section in logs] == ["Self-tests", "Errors", "Statistics"], "%s: logs %r" % (where, logs))
    for title, *lines in logs:
        check(obj[title] == [line.split("\t") for line in lines], "%s: %s %r, text %r" % (where, title, obj[title], lines))
    check(["Partitions", obj["Partitions"]] == partitions[0].split("\t"), "%s: partitions %r" % (where, partitions[0]))
    table(partitions[1:], obj["Partition Table"], where + " partitions")
    return obj


def check_files():
    """The files on the failing drive's logged LBAs and its last range, as text and as JSON."""
    arguments = ("files", "1", "61000013", "204799999", "350000123", "976773120+48")
    text, status = run(*arguments)
    obj = json.loads(run(*arguments, "--json")[0])
    check(status == 8, "files: exit %d, expected 8 (the drive is failing)" % status)
    check(obj["Drive"] == 1 and obj["Result"] == "Finished" and obj["Notes"] == [], "files: %r" % obj)
    table(text.splitlines(), obj["Files"], "files")
    check(len(obj["Files"]) == 4 and obj["Files"][0]["File"] == "\\Thesis final.docx", "files: %r" % obj["Files"])


def check_stop():
    """Ctrl+C while a read hangs on a weak sector stops the scan as Stop does."""
    environment = dict(os.environ, OSTREVANE_DEMO_HANG="0:1000000")
    with tempfile.TemporaryFile() as out, tempfile.NamedTemporaryFile() as err:
        # Wine turns SIGINT into the console's Ctrl+C; the program must be the signalled process.
        wine = subprocess.Popen(["bash", "-c", 'source "$1"; shift; exec wine "$@"', "wine", WINE_ENV, EXE, "scan", "0"],
                                stdin=subprocess.DEVNULL, stdout=out, stderr=err, env=environment)
        deadline = time.monotonic() + 60
        while not Path(err.name).read_bytes().startswith(b"Scanned ") and time.monotonic() < deadline:
            time.sleep(0.1)
        time.sleep(1)
        wine.send_signal(signal.SIGINT)
        wine.wait(timeout=60)
        out.seek(0)
        text = out.read().decode("utf-8")
        progress = Path(err.name).read_text()
    check(wine.returncode == 8, "scan stopped: exit %d, expected 8 (the drive is failing, nothing unreadable)" % wine.returncode)
    check("Result\tStopped\r\n" in text, "scan stopped: no Stopped result in %r" % text[:400])
    lines = progress.splitlines()
    check(lines[0].startswith("Scanned ") and lines[-1].startswith("Stopped   Scanned "), "scan stopped: progress %r" % progress[-300:])
    scanned = int(text.split("Scanned\t")[1].split(" ")[0]) if "Scanned\t" in text else -1
    check(0 < scanned < 1_000_000 * 512, "scan stopped: %d bytes scanned, not up to the weak sector" % scanned)


def parse(data):
    """The samples by name and labels, after the format's rules."""
    check(not data.startswith(b"\xef\xbb\xbf") and data.endswith(b"\n") and b"\r" not in data, "not LF lines, or a BOM")
    lint = subprocess.run(["promtool", "check", "metrics"], input=data, capture_output=True)
    check(lint.returncode == 0, "promtool check metrics: %d %s" % (lint.returncode, lint.stderr.decode()))
    text = data.decode("utf-8")
    samples = {}
    for family in text_string_to_metric_families(text):
        check(family.type == "gauge" and "# HELP %s %s\n" % (family.name, family.documentation) in text, family.name)
        for sample in family.samples:
            key = (sample.name, frozenset(sample.labels.items()))
            check(key not in samples and sample.timestamp is None, "twice or with a timestamp: %s" % (key,))
            samples[key] = sample.value
    return samples


def check_values(samples, drives, details):
    for drive, obj in zip(drives, details):
        def value(name, **labels):
            labels = {("drive", str(drive["Drive"])), *labels.items()}
            found = [v for (n, pairs), v in samples.items() if n == name and pairs >= labels]
            check(len(found) <= 1, "%s %s: %s" % (name, labels, found))
            return found[0] if found else None

        where = "drive %d" % drive["Drive"]
        identity = dict(serial=drive["Serial Number"], model=drive["Model"], firmware=drive["Firmware"])
        check(value("ostrevane_drive_info", bus=drive["Bus"], source=drive["Source"], **identity) == 1, where)
        check(round(value("ostrevane_drive_capacity_bytes") / 2 ** 30, 1) == drive["Size (GB)"], where + " size")
        check(value("ostrevane_drive_temperature_celsius") == drive["Temp"], where + " temperature")
        check(value("ostrevane_drive_power_on_seconds") == (drive["Power(h)"] and drive["Power(h)"] * 3600), where + " h")
        check(value("ostrevane_drive_power_cycles") == drive["Cycles"], where + " cycles")
        states = {s: value("ostrevane_drive_assessment", state=s) for s in ("good", "caution", "failing", "unknown")}
        check(states == {s: float(s == drive["Assessment"].lower()) for s in states}, "%s: %s" % (where, states))
        predicted = "The drive predicts its own failure" in obj["Reasons"]
        check(value("ostrevane_drive_failure_predicted") in (predicted, None), where + " prediction")
        for row in (row for row in obj["SMART"] if "ID" in row):
            check(value("ostrevane_ata_attribute_raw", id=str(row["ID"])) == row["Raw"], "%s %s" % (where, row))
        errors = [float(line[1]) for line in obj["Errors"] if line[0] == "Error Count"]
        check(value("ostrevane_drive_logged_errors") == (errors or [None])[0], where + " errors")


def query(port, expression):
    url = "http://127.0.0.1:%d/api/v1/query?%s" % (port, urllib.parse.urlencode({"query": expression}))
    with urllib.request.build_opener(urllib.request.ProxyHandler({})).open(url, timeout=10) as answer:
        return json.load(answer)["data"]["result"]


def check_served(data, failing, work):
    (work / "textfile").mkdir()
    (work / "textfile" / "ostrevane.prom").write_bytes(data)
    sockets = [socket.create_server(("127.0.0.1", 0)) for _ in range(2)]
    node, server = [s.getsockname()[1] for s in sockets]
    for s in sockets:
        s.close()
    (work / "prometheus.yml").write_text("global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: node\n"
                                         "    static_configs:\n      - targets: ['127.0.0.1:%d']\n" % node)
    log = open(work / "servers.log", "wb")
    processes = [subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log) for command in (
        ["prometheus-node-exporter", "--web.listen-address=127.0.0.1:%d" % node, "--collector.disable-defaults",
         "--collector.textfile", "--collector.textfile.directory=%s" % (work / "textfile")],
        ["prometheus", "--config.file=%s" % (work / "prometheus.yml"), "--storage.tsdb.path=%s" % (work / "data"),
         "--web.listen-address=127.0.0.1:%d" % server])]
    try:
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
        # The README's dashboard query: the failing drives with their models.
        models = query(server, '(ostrevane_drive_assessment{state="failing"} == 1) '
                               '* on(instance, drive, serial) group_left(model) ostrevane_drive_info')
        check(len(models) == len(failing) and all(r["metric"].get("model") for r in models), "models: %s" % models)
    finally:
        # By their ids, as the real-device rig ends its servers: asked first, killed after 10 s.
        for process in processes:
            os.kill(process.pid, signal.SIGTERM)
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.kill(process.pid, signal.SIGKILL)
                process.wait()
        log.close()


EXE, WINE_RUN = sys.argv[1], sys.argv[2]
WINE_ENV = str(Path(WINE_RUN).with_name("wine-env.sh"))
check_list()
verdicts = [check_details(drive)["Assessment"] for drive in range(8)]
check(verdicts == ["Failing", "Failing", "Good", "Good", "Caution", "Good", "Caution", "Caution"], "verdicts %s" % verdicts)
check_files()
check_stop()
metrics, status = run("list", "--prom", crlf=False)
check(status == 24, "list --prom: exit %d" % status)
drives = json.loads(run("list", "--json")[0])
check_values(parse(metrics), drives, json.loads(run("details", "all", "--json")[0]))
with tempfile.TemporaryDirectory() as work:
    check_served(metrics, sorted(str(d["Drive"]) for d in drives if d["Assessment"] == "Failing"), Path(work))
for problem in problems:
    print("FAIL " + problem)
print("%d problems" % len(problems))
sys.exit(1 if problems else 0)
