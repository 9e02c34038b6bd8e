"""What the browser tests share: the service copied into a temporary application directory with
its settings, started with the site simulator on free loopback ports; headless Chromium driven
through ChromeDriver; and one run of a check with the report of what was seen when it fails.

A check script builds a Site, adds what it needs (users, the status port), and hands its check
to Site.run(), which returns the script's exit code: 0 pass, 1 fail. A script returns 77
(skipped) when browser_missing() says so."""

import argparse
import base64
import http.server
import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import threading
import time
import traceback
import urllib.request

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
CHROMEDRIVER = shutil.which("chromedriver")
FIREFOX = shutil.which("firefox-esr") or shutil.which("firefox")
CERTUTIL = shutil.which("certutil")


def browser_missing():
    """True, with the reason printed, when this machine has no Chromium or ChromeDriver."""
    if CHROMIUM and CHROMEDRIVER:
        return False
    print("SKIP: chromium and chromium-driver are not installed")
    return True


def firefox_missing():
    """True, with the reason printed, when this machine has no Firefox or no certutil."""
    if FIREFOX and CERTUTIL:
        return False
    print("SKIP: firefox-esr and libnss3-tools (certutil) are not installed")
    return True


def argument_parser():
    """The arguments every check script takes: the service and simulator executables."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--service", required=True)
    parser.add_argument("--simulator", required=True)
    return parser


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, predicate, timeout=30.0, interval=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            result = predicate()
            if result:
                return result
        except Exception:  # not there yet
            pass
        time.sleep(interval)
    raise AssertionError("timed out waiting for " + what)


# The tests' sites have self-signed certificates made for the run.
UNVERIFIED = ssl._create_unverified_context()


def http_get(url, login=None):
    request = urllib.request.Request(url)
    if login:
        request.add_header("Authorization",
                           "Basic " + base64.b64encode(("%s:%s" % login).encode()).decode())
    with urllib.request.urlopen(request, timeout=10, context=UNVERIFIED) as response:
        return response.read()


class PagePeer:
    """One HTML page served on 127.0.0.1 from a port of its own, as a page of another origin
    that a test has the browser load; `url` names it by `host`, which the browser may take for
    another site ("localhost") or the same one ("127.0.0.1")."""

    def __init__(self, page, host="127.0.0.1"):
        body = page.encode()

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Type", "text/html")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://%s:%d/" % (host, self.server.server_address[1])
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()


class WebDriver:
    """With network_log, the DevTools network events are kept for network_events()."""

    def __init__(self, port, network_log=False):
        self.base = "http://127.0.0.1:%d" % port
        # The sites' certificates are self-signed.
        always = {"acceptInsecureCerts": True, "goog:chromeOptions": {
            "binary": CHROMIUM,
            "args": ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     "--disable-dev-shm-usage", "--window-size=1280,1024",
                     "--ignore-certificate-errors",
                     "--user-data-dir=" + tempfile.mkdtemp(prefix="veltra-chromium-")]}}
        if network_log:
            always["goog:loggingPrefs"] = {"performance": "ALL"}
            always["goog:chromeOptions"]["perfLoggingPrefs"] = {"enableNetwork": True,
                                                                "enablePage": False}
        self.session = self.call("POST", "/session",
                                 {"capabilities": {"alwaysMatch": always}})["sessionId"]

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

    def network_events(self, method):
        """The parameters of the DevTools network events `method` since the last call."""
        entries = self.s("POST", "/se/log", {"type": "performance"})
        messages = (json.loads(entry["message"])["message"] for entry in entries)
        return [m["params"] for m in messages if m.get("method") == method]

    def quit(self):
        try:
            self.call("DELETE", "/session/" + self.session)
        except Exception:
            pass


class Site:
    """The service registering as `service_id`, in a directory of its own, and the simulated
    site it serves. With status_port the status server listens on a port of its own on
    127.0.0.1; otherwise it stays off. With tls the service's ports speak HTTPS, with a
    self-signed certificate made for the run."""

    PEERS = ("pub", "pull", "ipc", "event", "relay", "rtsp", "camera", "board", "driver")
    # The service's own ports, HTTPS with tls.
    SERVICE_PORTS = ("event", "relay", "status")

    def __init__(self, service, simulator, service_id, status_port=False, tls=False,
                 simulator_args=()):
        self.simulator_bin = simulator
        self.simulator_args = list(simulator_args)
        self.tls = tls
        self.work = tempfile.mkdtemp(prefix="veltra-%s-" % service_id)
        self.ports = {name: free_port()
                      for name in self.PEERS + (("status",) if status_port else ())}
        self.service_bin = os.path.join(self.work, "veltra-service")
        shutil.copy(service, self.service_bin)
        status = ("port=%d\naddress=127.0.0.1\n" % self.ports["status"]) if status_port \
            else "port=0\n"
        tls_section = "[TLS]\ncertificate=site.crt\nkey=site.key\n" if tls else ""
        # A test CA signs the site's certificate, so that a browser that checks certificates
        # (Firefox, with the CA put into its profile) can be made to trust it.
        self.ca_cert = os.path.join(self.work, "test-ca.crt")
        if tls:
            def openssl(*args):
                subprocess.run(["openssl"] + list(args), check=True, capture_output=True,
                               timeout=60, cwd=self.work)
            curve = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
            openssl("req", "-x509", *curve, "-days", "2", "-subj", "/CN=VELTRA test CA",
                    "-addext", "basicConstraints=critical,CA:TRUE",
                    "-addext", "keyUsage=critical,keyCertSign,cRLSign",
                    "-keyout", "test-ca.key", "-out", "test-ca.crt")
            openssl("req", "-new", *curve, "-subj", "/CN=127.0.0.1",
                    "-keyout", "site.key", "-out", "site.csr")
            with open(os.path.join(self.work, "site.ext"), "w") as ext:
                ext.write("basicConstraints=CA:FALSE\nsubjectAltName=IP:127.0.0.1\n"
                          "extendedKeyUsage=serverAuth\nkeyUsage=digitalSignature\n")
            openssl("x509", "-req", "-in", "site.csr", "-CA", "test-ca.crt", "-CAkey",
                    "test-ca.key", "-CAcreateserial", "-days", "2", "-extfile", "site.ext",
                    "-out", "site.crt")
        with open(os.path.join(self.work, "settings.ini"), "w") as ini:
            ini.write("[General]\nserverAddress=127.0.0.1\nserverSendPort=%d\nserverRecvPort=%d\n"
                      "eventPort=%d\nipcPort=%d\nid=%s\nioPath=html\n[Status]\n%s%s"
                      % (self.ports["pub"], self.ports["pull"], self.ports["event"],
                         self.ports["ipc"], service_id, status, tls_section))
        self.log = os.path.join(self.work, "Service.txt")
        self.sim_log = None
        self.simulator = None
        self.service = None
        self.driver = None
        self.processes = []
        self.firefoxes = []

    def url(self, port_name, path=""):
        scheme = "https" if self.tls and port_name in self.SERVICE_PORTS else "http"
        return "%s://127.0.0.1:%d%s" % (scheme, self.ports[port_name], path)

    def add_user(self, name, role, password):
        """Before start(): the user, through the service's own command."""
        result = subprocess.run([self.service_bin, "--add-user", name, "--role", role],
                                cwd=self.work, input=(password + "\n").encode(),
                                capture_output=True, timeout=60)
        assert result.returncode == 0, result.stdout + result.stderr

    def start(self):
        """The simulator (taking commands on its standard input), then the service."""
        self.sim_log = open(os.path.join(self.work, "simulator.log"), "w+")
        self.simulator = subprocess.Popen(
            [self.simulator_bin] + [arg for name in ("pub", "pull", "ipc", "event", "relay",
                                                     "rtsp", "camera", "board")
                                    for arg in ("--%s-port" % name, str(self.ports[name]))]
            + (["--https"] if self.tls else []) + self.simulator_args,
            stdin=subprocess.PIPE, stdout=self.sim_log, stderr=subprocess.STDOUT)
        self.processes.append(self.simulator)
        self.start_service()

    def start_service(self):
        self.service = subprocess.Popen([self.service_bin], cwd=self.work,
                                        stdout=subprocess.DEVNULL)
        self.processes.append(self.service)

    def stop_service(self):
        """Stops the service as systemd would; it must exit with 0."""
        self.service.send_signal(signal.SIGTERM)
        code = self.service.wait(timeout=15)
        assert code == 0, "service exit code %d" % code

    def sim_output(self):
        self.sim_log.flush()
        with open(self.sim_log.name) as f:
            return f.read()

    def simulator_command(self, line):
        self.simulator.stdin.write(line.encode() + b"\n")
        self.simulator.stdin.flush()

    def service_log(self):
        return open(self.log, errors="replace").read() if os.path.exists(self.log) else ""

    def browser(self, network_log=False):
        """Headless Chromium, started at the first call."""
        if not self.driver:
            chromedriver = subprocess.Popen(
                [CHROMEDRIVER, "--port=%d" % self.ports["driver"]],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.processes.append(chromedriver)
            wait_for("chromedriver", lambda: http_get(self.url("driver", "/status")))
            self.driver = WebDriver(self.ports["driver"], network_log)
        return self.driver

    def firefox(self, url):
        """Headless Firefox ESR showing `url`, in a fresh profile that trusts the site's test
        CA; it runs until stop_firefox() or close()."""
        profile = tempfile.mkdtemp(prefix="veltra-firefox-", dir=self.work)
        subprocess.run([CERTUTIL, "-N", "-d", "sql:" + profile, "--empty-password"],
                       check=True, capture_output=True, timeout=60)
        if self.tls:
            subprocess.run([CERTUTIL, "-A", "-d", "sql:" + profile, "-n", "VELTRA test CA",
                            "-t", "C,,", "-i", self.ca_cert],
                           check=True, capture_output=True, timeout=60)
        prefs = {
            "browser.shell.checkDefaultBrowser": False,
            "browser.startup.homepage_override.mstone": "ignore",
            "browser.aboutwelcome.enabled": False,
            "datareporting.policy.dataSubmissionEnabled": False,
            "toolkit.telemetry.reportingpolicy.firstRun": False,
            "app.update.enabled": False,
            "app.normandy.enabled": False,
            "extensions.update.enabled": False,
            "network.captive-portal-service.enabled": False,
            "network.connectivity-service.enabled": False,
            "browser.safebrowsing.malware.enabled": False,
            "browser.safebrowsing.phishing.enabled": False,
            "security.OCSP.enabled": 0,
        }
        with open(os.path.join(profile, "user.js"), "w") as user:
            for name, value in prefs.items():
                user.write("user_pref(%s, %s);\n" % (json.dumps(name), json.dumps(value)))
        env = dict(os.environ, MOZ_HEADLESS="1", HOME=profile)
        log = open(os.path.join(self.work, "firefox.log"), "w")
        process = subprocess.Popen([FIREFOX, "--headless", "--no-remote", "--profile", profile,
                                    "--new-instance", url],
                                   stdout=log, stderr=subprocess.STDOUT, env=env,
                                   start_new_session=True)
        self.firefoxes.append(process)
        return process

    def stop_firefox(self, process):
        """Ends Firefox with every process of its own (it starts several)."""
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGTERM)
            try:
                process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait(timeout=15)
        try:
            os.killpg(process.pid, signal.SIGKILL)  # its children, should any be left
        except ProcessLookupError:
            pass

    def run(self, check):
        """Starts the site, runs check(), then stops the service, which must exit with 0.
        Returns the exit code; on a failure the ends of both logs are printed."""
        try:
            self.start()
            check()
            self.stop_service()
            print("PASS")
            return 0
        except Exception as error:  # report what was seen, then fail
            traceback.print_exc()
            print("FAIL:", error)
            if self.sim_log:
                print("--- simulator output ---")
                print(self.sim_output()[-4000:])
            if os.path.exists(self.log):
                print("--- Service.txt ---")
                print(self.service_log()[-4000:])
            return 1
        finally:
            self.close()

    def close(self):
        if self.driver:
            self.driver.quit()
        for process in self.firefoxes:
            self.stop_firefox(process)
        for p in reversed(self.processes):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    p.kill()
        if self.simulator:
            self.simulator.stdin.close()
        if self.sim_log:
            self.sim_log.close()
        shutil.rmtree(self.work, ignore_errors=True)
