#!/usr/bin/env python3
"""The demo console program's JSON, read by Python's json, against its tab-separated text, field
by field; and Ctrl+C during a scan that hangs on a weak sector.

Usage: check_cli_json.py OstrevaneCliDemo.exe WINE_RUN_SCRIPT
"""
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

FIGURES = {"Drive", "Size (GB)", "Temp", "Power(h)", "Cycles", "ID", "Current", "Worst", "Threshold", "Raw", "#",
           "Start (GB)", "Start (bytes)", "Capacity (GB)", "Free (GB)", "LBA", "Sectors", "Partition", "Offset"}
problems = []


def check(condition, what):
    if not condition:
        problems.append(what)


def run(*arguments):
    # Into a file, not a pipe: Wine's services, which a program may start, keep what it inherits
    # open until they end, and a pipe would not close before.
    with tempfile.TemporaryFile() as out:
        done = subprocess.run([WINE_RUN, EXE, *arguments], stdin=subprocess.DEVNULL, stdout=out,
                              stderr=subprocess.DEVNULL, timeout=300)
        out.seek(0)
        # UTF-8 (a strict decode) with every line ended by CR LF.
        text = out.read().decode("utf-8")
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


EXE, WINE_RUN = sys.argv[1], sys.argv[2]
WINE_ENV = str(Path(WINE_RUN).with_name("wine-env.sh"))
check_list()
verdicts = [check_details(drive)["Assessment"] for drive in range(8)]
check(verdicts == ["Failing", "Failing", "Good", "Good", "Caution", "Good", "Caution", "Caution"], "verdicts %s" % verdicts)
check_files()
check_stop()
for problem in problems:
    print("FAIL " + problem)
print("%d problems" % len(problems))
sys.exit(1 if problems else 0)
