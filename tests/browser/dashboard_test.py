#!/usr/bin/env python3
"""The status dashboard in headless Chromium, at a phone's width, against the service and the
site simulator: it lists the demo site's cameras, IO board and streamer, fits the screen, and
shows the board as down within one refresh of the service knowing it failed.

Exit codes: 0 pass, 1 fail, 77 skipped (no Chromium or ChromeDriver on this machine)."""

import base64
import json
import os
import sys
import time

from browsersite import Site, argument_parser, browser_missing, http_get, wait_for

# The page reads /status.json every 2 s; a render takes well under the rest.
REFRESH_S = 2.0


def check_dashboard(site, screenshot):
    """The demo site listed at a phone's width, then the board shown down once it fails."""
    def status():
        return json.loads(http_get(site.url("status", "/status.json")))

    wait_for("the demo configuration", lambda: status()["central"]["registered"]
             and status()["boards"] and status()["streamers"])
    # A layout page watching the board is what starts its polling.
    http_get(site.url("event", "/read?layout=1"))
    wait_for("the board to answer", lambda: status()["boards"][0]["state"] == "up")

    driver = site.browser()
    driver.s("POST", "/window/rect", {"width": 390, "height": 900})

    driver.open(site.url("status", "/"))
    wait_for("the board shown up", lambda: driver.script(
        "const r = document.querySelector('#boards tr[data-board=\"1\"]');"
        "return r && r.dataset.state;") == "up")
    cameras = driver.script("return [...document.querySelectorAll('#cameras tr')]"
                            ".map(r => r.dataset.channel);")
    assert sorted(int(c.rsplit("/", 1)[1]) for c in cameras) == list(range(1, 17)), cameras
    assert driver.find_all('#streamers tr[data-streamer="%d"]' % site.ports["rtsp"]), \
        "streamer missing"
    assert "registered" in driver.script(
        "return document.getElementById('central').textContent;")
    width = driver.script("return [document.documentElement.scrollWidth, window.innerWidth];")
    assert width[0] <= width[1], "wider than the phone's screen: %s" % width
    print("dashboard lists 16 cameras, the board up and the streamer, at %d px wide" % width[1])

    site.simulator_command("board fail")
    wait_for("the service to see the board fail",
             lambda: status()["boards"][0]["state"] == "down", timeout=15)
    known = time.monotonic()
    wait_for("the page to show the board down", lambda: driver.script(
        "return document.querySelector('#boards tr[data-board=\"1\"]').dataset.state;")
        == "down", timeout=REFRESH_S + 1.5)
    shown = time.monotonic() - known
    assert shown <= REFRESH_S + 0.5, "shown %.1f s after the service knew" % shown
    error = driver.script("return document.querySelector('#boards tr[data-board=\"1\"]')"
                          ".querySelector('.error').textContent;")
    assert error and error != "none", "no error text on the board's row: %r" % error
    print("board shown down %.1f s after the service knew, with %r" % (shown, error))

    if screenshot:
        with open(screenshot, "wb") as f:
            f.write(base64.b64decode(driver.s("GET", "/screenshot")))
        driver.s("POST", "/window/rect", {"width": 1280, "height": 900})
        wide = os.path.splitext(screenshot)[0] + "-wide.png"
        with open(wide, "wb") as f:
            f.write(base64.b64decode(driver.s("GET", "/screenshot")))
        print("screenshots in", screenshot, "and", wide)


def main():
    parser = argument_parser()
    parser.add_argument("--screenshot", help="save the page, with the board down, as this PNG")
    args = parser.parse_args()

    if browser_missing():
        return 77

    site = Site(args.service, args.simulator, "dashboard-site", status_port=True)
    return site.run(lambda: check_dashboard(site, args.screenshot))


if __name__ == "__main__":
    sys.exit(main())
