#!/usr/bin/env python3
"""The status dashboard in headless Chromium, at a phone's width, against the service and the
site simulator: it lists the demo site's cameras, IO board and streamer, fits the screen, and
shows the board as down within one refresh of the service knowing it failed.

Exit codes: 0 pass, 1 fail, 77 skipped (no Chromium or ChromeDriver on this machine)."""

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browser_test import CHROMEDRIVER, CHROMIUM, WebDriver, free_port, http_get, wait_for  # noqa

# The page reads /status.json every 2 s; a render takes well under the rest.
REFRESH_S = 2.0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--service", required=True)
    parser.add_argument("--simulator", required=True)
    parser.add_argument("--screenshot", help="save the page, with the board down, as this PNG")
    args = parser.parse_args()

    if not CHROMIUM or not CHROMEDRIVER:
        print("SKIP: chromium and chromium-driver are not installed")
        return 77

    work = tempfile.mkdtemp(prefix="veltra-dashboard-")
    ports = {name: free_port() for name in ("pub", "pull", "ipc", "event", "relay", "rtsp",
                                            "camera", "board", "driver", "status")}
    service_bin = os.path.join(work, "veltra-service")
    shutil.copy(args.service, service_bin)
    with open(os.path.join(work, "settings.ini"), "w") as ini:
        ini.write("[General]\nserverAddress=127.0.0.1\nserverSendPort=%d\nserverRecvPort=%d\n"
                  "eventPort=%d\nipcPort=%d\nid=dashboard-site\nioPath=html\n"
                  "[Status]\nport=%d\naddress=127.0.0.1\n"
                  % (ports["pub"], ports["pull"], ports["event"], ports["ipc"], ports["status"]))

    sim_log = open(os.path.join(work, "simulator.log"), "w+")
    processes = []
    driver = None
    status_url = "http://127.0.0.1:%d" % ports["status"]

    def status():
        return json.loads(http_get(status_url + "/status.json"))

    try:
        simulator = subprocess.Popen(
            [args.simulator, "--pub-port", str(ports["pub"]), "--pull-port", str(ports["pull"]),
             "--ipc-port", str(ports["ipc"]), "--event-port", str(ports["event"]),
             "--relay-port", str(ports["relay"]), "--rtsp-port", str(ports["rtsp"]),
             "--camera-port", str(ports["camera"]), "--board-port", str(ports["board"])],
            stdin=subprocess.PIPE, stdout=sim_log, stderr=subprocess.STDOUT)
        processes.append(simulator)
        service = subprocess.Popen([service_bin], cwd=work, stdout=subprocess.DEVNULL)
        processes.append(service)

        wait_for("the demo configuration", lambda: status()["central"]["registered"]
                 and status()["boards"] and status()["streamers"])
        # A layout page watching the board is what starts its polling.
        http_get("http://127.0.0.1:%d/read?layout=1" % ports["event"])
        wait_for("the board to answer", lambda: status()["boards"][0]["state"] == "up")

        chromedriver = subprocess.Popen([CHROMEDRIVER, "--port=%d" % ports["driver"]],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        processes.append(chromedriver)
        wait_for("chromedriver", lambda: http_get("http://127.0.0.1:%d/status" % ports["driver"]))
        driver = WebDriver(ports["driver"])
        driver.s("POST", "/window/rect", {"width": 390, "height": 900})

        driver.open(status_url + "/")
        wait_for("the board shown up", lambda: driver.script(
            "const r = document.querySelector('#boards tr[data-board=\"1\"]');"
            "return r && r.dataset.state;") == "up")
        cameras = driver.script("return [...document.querySelectorAll('#cameras tr')]"
                                ".map(r => r.dataset.channel);")
        assert len(cameras) == 2 and all(c and c.endswith(("/1", "/2")) for c in cameras), cameras
        assert driver.find_all('#streamers tr[data-streamer="%d"]' % ports["rtsp"]), \
            "streamer missing"
        assert "registered" in driver.script(
            "return document.getElementById('central').textContent;")
        width = driver.script("return [document.documentElement.scrollWidth, window.innerWidth];")
        assert width[0] <= width[1], "wider than the phone's screen: %s" % width
        print("dashboard lists 2 cameras, the board up and the streamer, at %d px wide" % width[1])

        simulator.stdin.write(b"board fail\n")
        simulator.stdin.flush()
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

        if args.screenshot:
            import base64
            png = base64.b64decode(driver.s("GET", "/screenshot"))
            with open(args.screenshot, "wb") as f:
                f.write(png)
            driver.s("POST", "/window/rect", {"width": 1280, "height": 900})
            wide = os.path.splitext(args.screenshot)[0] + "-wide.png"
            with open(wide, "wb") as f:
                f.write(base64.b64decode(driver.s("GET", "/screenshot")))
            print("screenshots in", args.screenshot, "and", wide)

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
