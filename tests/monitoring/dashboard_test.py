#!/usr/bin/env python3
"""The Grafana dashboard against a live site: a real Prometheus scrapes the service (with the
simulator, a watched camera channel, a polled IO board, a door command and a streamer) as
OPERATING.md sets it up, and every query of every panel, and the site picker's, returns data.
A query that names a metric the service does not export fails, even where another part of the
query would still return something. Grafana's own variables are given the values Grafana would
give them for a short range.

Exit status 0: pass; 1: fail; 77: Prometheus is not installed (skipped)."""

import json
import re
import sys
import time

import monitoringsite as m

SELECTOR = re.compile(r"([a-zA-Z_:][a-zA-Z0-9_:]*)\s*\{")
SITE_MATCHER = 'instance="$instance"'
# What Grafana puts in for its own variables, for a range of about a minute scraped every second.
GRAFANA_VARIABLES = {"$__rate_interval": "5s", "$__interval": "1s", "$__range": "1m"}


def panels(dashboard):
    for panel in dashboard["panels"]:
        if panel["type"] == "row":
            yield from panel.get("panels", [])
        else:
            yield panel


def problems_of(panel, exported):
    """What is wrong with a panel's queries before any is run: a metric the service does not
    export, a selector that does not follow the site picker, no query at all."""
    found = []
    targets = panel.get("targets", [])
    if not targets:
        found.append("no query")
    for target in targets:
        expr = target.get("expr", "")
        names = SELECTOR.findall(expr)
        unknown = [name for name in names if name not in exported]
        if unknown:
            found.append("%s: not exported: %s" % (expr, ", ".join(unknown)))
        if not names or expr.count("{") != expr.count(SITE_MATCHER):
            found.append("%s: every selector must carry %s" % (expr, SITE_MATCHER))
        if target.get("datasource", {}).get("uid") != "${datasource}":
            found.append("%s: not on the dashboard's data source" % expr)
    return found


def concrete(expr, instance):
    for variable, value in GRAFANA_VARIABLES.items():
        expr = expr.replace(variable, value)
    return expr.replace("$instance", instance)


def main():
    parser = m.browsersite.argument_parser()
    parser.add_argument("--dashboard", default=m.DASHBOARD)
    args = parser.parse_args()
    if m.missing("prometheus"):
        return m.SKIP
    with open(args.dashboard) as f:
        dashboard = json.load(f)

    site = m.LiveSite(args.service, args.simulator, "dashboard")
    monitoring = m.Monitoring(site.work, site)

    def check():
        began = time.monotonic()
        site.wait_configured()
        site.watch_camera(1)
        site.watch_board()
        answer = site.door_command()
        assert answer.startswith("DONE"), "the door command: %r" % answer
        monitoring.start()
        monitoring.wait_scraped()

        # `up` is Prometheus' own; everything else must be in the service's /metrics.
        exported = set(re.findall(r"^# TYPE (\S+) ", site.metrics(), re.M)) | {"up"}
        assert problems_of({"targets": [{"expr": 'veltra_no_such_total{%s}' % SITE_MATCHER,
                                         "datasource": {"uid": "${datasource}"}}]}, exported), \
            "a metric the service does not export went unnoticed"
        variables = {v["name"]: v for v in dashboard["templating"]["list"]}
        assert variables["instance"]["type"] == "query" and \
            variables["datasource"]["query"] == "prometheus", repr(variables)
        picker = variables["instance"]["definition"]
        match = re.fullmatch(r"label_values\((\w+), instance\)", picker)
        assert match and match.group(1) in exported, picker

        static = {panel["title"]: problems_of(panel, exported) for panel in panels(dashboard)}
        static = {title: found for title, found in static.items() if found}
        assert not static, "panels with wrong queries: %s" % json.dumps(static, indent=1)

        sites = m.wait_for("the site picker to list the site", lambda: site.target in
                           monitoring.api("label/instance/values",
                                          **{"match[]": match.group(1)}), 20)
        assert sites
        queries = [(panel["title"], concrete(target["expr"], site.target))
                   for panel in panels(dashboard) for target in panel["targets"]]
        empty = queries
        deadline = time.monotonic() + 30
        while empty and time.monotonic() < deadline:
            empty = [(title, expr) for title, expr in empty if not monitoring.query(expr)]
            if empty:
                time.sleep(1)
        assert not empty, "queries without data: %s" % json.dumps(empty, indent=1)
        assert site.viewed_pictures > 0
        print("%d panels, %d queries, all with data, %.1f s"
              % (len(list(panels(dashboard))), len(queries), time.monotonic() - began))

    return site.checked(check)


if __name__ == "__main__":
    sys.exit(main())
