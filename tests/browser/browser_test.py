#!/usr/bin/env python3
"""Drives headless Chromium against the service and the site simulator, as a person would:
opens the demo layout page, sees the board's inputs and outputs, opens a door and checks the
simulated board received the update query and the status dashboard shows the action confirmed,
with who did it, then watches the camera page change.

With --login the site has an operator. Not logged in, the browser gets neither the layout page,
nor a picture, nor a door opened. Logged in once on the events port, the same page works as
above, its cameras from the relay port included; and a page of another site that the logged-in
browser loads cannot open a door.

Exit codes: 0 pass, 1 fail, 77 skipped (no Chromium or ChromeDriver on this machine)."""

import json
import re
import sys
import urllib.parse

from browsersite import PagePeer, Site, argument_parser, browser_missing, http_get, wait_for


def attacker_site(door_url):
    """A page of another site ("localhost" is not "127.0.0.1" to the browser) that tries to
    open a door of the service, as a hostile page an operator happens to load would."""
    return PagePeer("<!doctype html><title>elsewhere</title>"
                    "<img src=\"%s\">"
                    "<script>fetch(%s, {mode: 'no-cors', credentials: 'include'})"
                    ".finally(() => { document.title = 'sent'; });</script>"
                    % (door_url, json.dumps(door_url)), host="localhost")


def update_queries(sim_output):
    return [line for line in sim_output().splitlines() if "IO board: update query" in line]


def page_constant(page, name):
    match = re.search(r"const %s = (.*?);\n" % name, page)
    return json.loads(match.group(1))


def check_logged_out(driver, url, camera_url, door_url):
    """Not logged in: no layout, no picture, no door command taken."""
    # Chromium answers the login challenge with an empty page (headless, there is nobody to
    # ask), so what counts is what the page does not have.
    driver.open(url)
    wait_for("the refusal page", lambda: driver.script(
        "return document.readyState === 'complete';"))
    assert driver.script("return typeof DOORS === 'undefined';"), "layout page was served"
    assert "LAYOUT" not in driver.script("return document.documentElement.outerHTML;")

    driver.open("data:text/html,<img id=c src='%s'>" % camera_url)
    wait_for("the picture to fail", lambda: driver.script(
        "return document.getElementById('c').complete;"))
    assert driver.script("return document.getElementById('c').naturalWidth;") == 0, \
        "a picture was shown without a login"

    driver.open(door_url)
    wait_for("the refusal", lambda: driver.script("return document.readyState === 'complete';"))
    assert "DONE" not in driver.script("return document.documentElement.outerHTML;")
    print("not logged in: no layout, no picture, the door command refused")


def check_cross_site_refused(driver, door_url, site):
    """Logged in, a page of another site tries the door: the service refuses it."""
    attacker = attacker_site(door_url)
    try:
        driver.open(attacker.url)
        wait_for("the cross-site refusal in the log",
                 lambda: "sent by a page of another site" in site.service_log())
    finally:
        attacker.close()
    print("a page of another site was refused")


def click_door(driver, door, action, sim_output):
    """Clicks a door button and waits for the board to hear of it. Door commands reach the
    board in the order they were queued, so anything queued before has reached it too."""
    button = driver.find_all('button[data-door="%s"][data-action="%s"]' % (door["id"], action))
    driver.click(button[0])
    expected = "gpo%d=%d" % (door["outPin"], 1 if action == "open" else 0)
    wait_for("the board to receive " + expected,
             lambda: any(expected in line for line in update_queries(sim_output)))
    print("board received", expected)


def check_door_on_dashboard(driver, site, door, login):
    """The door just opened is the newest row of the dashboard's door actions, confirmed by the
    board, with the user who opened it."""
    driver.open(site.url("status", "/"))
    row = "document.querySelector('#doors tr[data-result]')"
    wait_for("the door action confirmed on the dashboard", lambda: driver.script(
        "const r = %s; return r && r.dataset.result;" % row) == "confirmed")
    text = driver.script("return %s.textContent;" % row)
    assert door["name"] in text, text
    assert (login[0] if login else "none") in text, text
    print("dashboard shows the door action:", text)


def check_demo(site, login):
    """The layout page, a door opened, and the camera page; with a login, the refusals too."""
    # The simulator announces the layout page once the service has it.
    page = wait_for("the layout page", lambda: [
        line.split("layout page: ", 1)[1].strip() for line in site.sim_output().splitlines()
        if "layout page: " in line])[0]
    url = site.url("event", page)
    html = wait_for("the page to be served", lambda: [
        text for text in [http_get(url, login).decode()] if "LAYOUT" in text])[0]
    doors = page_constant(html, "DOORS")
    assert len(doors) == 2, doors
    # The second door is the one nobody may open: every refused command targets it.
    door, guarded = doors
    guarded_url = site.url("event", "/%d?outputs=%d,1" % (page_constant(html, "LAYOUT"),
                                                           guarded["outPin"]))
    camera_url = site.url("relay", page_constant(html, "CAMERA_PATHS")[0])

    driver = site.browser()
    if login:
        check_logged_out(driver, url, camera_url, guarded_url)
        # One login on the events port, as a bookmark with credentials sends it: the page
        # builds every URL it fetches from location, so it works opened so. The pictures from
        # the relay port, another origin, then go with nothing but the session cookie it set.
        driver.open("http://%s:%s@127.0.0.1:%d%s" % (
            urllib.parse.quote(login[0]), urllib.parse.quote(login[1]), site.ports["event"],
            page))
    else:
        driver.open(url)
    # Inputs and outputs appear once the service has polled the board.
    wait_for("inputs rendered", lambda: driver.find_all("#inputs span[data-pin]"))
    wait_for("outputs rendered", lambda: driver.find_all("#outputs span[data-pin]"))
    print("page shows inputs and outputs; opening", door["name"])
    click_door(driver, door, "open", site.sim_output)
    wait_for("the page to show the door open", lambda: driver.script(
        "return document.querySelector('[data-door-output=\"%s\"]').textContent;"
        % door["id"]) == "open")
    check_door_on_dashboard(driver, site, door, login)

    if login:
        check_cross_site_refused(driver, guarded_url, site)
        driver.open(url)
        wait_for("outputs rendered", lambda: driver.find_all("#outputs span[data-pin]"))
        click_door(driver, door, "close", site.sim_output)
        opened = [line for line in update_queries(site.sim_output)
                  if "gpo%d=1" % guarded["outPin"] in line]
        assert not opened, "a refused door command reached the board: %s" % opened

    driver.open(url + "#cameras")
    driver.script("location.reload();")
    shown = wait_for("a camera picture", lambda: 1 + driver.script(
        "return [...document.querySelectorAll('camera-tile')].findIndex(t => t.pictures > 0);"))
    tile = driver.find_all("camera-tile")[shown - 1]
    first = driver.screenshot(tile)
    wait_for("a different picture", lambda: driver.screenshot(tile) != first, timeout=20)
    assert driver.script("return document.querySelectorAll('camera-tile')[%d]"
                         ".getAttribute('state');" % (shown - 1)) == "live"
    print("camera page shows a live picture")


def main():
    parser = argument_parser()
    parser.add_argument("--login", action="store_true",
                        help="give the site an operator and log in through the browser")
    args = parser.parse_args()

    if browser_missing():
        return 77

    site = Site(args.service, args.simulator, "browser-site", status_port=True)
    login = None
    if args.login:
        login = ("door-keeper", "correct horse battery staple")
        site.add_user(login[0], "operator", login[1])
    return site.run(lambda: check_demo(site, login))


if __name__ == "__main__":
    sys.exit(main())
