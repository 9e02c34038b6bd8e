#!/usr/bin/env python3
"""Drives headless Chromium against the service and the site simulator, as a person would:
opens the demo layout page, sees the board's inputs and outputs, opens a door and checks the
simulated board received the update query, then watches the camera page change.

Exit codes: 0 pass, 1 fail, 77 skipped (no Chromium or ChromeDriver on this machine)."""

import argparse
import base64
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
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


def http_get(url):
    with urllib.request.urlopen(url, timeout=10) as response:
        return response.read()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--service", required=True)
    parser.add_argument("--simulator", required=True)
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
        wait_for("the page to be served", lambda: b"LAYOUT" in http_get(url))

        chromedriver = subprocess.Popen([CHROMEDRIVER, "--port=%d" % ports["driver"]],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        processes.append(chromedriver)
        wait_for("chromedriver", lambda: http_get("http://127.0.0.1:%d/status" % ports["driver"]))
        driver = WebDriver(ports["driver"])

        driver.open(url)
        # Inputs and outputs appear once the service has polled the board.
        wait_for("inputs rendered", lambda: driver.find_all("#inputs span[data-pin]"))
        wait_for("outputs rendered", lambda: driver.find_all("#outputs span[data-pin]"))
        doors = driver.script("return DOORS;")
        assert len(doors) == 2, doors
        door = doors[0]
        print("page shows inputs and outputs; opening", door["name"])

        button = driver.find_all('button[data-door="%s"][data-action="open"]' % door["id"])[0]
        driver.click(button)
        expected = "gpo%d=1" % door["outPin"]
        wait_for("the board to receive the update query",
                 lambda: any("update query" in line and expected in line
                             for line in sim_output().splitlines()))
        print("board received", expected)
        wait_for("the page to show the door open", lambda: driver.script(
            "return document.querySelector('[data-door-output=\"%s\"]').textContent;"
            % door["id"]) == "open")

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
