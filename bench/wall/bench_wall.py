#!/usr/bin/env python3
"""The camera wall at 64 channels, against the real service and the site simulator over TLS.

Two rounds of --seconds (30 s) each, on the same service:
  HTTP/1.1  64 plain HTTP/1.1 viewers (curl, one TLS connection each), one per channel, each
            asking for the stream the wall's tile of that channel asks for (its width= and,
            for a tile out of sight, fps=), so that both rounds cost the relay the same scaling;
  wall      headless Chromium showing /cameras: 64 tiles, every stream over one HTTP/2
            connection.
Each round prints the service's CPU (share of one core) and its CPU per delivered picture; the
wall's round also prints Chromium's own CPU (all of its processes, and its renderer, the tab,
alone). The goal, printed as met or not: the service's CPU per delivered picture for the wall at
most 1.15x that for the HTTP/1.1 viewers. Delivered pictures are counted on the service's side
(status.json: pictures fetched less pictures skipped, with exactly one viewer per channel).

The simulated camera paints each channel's picture once a second (--paint-every 1000), so that
it takes little of the machine the service is measured on.

  bench_wall.py --service build/app/veltra-service \\
                --simulator build/tools/simulator/veltra-simulator [--seconds 30]"""

import argparse
import json
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests",
                                "browser"))
from browsersite import Site, browser_missing, http_get, wait_for  # noqa: E402

CHANNELS = 64
GOAL = 1.15
TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    """User and system CPU of one process so far; 0 once it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICKS
    except (OSError, IndexError):
        return 0.0


def descendants(pid):
    """Every process below `pid`, with its command line."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                parent = int(f.read().rsplit(")", 1)[1].split()[1])
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                command = f.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        children.setdefault(parent, []).append((int(entry), command))
    found, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child[0])
    return found


def channels(site):
    status = json.loads(http_get(site.url("status", "/status.json")))
    return {"/%s/%s/%s" % (c["dvr"], c["stream"], c["channel"]): c for c in status["channels"]}


def delivered(site):
    """Pictures written to the viewers so far (one viewer per channel)."""
    now = channels(site)
    return sum(c["pictures"] - c["partsSkipped"] for c in now.values()), now


def tile_streams(site):
    """What each tile of the wall asks for, by channel path: the page opened once, then left."""
    driver = site.browser()
    try:
        driver.open(site.url("status", "/cameras"))
        wait_for("every tile streaming", lambda: driver.script(
            "const t = [...document.querySelectorAll('camera-tile')];"
            "return t.length === %d && t.every(x => x.streamSrc && x.pictures > 0);" % CHANNELS),
                 timeout=60)
        # A tile settles its size shortly after the page is laid out.
        time.sleep(2)
        return driver.script("return Object.fromEntries([...document.querySelectorAll("
                             "'camera-tile')].map(t => [t.dataset.channel, t.streamSrc]));")
    finally:
        driver.open("about:blank")


def bytes_sent(site):
    return sum(c["bytesSent"] for c in channels(site).values())


def measure(site, seconds, extra_pids=lambda: []):
    """The service's CPU and delivered pictures over `seconds`, and the extra processes' CPU."""
    sent_before = bytes_sent(site)
    pictures_before, before = delivered(site)
    service_before = cpu_seconds(site.service.pid)
    extra = {pid: (command, cpu_seconds(pid)) for pid, command in extra_pids()}
    start = time.monotonic()
    time.sleep(seconds)
    elapsed = time.monotonic() - start
    service = cpu_seconds(site.service.pid) - service_before
    pictures_after, after = delivered(site)
    watched = sum(1 for c in after.values() if c["viewers"] == 1)
    spent = {pid: (command, cpu_seconds(pid) - cpu) for pid, (command, cpu) in extra.items()}
    slowest = min(after[p]["pictures"] - before[p]["pictures"] for p in after) / elapsed
    return {"elapsed": elapsed, "service": service, "pictures": pictures_after - pictures_before,
            "watched": watched, "extra": spent, "slowest": slowest,
            "bytes": bytes_sent(site) - sent_before}


def report(name, figures):
    per_picture = figures["service"] / max(1, figures["pictures"]) * 1e6
    print("%-9s %5.1f pictures/s delivered (slowest channel %.1f/s), %d of %d channels with one "
          "viewer; service %.1f%% of a core, %.0f us per delivered picture; %.0f KB/s sent"
          % (name, figures["pictures"] / figures["elapsed"], figures["slowest"],
             figures["watched"], CHANNELS, 100 * figures["service"] / figures["elapsed"],
             per_picture, figures["bytes"] / figures["elapsed"] / 1000))
    return per_picture


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--service", required=True)
    parser.add_argument("--simulator", required=True)
    parser.add_argument("--seconds", type=float, default=30.0)
    args = parser.parse_args()
    if browser_missing():
        return 77

    site = Site(args.service, args.simulator, "wall-bench", status_port=True, tls=True,
                simulator_args=["--channels", str(CHANNELS), "--paint-every", "1000"])
    curls = []
    try:
        site.start()
        wait_for("%d channels configured" % CHANNELS, lambda: len(channels(site)) == CHANNELS,
                 timeout=60)
        paths = sorted(channels(site))
        streams = tile_streams(site)
        wait_for("no viewer left", lambda: all(c["viewers"] == 0
                                               for c in channels(site).values()), timeout=30)

        for path in paths:
            curls.append(subprocess.Popen(
                ["curl", "-sk", "--http1.1", "-o", "/dev/null",
                 streams.get(path) or site.url("relay", path)],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        wait_for("every HTTP/1.1 viewer watching",
                 lambda: all(c["viewers"] == 1 for c in channels(site).values()), timeout=30)
        time.sleep(3)
        http1 = report("HTTP/1.1", measure(site, args.seconds))
        for curl in curls:
            curl.terminate()
            curl.wait(timeout=10)
        curls = []
        wait_for("no viewer left", lambda: all(c["viewers"] == 0
                                               for c in channels(site).values()), timeout=30)

        driver = site.browser()
        driver.open(site.url("status", "/cameras"))
        wait_for("every tile watching",
                 lambda: all(c["viewers"] == 1 for c in channels(site).values()), timeout=60)
        time.sleep(3)
        chromium = lambda: [(pid, command) for pid, command in descendants(
            site.processes[-1].pid)]
        figures = measure(site, args.seconds, chromium)
        wall = report("wall", figures)
        live = driver.script("return [...document.querySelectorAll('camera-tile')]"
                             ".filter(t => t.getAttribute('state') === 'live').length;")
        total = sum(cpu for _, cpu in figures["extra"].values())
        renderer = sum(cpu for command, cpu in figures["extra"].values()
                       if "--type=renderer" in command)
        print("Chromium: %.1f%% of a core in all (the tab's renderer %.1f%%), %.0f us per "
              "picture received; %d of %d tiles live at the end"
              % (100 * total / figures["elapsed"], 100 * renderer / figures["elapsed"],
                 total / max(1, figures["pictures"]) * 1e6, live, CHANNELS))
        ratio = wall / http1
        print("service CPU per delivered picture, wall over HTTP/2 / HTTP/1.1 viewers: %.2fx "
              "(goal at most %.2fx: %s)" % (ratio, GOAL, "met" if ratio <= GOAL else "NOT met"))
        site.stop_service()
        return 0
    finally:
        for curl in curls:
            curl.kill()
        site.close()


if __name__ == "__main__":
    sys.exit(main())
