#!/usr/bin/env python3
"""The alert rules as shipped: `promtool check rules`, their unit tests (`promtool test rules`),
and what every alert owes the person it wakes: a severity, a summary naming the site and the
camera, board or streamer, a runbook section of OPERATING.md that exists, and unit tests in which
it fires and in which it stays quiet.

Exit status 0: pass; 1: fail; 77: promtool is not installed (skipped)."""

import os
import re
import shutil
import subprocess
import sys

import yaml

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
RULES = os.path.join(SOURCE, "packaging", "prometheus", "veltra-alerts.yml")
TESTS = os.path.join(HERE, "veltra-alerts.test.yml")
GUIDE = os.path.join(SOURCE, "packaging", "OPERATING.md")

# The labels that name the camera, board or streamer an alert is about.
OBJECT_LABELS = {"dvr", "stream", "channel", "io", "name", "port"}


def anchors(markdown):
    """GitHub's anchors of the headings of a Markdown file."""
    found = set()
    for line in markdown.splitlines():
        match = re.match(r"^#+\s+(.*?)\s*$", line)
        if match:
            text = re.sub(r"[^\w\- ]", "", match.group(1).lower())
            found.add(text.replace(" ", "-"))
    return found


def problems(rules, tests, guide_anchors):
    found = []
    quiet, firing, carried = set(), set(), {}
    for test in tests["tests"]:
        for case in test.get("alert_rule_test", []):
            (firing if case.get("exp_alerts") else quiet).add(case["alertname"])
            for alert in case.get("exp_alerts") or []:
                carried.setdefault(case["alertname"], set()).update(alert["exp_labels"])
    alerts = [rule for group in rules["groups"] for rule in group["rules"] if "alert" in rule]
    for rule in alerts:
        name = rule["alert"]
        labels, notes = rule.get("labels", {}), rule.get("annotations", {})
        summary = notes.get("summary", "")
        if labels.get("severity") not in ("critical", "warning"):
            found.append("%s: severity is not critical or warning" % name)
        if "$labels.instance" not in summary:
            found.append("%s: the summary does not name the site" % name)
        found += ["%s: the summary does not name %s" % (name, label)
                  for label in sorted(carried.get(name, set()) & OBJECT_LABELS)
                  if "$labels.%s" % label not in summary]
        runbook = notes.get("runbook", "")
        match = re.fullmatch(r"packaging/OPERATING\.md#([\w-]+)", runbook)
        if not match or match.group(1) not in guide_anchors:
            found.append("%s: runbook %r is no section of OPERATING.md" % (name, runbook))
        if name not in firing:
            found.append("%s: no unit test in which it fires" % name)
        # Beside it the sites and objects that must not fire, or a time when it must not yet.
        if name not in quiet:
            found.append("%s: no unit test case in which it stays quiet" % name)
    return found, len(alerts)


def run(command):
    result = subprocess.run(command, cwd=HERE, capture_output=True, text=True, timeout=120)
    print(result.stdout + result.stderr)
    return result.returncode == 0


def main():
    promtool = shutil.which("promtool")
    if not promtool:
        print("SKIP: promtool not installed (tools/install-deps.sh with WITH_CHECKS=1)")
        return 77
    ok = run([promtool, "check", "rules", RULES]) and run([promtool, "test", "rules", TESTS])
    with open(RULES) as f:
        rules = yaml.safe_load(f)
    with open(TESTS) as f:
        tests = yaml.safe_load(f)
    with open(GUIDE) as f:
        guide_anchors = anchors(f.read())
    found, count = problems(rules, tests, guide_anchors)
    # The checks themselves must be able to fail.
    bare = {"groups": [{"rules": [{"alert": "X", "expr": "veltra_streamer_up == 0",
                                   "annotations": {"summary": "down"}}]}]}
    fires = {"tests": [{"alert_rule_test": [{"alertname": "X", "exp_alerts": [
        {"exp_labels": {"instance": "a", "port": "1"}}]}]}]}
    assert len(problems(bare, fires, guide_anchors)[0]) == 5
    for problem in found:
        print("FAIL:", problem)
    if not ok or found:
        return 1
    print("%d alerts: checked, unit-tested, each with a severity, a summary naming the site and "
          "what failed, and a runbook section" % count)
    return 0


if __name__ == "__main__":
    sys.exit(main())
