#!/usr/bin/env python3
"""Drives headless Chromium against the service and the site simulator, as a person would:
opens the demo layout page, sees the board's inputs and outputs, opens a door and checks the
simulated board received the update query, then watches the camera page change.

With --login the site has an operator. Not logged in, the browser gets neither the layout page,
nor a picture, nor a door opened. Logged in once on the events port, the same page works as
above, its cameras from the relay port included; and a page of another site that the logged-in
browser loads cannot open a door.

Exit codes: 0 pass, 1 fail, 77 skipped (no Chromium or ChromeDriver on this machine)."""

import argparse
import base64
import json
import os
import re
import shutil
import http.server
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
CHROMEDRIVER = shutil.which("chromedriver")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, predicate, timeout=30.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            result = predicate()
            if result:
                return result
        except Exception:  # not there yet
            pass
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


class WebDriver:
    def __init__(self, port):
        self.base = "http://127.0.0.1:%d" % port
        caps = {"capabilities": {"alwaysMatch": {"goog:chromeOptions": {
            "binary": CHROMIUM,
            "args": ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     "--disable-dev-shm-usage", "--window-size=1280,1024",
                     "--user-data-dir=" + tempfile.mkdtemp(prefix="veltra-chromium-")]}}}}
        self.session = self.call("POST", "/session", caps)["sessionId"]

    def call(self, method, path, body=None):
        data = json.dumps(body).encode() if body is not None else None
        request = urllib.request.Request(self.base + path, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=60) as response:
            return json.loads(response.read().decode())["value"] if method != "DELETE" \
                else None

    def s(self, method, path, body=None):
        return self.call(method, "/session/%s%s" % (self.session, path), body)

    def open(self, url):
        self.s("POST", "/url", {"url": url})

    def find_all(self, css):
        found = self.s("POST", "/elements", {"using": "css selector", "value": css})
        return [list(e.values())[0] for e in found]

    def script(self, source, *args):
        return self.s("POST", "/execute/sync", {"script": source, "args": list(args)})

    def click(self, element):
        self.s("POST", "/element/%s/click" % element, {})

    def screenshot(self, element):
        return base64.b64decode(self.s("GET", "/element/%s/screenshot" % element))

    def quit(self):
        try:
            self.call("DELETE", "/session/" + self.session)
        except Exception:
            pass


def http_get(url, login=None):
    request = urllib.request.Request(url)
    if login:
        request.add_header("Authorization",
                           "Basic " + base64.b64encode(("%s:%s" % login).encode()).decode())
    with urllib.request.urlopen(request, timeout=10) as response:
        return response.read()


def add_user(service_bin, work, name, role, password):
    result = subprocess.run([service_bin, "--add-user", name, "--role", role], cwd=work,
                            input=(password + "\n").encode(), capture_output=True, timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr


class AttackerSite:
    """A page of another site ("localhost" is not "127.0.0.1" to the browser) that tries to
    open a door of the service, as a hostile page an operator happens to load would."""

    def __init__(self, door_url):
        page = ("<!doctype html><title>elsewhere</title>"
                "<img src=\"%s\">"
                "<script>fetch(%s, {mode: 'no-cors', credentials: 'include'})"
                ".finally(() => { document.title = 'sent'; });</script>"
                % (door_url, json.dumps(door_url))).encode()

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Type", "text/html")
                self.send_header("Content-Length", str(len(page)))
                self.end_headers()
                self.wfile.write(page)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://localhost:%d/" % self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()


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


def check_cross_site_refused(driver, door_url, work):
    """Logged in, a page of another site tries the door: the service refuses it."""
    attacker = AttackerSite(door_url)
    try:
        driver.open(attacker.url)
        log = os.path.join(work, "Service.txt")
        wait_for("the cross-site refusal in the log", lambda: "sent by a page of another site"
                 in open(log, errors="replace").read())
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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--service", required=True)
    parser.add_argument("--simulator", required=True)
    parser.add_argument("--login", action="store_true",
                        help="give the site an operator and log in through the browser")
    args = parser.parse_args()

    if not CHROMIUM or not CHROMEDRIVER:
        print("SKIP: chromium and chromium-driver are not installed")
        return 77

    work = tempfile.mkdtemp(prefix="veltra-browser-")
    ports = {name: free_port() for name in
             ("pub", "pull", "ipc", "event", "relay", "rtsp", "camera", "board", "driver")}
    service_bin = os.path.join(work, "veltra-service")
    shutil.copy(args.service, service_bin)
    with open(os.path.join(work, "settings.ini"), "w") as ini:
        ini.write("[General]\nserverAddress=127.0.0.1\nserverSendPort=%d\nserverRecvPort=%d\n"
                  "eventPort=%d\nipcPort=%d\nid=browser-site\nioPath=html\n[Status]\nport=0\n"
                  % (ports["pub"], ports["pull"], ports["event"], ports["ipc"]))
    login = None
    if args.login:
        login = ("door-keeper", "correct horse battery staple")
        add_user(service_bin, work, login[0], "operator", login[1])

    sim_log = open(os.path.join(work, "simulator.log"), "w+")
    processes = []
    driver = None
    try:
        simulator = subprocess.Popen(
            [args.simulator, "--pub-port", str(ports["pub"]), "--pull-port", str(ports["pull"]),
             "--ipc-port", str(ports["ipc"]), "--event-port", str(ports["event"]),
             "--relay-port", str(ports["relay"]), "--rtsp-port", str(ports["rtsp"]),
             "--camera-port", str(ports["camera"]), "--board-port", str(ports["board"])],
            stdout=sim_log, stderr=subprocess.STDOUT)
        processes.append(simulator)
        service = subprocess.Popen([service_bin], cwd=work, stdout=subprocess.DEVNULL)
        processes.append(service)

        def sim_output():
            sim_log.flush()
            with open(sim_log.name) as f:
                return f.read()

        # The simulator announces the layout page once the service has it.
        page = wait_for("the layout page", lambda: [
            line.split("layout page: ", 1)[1].strip() for line in sim_output().splitlines()
            if "layout page: " in line])[0]
        url = "http://127.0.0.1:%d%s" % (ports["event"], page)
        html = wait_for("the page to be served", lambda: [
            text for text in [http_get(url, login).decode()] if "LAYOUT" in text])[0]
        doors = page_constant(html, "DOORS")
        assert len(doors) == 2, doors
        # The second door is the one nobody may open: every refused command targets it.
        door, guarded = doors
        guarded_url = "http://127.0.0.1:%d/%d?outputs=%d,1" % (
            ports["event"], page_constant(html, "LAYOUT"), guarded["outPin"])
        camera_url = "http://127.0.0.1:%d%s" % (ports["relay"],
                                                 page_constant(html, "CAMERA_PATHS")[0])

        chromedriver = subprocess.Popen([CHROMEDRIVER, "--port=%d" % ports["driver"]],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        processes.append(chromedriver)
        wait_for("chromedriver", lambda: http_get("http://127.0.0.1:%d/status" % ports["driver"]))
        driver = WebDriver(ports["driver"])

        if login:
            check_logged_out(driver, url, camera_url, guarded_url)
            # One login on the events port, as the browser's login prompt would send it (a page
            # opened through a URL with credentials could not use fetch(), so the login goes to
            # the index first). The pictures from the relay port, another origin, then go with
            # nothing but the session cookie it set.
            driver.open("http://%s:%s@127.0.0.1:%d/" % (
                urllib.parse.quote(login[0]), urllib.parse.quote(login[1]), ports["event"]))
        driver.open(url)
        # Inputs and outputs appear once the service has polled the board.
        wait_for("inputs rendered", lambda: driver.find_all("#inputs span[data-pin]"))
        wait_for("outputs rendered", lambda: driver.find_all("#outputs span[data-pin]"))
        print("page shows inputs and outputs; opening", door["name"])
        click_door(driver, door, "open", sim_output)
        wait_for("the page to show the door open", lambda: driver.script(
            "return document.querySelector('[data-door-output=\"%s\"]').textContent;"
            % door["id"]) == "open")

        if login:
            check_cross_site_refused(driver, guarded_url, work)
            driver.open(url)
            wait_for("outputs rendered", lambda: driver.find_all("#outputs span[data-pin]"))
            click_door(driver, door, "close", sim_output)
            opened = [line for line in update_queries(sim_output)
                      if "gpo%d=1" % guarded["outPin"] in line]
            assert not opened, "a refused door command reached the board: %s" % opened

        driver.open(url + "#cameras")
        driver.script("location.reload();")
        wait_for("a camera picture", lambda: driver.script(
            "const i = document.querySelector('img.camera'); return i && i.naturalWidth > 0;"))
        image = driver.find_all("img.camera")[0]
        first = driver.screenshot(image)
        wait_for("a different picture", lambda: driver.screenshot(image) != first, timeout=20)
        print("camera page shows a live picture")

        service.send_signal(signal.SIGTERM)
        code = service.wait(timeout=15)
        assert code == 0, "service exit code %d" % code
        print("PASS")
        return 0
    except Exception as error:  # report what was seen, then fail
        print("FAIL:", error)
        print("--- simulator output ---")
        sim_log.flush()
        print(open(sim_log.name).read()[-4000:])
        log = os.path.join(work, "Service.txt")
        if os.path.exists(log):
            print("--- Service.txt ---")
            print(open(log, errors="replace").read()[-4000:])
        return 1
    finally:
        if driver:
            driver.quit()
        for p in reversed(processes):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    p.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
