"""What the monitoring tests share: a live site watched the way OPERATING.md ("Watching many
sites") tells an integrator to watch one, with the real Prometheus and Alertmanager of Debian.

The site is the browser tests' Site (tests/browser/browsersite.py): the real service with the
site simulator, here with [TLS], a viewer login for Prometheus and an operator for door commands.
Prometheus finds it through a target file (file-based service discovery), scrapes its status port
over HTTPS with the viewer login, and may evaluate rules and send to an Alertmanager, which sends
to a webhook receiver of the test. Everything listens on 127.0.0.1, on free ports.
"""

import base64
import json
import os
import re
import shutil
import subprocess
import sys
import threading
import time
import urllib.parse
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, "tests", "browser"))

import browsersite  # noqa: E402  (beside the browser tests)
from browsersite import UNVERIFIED, free_port, http_get, wait_for  # noqa: E402,F401

RULES = os.path.join(SOURCE, "packaging", "prometheus", "veltra-alerts.yml")
DASHBOARD = os.path.join(SOURCE, "packaging", "grafana", "veltra-site.json")

PROMETHEUS = shutil.which("prometheus")
ALERTMANAGER = shutil.which("prometheus-alertmanager") or shutil.which("alertmanager")
SKIP = 77

MONITOR = ("monitor", "m0nitor-pass")
GUARD = ("guard", "gu4rd-pass")
SCRAPE_SECONDS = 1


def missing(*tools):
    """True, with the reason printed, when a tool the test needs is not installed."""
    names = {"prometheus": PROMETHEUS, "prometheus-alertmanager": ALERTMANAGER}
    absent = [tool for tool in tools if not names[tool]]
    if absent:
        print("SKIP: %s not installed (tools/install-deps.sh with WITH_CHECKS=1)"
              % ", ".join(absent))
        return True
    return False


DURATION = r"(?:\d+(?:ms|s|m|h|d))+\b"


def seconds(duration):
    units = {"ms": 0.001, "s": 1, "m": 60, "h": 3600, "d": 86400}
    return sum(float(n) * units[u] for n, u in re.findall(r"(\d+)(ms|s|m|h|d)", duration))


def shortened_rules(text, factor=30, shortest_range=5, shortest_for=1):
    """The rule file with every Prometheus duration in it divided by `factor`: `for:`, range
    selectors and offsets. Ranges keep a few scrapes in them. Thresholds in seconds (a picture's
    age) stay as they are: they are about the site, not about waiting."""

    def scaled(duration, shortest):
        return "%ds" % max(shortest, round(seconds(duration) / factor + 0.49))

    text = re.sub(r"(\bfor:\s*)(%s)" % DURATION,
                  lambda m: m.group(1) + scaled(m.group(2), shortest_for), text)
    text = re.sub(r"\[(%s)\]" % DURATION,
                  lambda m: "[%s]" % scaled(m.group(1), shortest_range), text)
    return re.sub(r"(\boffset\s+)(%s)" % DURATION,
                  lambda m: m.group(1) + scaled(m.group(2), shortest_range), text)


def basic(login):
    return "Basic " + base64.b64encode(("%s:%s" % login).encode()).decode()


class LiveSite(browsersite.Site):
    """The service with the simulator, [TLS] and two users, and what keeps it busy: a viewer on
    one camera channel and a layout page polling the IO board."""

    def __init__(self, service, simulator, name):
        super().__init__(service, simulator, name, status_port=True, tls=True)
        self.add_user(MONITOR[0], "viewer", MONITOR[1])
        self.add_user(GUARD[0], "operator", GUARD[1])
        self._stop = threading.Event()
        self._threads = []
        self.viewed_pictures = 0
        self.monitors = []

    @property
    def target(self):
        return "127.0.0.1:%d" % self.ports["status"]

    def metrics(self):
        return http_get(self.url("status", "/metrics"), MONITOR).decode()

    def wait_configured(self):
        def configured():
            text = self.metrics()
            return ("\nveltra_central_registered 1\n" in text
                    and re.search(r"^veltra_config_updates_total [1-9]", text, re.M))
        wait_for("the site to register and be configured", configured, 60)

    def _loop(self, work):
        def run():
            while not self._stop.is_set():
                try:
                    work()
                except Exception:  # the service may be busy; the next round tries again
                    time.sleep(0.5)
        thread = threading.Thread(target=run, daemon=True)
        thread.start()
        self._threads.append(thread)

    def watch_camera(self, channel=1):
        """A viewer on DemoDVR/Entrance/<channel> for as long as the site runs, reconnecting
        when the stream ends."""
        def view():
            request = urllib.request.Request(
                self.url("relay", "/DemoDVR/Entrance/%d" % channel),
                headers={"Authorization": basic(GUARD)})
            with urllib.request.urlopen(request, timeout=10, context=UNVERIFIED) as stream:
                while not self._stop.is_set():
                    chunk = stream.read1(65536)
                    if not chunk:
                        return
                    self.viewed_pictures += chunk.count(b"\xff\xd8")
        self._loop(view)

    def watch_board(self):
        """A layout page's polling of /read, which keeps the board polled."""
        def read():
            http_get(self.url("event", "/read?layout=1"), GUARD)
            self._stop.wait(1)
        self._loop(read)

    def door_command(self):
        request = urllib.request.Request(self.url("event", "/1?outputs=1,1&wait=1"),
                                         headers={"Authorization": basic(GUARD)})
        with urllib.request.urlopen(request, timeout=40, context=UNVERIFIED) as answer:
            return answer.read().decode()

    def checked(self, check):
        """check(), with the monitoring's own logs printed when it fails."""
        def run():
            try:
                check()
            except Exception:
                for monitor in self.monitors:
                    monitor.report()
                raise
        return self.run(run)

    def close(self):
        self._stop.set()
        for monitor in self.monitors:
            monitor.close()
        super().close()
        for thread in self._threads:
            thread.join(5)


class WebhookReceiver:
    """Alertmanager's webhook receiver: keeps every notification it is sent."""

    def __init__(self):
        self.notifications = []
        receiver = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                receiver.notifications.append(json.loads(body))
                self.send_response(200)
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def alerts(self, name, status):
        """The alerts named `name` the notifications reported with `status` (firing, resolved)."""
        return [alert for note in self.notifications for alert in note.get("alerts", [])
                if alert["labels"].get("alertname") == name and alert["status"] == status]

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class Monitoring:
    """Prometheus scraping the sites it is given, and with `rules` and `receiver` an
    Alertmanager that sends to the receiver."""

    def __init__(self, work, site, rules=None, receiver=None):
        self.work = os.path.join(work, "monitoring")
        os.makedirs(os.path.join(self.work, "targets"))
        self.site = site
        self.port = free_port()
        self.processes = []
        self.logs = []
        password_file = os.path.join(self.work, "monitor.password")
        with open(password_file, "w") as out:
            out.write(MONITOR[1])
        # One file per site, as a fleet's targets would be kept.
        with open(os.path.join(self.work, "targets", "site.json"), "w") as out:
            json.dump([{"targets": [site.target], "labels": {"site": "test"}}], out)
        config = {
            "global": {"scrape_interval": "%ds" % SCRAPE_SECONDS,
                       "scrape_timeout": "%ds" % SCRAPE_SECONDS,
                       "evaluation_interval": "1s"},
            "scrape_configs": [{
                "job_name": "veltra",
                "scheme": "https",
                "tls_config": {"ca_file": os.path.join(site.work, "site.crt")},
                "basic_auth": {"username": MONITOR[0], "password_file": password_file},
                "file_sd_configs": [{"files": [os.path.join(self.work, "targets", "*.json")]}],
            }],
        }
        if rules:
            rule_file = os.path.join(self.work, "rules.yml")
            with open(rule_file, "w") as out:
                out.write(rules)
            config["rule_files"] = [rule_file]
        if receiver:
            self.alertmanager_port = free_port()
            config["alerting"] = {"alertmanagers": [{"static_configs": [
                {"targets": ["127.0.0.1:%d" % self.alertmanager_port]}]}]}
            with open(os.path.join(self.work, "alertmanager.yml"), "w") as out:
                json.dump({
                    "route": {"receiver": "test", "group_by": ["alertname", "instance", "dvr",
                                                               "stream", "channel"],
                              "group_wait": "1s", "group_interval": "1s",
                              "repeat_interval": "1h"},
                    "receivers": [{"name": "test", "webhook_configs": [
                        {"url": "http://127.0.0.1:%d/" % receiver.port,
                         "send_resolved": True}]}],
                }, out)
        self.receiver = receiver
        site.monitors.append(self)
        with open(os.path.join(self.work, "prometheus.yml"), "w") as out:
            json.dump(config, out)  # JSON is YAML

    def _start(self, name, command):
        log = open(os.path.join(self.work, name + ".log"), "w+")
        self.logs.append(log)
        self.processes.append(subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT))

    def start(self):
        if self.receiver:
            self._start("alertmanager", [
                ALERTMANAGER, "--config.file=" + os.path.join(self.work, "alertmanager.yml"),
                "--storage.path=" + os.path.join(self.work, "alertmanager-data"),
                "--web.listen-address=127.0.0.1:%d" % self.alertmanager_port,
                "--cluster.listen-address="])
            wait_for("Alertmanager to be ready", lambda: urllib.request.urlopen(
                "http://127.0.0.1:%d/-/ready" % self.alertmanager_port, timeout=2).status == 200)
        self._start("prometheus", [
            PROMETHEUS, "--config.file=" + os.path.join(self.work, "prometheus.yml"),
            "--storage.tsdb.path=" + os.path.join(self.work, "data"),
            "--web.listen-address=127.0.0.1:%d" % self.port])
        wait_for("Prometheus to be ready", lambda: urllib.request.urlopen(
            "http://127.0.0.1:%d/-/ready" % self.port, timeout=2).status == 200)

    def api(self, path, **query):
        url = "http://127.0.0.1:%d/api/v1/%s?%s" % (self.port, path,
                                                    urllib.parse.urlencode(query))
        with urllib.request.urlopen(url, timeout=10) as answer:
            reply = json.loads(answer.read().decode())
        if reply.get("status") != "success":
            raise AssertionError("%s: %s" % (path, reply))
        return reply["data"]

    def query(self, expr):
        return self.api("query", query=expr)["result"]

    def wait_scraped(self):
        def scraped():
            targets = self.api("targets")["activeTargets"]
            return [t for t in targets if t["health"] == "up"
                    and t["labels"]["instance"] == self.site.target]
        try:
            wait_for("Prometheus to scrape the site", scraped, 30)
        except AssertionError:
            raise AssertionError("the site was not scraped: %s" % self.api("targets"))

    def report(self):
        for log in self.logs:
            log.flush()
            with open(log.name, errors="replace") as f:
                print("--- %s (tail) ---" % os.path.basename(log.name))
                print("".join(f.readlines()[-30:]))

    def close(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait(5)
        for log in self.logs:
            log.close()
