# SPDX-License-Identifier: MIT
"""A consumer's CI gate end to end: the model consumer run sound, then
again beside that run as its baseline, then regressed (it drops), with
requirements; its JUnit report read back by a JUnit reader. And a flood
that fails misses its requirements as an error, not a failure.

Usage: junit_test.py HARNESS MODEL_CONSUMER
Exit status 77 (skipped) without junitparser, or where the harness cannot
run at all (under qemu-user it cannot become a child subreaper).
"""
import json
import os
import socket
import subprocess
import sys
import tempfile

try:
    from junitparser import Error, JUnitXml, Properties, Property
except ImportError:
    print("needs python3-junitparser")
    sys.exit(77)

harness, model = sys.argv[1], sys.argv[2]
failures = []


def check(what, ok, *context):
    if not ok:
        failures.append(what + "".join("\n  " + str(c) for c in context))


def cases_in(report):
    if not os.path.exists(report):
        return []
    return [case for suite in JUnitXml.fromfile(report) for case in suite]


def run(args, regress=None):
    env = dict(os.environ)
    env.pop("MODEL_REGRESS", None)
    if regress:
        env["MODEL_REGRESS"] = regress
    return subprocess.run([harness, "--no-progress", *args], capture_output=True, text=True,
                          env=env, timeout=60)


if "subreaper" in run(["-s", "0.1", "true"]).stderr:
    print("the harness cannot become a child subreaper here")
    sys.exit(77)

# A UDP port nobody holds, on IPv4 and IPv6 loopback alike.
with socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as s:
    s.bind(("::", 0))
    port = s.getsockname()[1]
consumer = f"{model} regresses {port}"
# Paced at a quarter of what the sound consumer reads at the least, so it
# drops nothing however busy the machine; regressed, it reads a fifth of it.
# Its grace lets it read what its socket still holds: ended with datagrams
# queued, its row would be unsure of its drops and misses, and miss more.
flood = ["-s", "1", "-g", "3", "-r", "5M", "-u", str(port),
         "--require", "dropped == 0", "--require", "missed == 0", consumer]

with tempfile.TemporaryDirectory() as scratch:
    baseline, report = os.path.join(scratch, "baseline.json"), os.path.join(scratch, "report.xml")

    sound = run(["--json", *flood])
    check("the sound run meets its requirements: exit 0", sound.returncode == 0, sound.stdout,
          sound.stderr)
    with open(baseline, "w") as f:
        f.write(sound.stdout)
    row = json.loads(sound.stdout) if sound.stdout else {}
    check("the sound run's verdicts", row.get("requirements") == [
        {"expr": "dropped == 0", "value": 0, "met": True},
        {"expr": "missed == 0", "value": 0, "met": True}], row)

    again = run(["--json", "--baseline", baseline, *flood])
    row = json.loads(again.stdout) if again.stdout else {}
    check("its repeat is no worse than the baseline: exit 0", again.returncode == 0, again.stdout,
          again.stderr)
    check("its repeat is not new", row.get("new") is False, row)
    exprs = [v["expr"] for v in row.get("requirements", [])]
    check("the repeat is held to the baseline's drops and rate",
          "dropped <= 0" in exprs and any(e.startswith("rate >= ") for e in exprs), exprs)

    regressed = run(["--baseline", baseline, "--junit", report, *flood], regress="drops")
    check("the regressed run misses a requirement: exit 3", regressed.returncode == 3,
          regressed.stdout, regressed.stderr)
    cases = cases_in(report)
    check("one test case, named after the command", [c.name for c in cases] == [consumer],
          [c.name for c in cases], regressed.stderr)
    if cases:
        case = cases[0]
        # Properties of a test case, as pytest writes them too.
        props = {p.name: p.value for p in case.child(Properties).iterchildren(Property)}
        dropped = props.get("dropped", "")
        check("its figures are properties", dropped.isdigit() and int(dropped) > 0 and
              props.get("datagrams_sent", "").isdigit(), props)
        results = [(type(r).__name__, r.message) for r in case.result]
        check("a failure for the requirement missed, with its value, and for the change from "
              "the baseline, with both values",
              ("Failure", f"dropped == 0: {dropped}") in results and
              ("Failure", f"dropped <= 0: {dropped}, baseline 0") in results, results)
        check("no failure for what it met", not any(m.startswith("missed") for _, m in results),
              results)
        check("each missed requirement said on standard error",
              f"missed dropped == 0: {dropped}\n" in regressed.stderr and
              f"missed dropped <= 0: {dropped} (baseline 0)\n" in regressed.stderr,
              regressed.stderr)
        check("and in the table", f"| ✗ dropped == 0: {dropped}; ✓ missed == 0; ✗ dropped &lt;= "
              f"0: {dropped} (baseline 0); ✓ " in regressed.stdout, regressed.stdout)

    # tsflood gives nothing: the flood failed, exit 1, and its requirement
    # is missed as an error of the instrument.
    failed = run(["-t", "/bin/true", "--junit", report, "--require", "rate > 0", "cat >/dev/null"])
    check("a failed flood: exit 1", failed.returncode == 1, failed.stderr)
    check("its requirement is missed, not judged",
          "missed rate > 0: not judged, its flood failed" in failed.stderr, failed.stderr)
    results = [(type(r), r.type) for c in cases_in(report) for r in c.result]
    check("an error, not a failure", results == [(Error, "flood")], results)

for failure in failures:
    print("FAILED: " + failure)
sys.exit(1 if failures else 0)
