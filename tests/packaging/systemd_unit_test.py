#!/usr/bin/env python3
"""The installed unit under a real systemd.

Installs the build as `cmake --install` does (into a scratch DESTDIR), boots systemd as PID 1 of
a private PID, mount, network and cgroup namespace whose unit path holds only the installed unit,
journald and a few empty stand-in targets, and checks what the unit promises: readiness, the
status line, the watchdog, restarts, a clean stop, the sandbox and the journal.

Nothing outside the namespace changes: /run, /tmp, /srv, /var/opt and the journal directory are
private tmpfs there, the service user exists only in a private copy of /etc/passwd, and the
application directory is a bind mount of the scratch install. The scratch directory is reached in
there through a bind mount of its own made before those tmpfs, so the build tree may be anywhere
(under /tmp too) but under /run.

Exit status 0: all checks passed; 1: a check failed; 77: systemd cannot boot here (skipped).
"""

import argparse
import glob
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time

SKIP = 77

# The unit's watchdog of 30 s and restart delay of 5 s would make the frozen-service check alone
# take 35 s; the service pings at half of whatever systemd asks, so a shorter watchdog tests the
# same logic. 6 s leaves the sanitizer build a 3 s ping interval to keep.
TEST_WATCHDOG_SEC = 6
TEST_RESTART_SEC = 1
# Leak checking is the other tests' job; here the exit status must be the service's own.
TEST_ENVIRONMENT = "ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1"

START_TIMEOUT = 30
# What `systemd-analyze security` may rate the unit at most (0 is fully sandboxed, 10 not at all).
MAX_EXPOSURE = 2.0
# Where the scratch directory is seen inside the namespace, whatever tmpfs covers its real path.
INNER_WORK = "/run/veltra-unit-test"
EXIT_FILE = "exit-status.txt"
STOP_LIMIT = 3.0

# Directories anybody may write to, made in the namespace outside the application directory:
# only the unit's sandbox can keep the service from writing there.
OPEN_DIRECTORIES = ["/srv", "/var/opt"]


def log(text):
    print(text, flush=True)


class Failure(Exception):
    pass


def check(condition, what, detail=""):
    if not condition:
        raise Failure(what + (": " + detail if detail else ""))
    log("ok - " + what)


def skip(reason):
    log("SKIP: systemd cannot boot here: " + reason)
    sys.exit(SKIP)


def cgroup2_mount():
    with open("/proc/self/mounts") as mounts:
        for line in mounts:
            fields = line.split()
            if len(fields) >= 3 and fields[2] == "cgroup2":
                return fields[1]
    return None


def find_prerequisites():
    if os.geteuid() != 0:
        skip("not running as root")
    for tool in ["unshare", "nsenter", "mount", "ip", "systemctl", "journalctl"]:
        if shutil.which(tool) is None:
            skip("no " + tool)
    for path in ["/lib/systemd/systemd", "/lib/systemd/systemd-journald"]:
        if not os.access(path, os.X_OK):
            skip("no " + path)
    cgroups = cgroup2_mount()
    if cgroups is None:
        skip("no cgroup2 hierarchy mounted")
    probe = subprocess.run(["unshare", "--pid", "--fork", "--mount", "--net", "--cgroup", "true"],
                           capture_output=True, text=True)
    if probe.returncode != 0:
        skip("unshare refused: " + probe.stderr.strip())
    return cgroups


def unit_keys(path):
    keys = {}
    with open(path) as unit:
        for line in unit:
            match = re.match(r"^([A-Za-z]+)=(.*)$", line.strip())
            if match:
                keys[match.group(1)] = match.group(2)
    return keys


def free_id(taken):
    for candidate in range(64000, 65000):
        if candidate not in taken:
            return candidate
    raise Failure("no free user id")


def write(path, text, mode=0o644):
    with open(path, "w") as out:
        out.write(text)
    os.chmod(path, mode)


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.1)
    return condition()


class BootedSystemd:
    """systemd as PID 1 of private PID, mount, network and cgroup namespaces, started from the
    script `self.init` (written by the subclass), in a cgroup of its own under `cgroups`; commands
    run in it through nsenter. `work` holds the script and its log, init.log."""

    # What nsenter enters: a subclass whose init changes its root adds "-r", "-w".
    NSENTER = ["-m", "-p", "-n"]
    # How long a command run in it may take, unless the call says otherwise.
    RUN_TIMEOUT_S = 30

    def __init__(self, work, cgroup):
        self.work = work
        self.cgroup = cgroup
        self.unshare = None
        self.init_pid = None

    def read(self, name):
        try:
            with open(os.path.join(self.work, name), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def boot(self):
        os.mkdir(self.cgroup)
        procs = os.path.join(self.cgroup, "cgroup.procs")

        def enter_cgroup():
            with open(procs, "w") as out:
                out.write("0")

        self.unshare = subprocess.Popen(
            ["unshare", "--pid", "--fork", "--mount", "--mount-proc", "--net", "--cgroup",
             self.init], preexec_fn=enter_cgroup, stdout=subprocess.DEVNULL,
            stderr=open(os.path.join(self.work, "init.log"), "w"))
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and self.init_pid is None:
            children = "/proc/%d/task/%d/children" % (self.unshare.pid, self.unshare.pid)
            try:
                with open(children) as f:
                    pids = f.read().split()
                # By name: under a root of its own the executable's path is not the machine's.
                if pids:
                    with open("/proc/%s/comm" % pids[0]) as f:
                        if f.read().strip() == "systemd":
                            self.init_pid = int(pids[0])
            except OSError:
                pass
            if self.unshare.poll() is not None:
                raise Failure("the namespace ended at once: " + self.read("init.log"))
            time.sleep(0.05)
        check(self.init_pid is not None, "systemd runs as PID 1 of the namespace")
        state = wait_for(lambda: self.run(["systemctl", "is-system-running"],
                                          check_status=False).stdout.strip()
                         in ("running", "degraded"), 30)
        check(state, "systemd finished booting",
              self.run(["systemctl", "is-system-running"], check_status=False).stdout)

    def shutdown(self):
        # Killing the namespace's PID 1 ends every process in it; cgroup.kill catches whatever
        # was still on its way in.
        if self.init_pid is not None:
            try:
                os.kill(self.init_pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        if os.path.isdir(self.cgroup):
            try:
                with open(os.path.join(self.cgroup, "cgroup.kill"), "w") as kill:
                    kill.write("1")
            except OSError:
                for directory, _, _ in os.walk(self.cgroup):
                    try:
                        with open(os.path.join(directory, "cgroup.procs")) as procs:
                            for pid in procs.read().split():
                                os.kill(int(pid), signal.SIGKILL)
                    except OSError:
                        pass
        if self.unshare is not None:
            try:
                self.unshare.wait(10)
            except subprocess.TimeoutExpired:
                self.unshare.kill()
                self.unshare.wait(5)
        deadline = time.monotonic() + 10
        while os.path.isdir(self.cgroup) and time.monotonic() < deadline:
            for directory, _, _ in sorted(os.walk(self.cgroup), key=lambda w: -len(w[0])):
                try:
                    os.rmdir(directory)
                except OSError:
                    pass
            if os.path.isdir(self.cgroup):
                time.sleep(0.1)

    def run(self, command, timeout=None, check_status=True, stdin=None):
        result = subprocess.run(["nsenter", "-t", str(self.init_pid)] + self.NSENTER + command,
                                capture_output=True, text=True,
                                timeout=timeout or self.RUN_TIMEOUT_S, input=stdin)
        if check_status and result.returncode != 0:
            raise Failure("%s failed (%d): %s%s" % (" ".join(command), result.returncode,
                                                    result.stdout, result.stderr))
        return result


class Site(BootedSystemd):
    """One booted systemd and the installed service."""

    def __init__(self, args, cgroups):
        super().__init__(os.path.abspath(args.work_dir),
                         os.path.join(cgroups, "veltra-systemd-test-%d" % os.getpid()))
        self.args = args

    def inner(self, path):
        """Where a path under the scratch directory is seen inside the namespace."""
        return INNER_WORK + path[len(self.work):]

    # --- setting up -------------------------------------------------------------------------

    def install(self):
        if self.work == "/run" or self.work.startswith("/run/"):
            raise Failure("the work directory may not be under /run, which the namespace covers")
        if os.path.exists(self.work):
            shutil.rmtree(self.work)
        self.root = os.path.join(self.work, "root")
        self.units = os.path.join(self.work, "units")
        os.makedirs(self.units)
        env = dict(os.environ, DESTDIR=self.root)
        result = subprocess.run([self.args.cmake, "--install", self.args.build_dir], env=env,
                                capture_output=True, text=True)
        if result.returncode != 0:
            raise Failure("cmake --install failed: " + result.stdout + result.stderr)
        installed = [path for path in glob.glob(self.root + "/**/systemd/system/*.service",
                                                recursive=True)]
        check(len(installed) == 1, "the install holds one unit", repr(installed))
        self.unit_name = os.path.basename(installed[0])
        self.name = self.unit_name[:-len(".service")]
        shutil.copy(installed[0], self.units)
        self.keys = unit_keys(installed[0])
        self.executable = self.keys["ExecStart"].split()[0]
        self.app_dir = os.path.dirname(self.executable)
        self.staged_app_dir = self.root + self.app_dir
        check(os.access(self.root + self.executable, os.X_OK),
              "the unit's ExecStart is the installed executable", self.executable)

    def write_units(self):
        # The service's default dependencies and its After=, as empty targets.
        for target in ["sysinit", "basic", "shutdown", "network", "multi-user"]:
            write(os.path.join(self.units, target + ".target"),
                  "[Unit]\nDescription=%s (stand-in)\n" % target)
        write(os.path.join(self.units, "veltra-test.target"),
              "[Unit]\nDescription=Boot of the unit test\n"
              "Wants=systemd-journald.socket systemd-journald.service\n")
        # Not its /dev/log socket: /dev is the machine's, and that socket would put a symlink
        # there. The service logs through standard error, which is the other socket.
        for unit in ["systemd-journald.service", "systemd-journald.socket"]:
            shutil.copy(os.path.join("/lib/systemd/system", unit), self.units)

        dropins = os.path.join(self.units, self.unit_name + ".d")
        os.makedirs(dropins)
        # An inactive unit is unloaded at once, and its exit status with it: a stop hook notes it.
        write(os.path.join(dropins, "test.conf"),
              "[Service]\nWatchdogSec=%ds\nRestartSec=%ds\nEnvironment=%s\n"
              "ExecStopPost=/bin/sh -c 'echo $$SERVICE_RESULT $$EXIT_CODE $$EXIT_STATUS > %s'\n"
              % (TEST_WATCHDOG_SEC, TEST_RESTART_SEC, TEST_ENVIRONMENT,
                 os.path.join(self.app_dir, EXIT_FILE)))

        # The same sandbox, user and directory, running a shell that tries to write everywhere.
        sandbox = []
        with open(os.path.join(self.units, self.unit_name)) as unit:
            section = None
            for line in unit:
                line = line.strip()
                if line.startswith("["):
                    section = line
                    continue
                if section != "[Service]" or not line or line.startswith("#"):
                    continue
                key = line.split("=", 1)[0]
                if key in ("ExecStart", "Type", "WatchdogSec", "Restart", "RestartSec",
                           "TimeoutStopSec"):
                    continue
                sandbox.append(line)
        places = [self.app_dir, "/tmp", "/var/tmp"] + OPEN_DIRECTORIES + [
            "/etc", "/usr", "/var/lib", "/root", "/home", "/"]
        script = "; ".join(
            "if touch %s/.veltra-probe 2>/dev/null; then echo %s=written; "
            "else echo %s=refused; fi" % (place.rstrip("/"), place, place) for place in places)
        write(os.path.join(self.units, "veltra-probe.service"),
              "[Unit]\nDescription=Writes under the service's sandbox\n\n[Service]\n"
              "Type=oneshot\n%s\nExecStart=/bin/sh -c '(%s) > %s/probe.txt'\n"
              % ("\n".join(sandbox), script, self.app_dir))
        # Pattern matching as the service does it, under the same sandbox: the engine compiles
        # patterns to machine code where it may, which MemoryDenyWriteExecute= forbids.
        shutil.copy(self.args.regex_probe, os.path.join(self.staged_app_dir, "regex-probe"))
        write(os.path.join(self.units, "veltra-regex-probe.service"),
              "[Unit]\nDescription=Matches patterns under the service's sandbox\n\n[Service]\n"
              "Type=oneshot\n%s\nEnvironment=%s\nExecStart=/bin/sh -c '%s/regex-probe > %s/regex.txt'\n"
              % ("\n".join(sandbox), TEST_ENVIRONMENT, self.app_dir, self.app_dir))

    def write_identity(self):
        user = self.keys.get("User", "root")
        group = self.keys.get("Group", user)
        with open("/etc/passwd") as passwd:
            passwd_text = passwd.read()
        with open("/etc/group") as groups:
            group_text = groups.read()
        self.uid = 0
        self.gid = 0
        if not re.search(r"^%s:" % re.escape(user), passwd_text, re.M):
            taken = {int(line.split(":")[2]) for line in passwd_text.splitlines() if
                     line.count(":") >= 3}
            self.uid = free_id(taken)
            passwd_text += "%s:x:%d:%d::/nonexistent:/usr/sbin/nologin\n" % (user, self.uid,
                                                                              self.uid)
        else:
            self.uid = int(re.search(r"^%s:[^:]*:(\d+)" % re.escape(user), passwd_text,
                                     re.M).group(1))
        if not re.search(r"^%s:" % re.escape(group), group_text, re.M):
            self.gid = self.uid
            group_text += "%s:x:%d:\n" % (group, self.gid)
        else:
            self.gid = int(re.search(r"^%s:[^:]*:(\d+)" % re.escape(group), group_text,
                                     re.M).group(1))
        write(os.path.join(self.work, "passwd"), passwd_text)
        write(os.path.join(self.work, "group"), group_text)
        # As the package's postinst leaves it: the directory is the service user's, the
        # executable root's.
        os.chown(self.staged_app_dir, self.uid, self.gid)
        os.chmod(self.staged_app_dir, 0o750)

    def write_init(self):
        app_parent = os.path.dirname(self.app_dir)
        lines = [
            "#!/bin/sh",
            "set -e",
            "mount --make-rprivate /",
            "mount -t tmpfs -o mode=755 tmpfs /run",
            # Before any tmpfs can hide it (a build tree under /tmp, /srv or /opt).
            "mkdir %s" % INNER_WORK,
            "mount --bind %s %s" % (self.work, INNER_WORK),
            "mount -t tmpfs -o mode=1777 tmpfs /tmp",
            "mount -t cgroup2 none /sys/fs/cgroup",
            "mount --bind %s/console /dev/console" % INNER_WORK,
            "mount --bind %s/passwd /etc/passwd" % INNER_WORK,
            "mount --bind %s/group /etc/group" % INNER_WORK,
            # Our own journal, not the machine's.
            "if [ -d /var/log/journal ]; then mount -t tmpfs tmpfs /var/log/journal; fi",
        ]
        for place in OPEN_DIRECTORIES:
            lines.append("if [ -d %s ]; then mount -t tmpfs -o mode=1777 tmpfs %s; fi"
                         % (place, place))
        # The application directory where the unit names it, whether or not it exists here.
        lines += [
            "if [ ! -d %s ]; then mount -t tmpfs -o mode=755 tmpfs %s; mkdir -p %s; fi"
            % (self.app_dir, app_parent, self.app_dir),
            "mount --bind %s %s" % (self.inner(self.staged_app_dir), self.app_dir),
            "ip link set lo up",
            "exec env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin SYSTEMD_UNIT_PATH=%s "
            # systemd's own lines about the unit (a watchdog timeout) go to the journal too.
            "/lib/systemd/systemd --system --unit=veltra-test.target --log-target=journal "
            "--log-level=info --show-status=no" % self.inner(self.units),
        ]
        self.init = os.path.join(self.work, "init.sh")
        write(self.init, "\n".join(lines) + "\n", 0o755)
        write(os.path.join(self.work, "console"), "")

    # --- running ----------------------------------------------------------------------------

    def show(self, unit=None):
        unit = unit or self.unit_name
        output = self.run(["systemctl", "show", unit, "--no-pager"]).stdout
        return dict(line.split("=", 1) for line in output.splitlines() if "=" in line)

    def journal(self):
        return self.run(["journalctl", "--no-pager", "-o", "cat", "-u", self.unit_name]).stdout

    def app_file(self, name):
        try:
            with open(os.path.join(self.staged_app_dir, name), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def event_port(self):
        match = re.search(r"^eventPort=(\d+)", self.app_file("settings.ini"), re.M)
        return int(match.group(1)) if match else None

    def status_port(self):
        match = re.search(r"^\[Status\][^\[]*?^port=(\d+)", self.app_file("settings.ini"),
                          re.M | re.S)
        return int(match.group(1)) if match else None

    def http_get(self, port, path):
        probe = ("import urllib.request,sys\n"
                 "sys.stdout.write(urllib.request.urlopen('http://127.0.0.1:%d%s', timeout=5)"
                 ".read().decode())\n" % (port, path))
        return self.run(["python3", "-c", probe], check_status=False).stdout

    def port_accepts(self, port):
        probe = ("import socket,sys\n"
                 "s=socket.socket()\ns.settimeout(2)\n"
                 "sys.exit(0 if s.connect_ex(('127.0.0.1',%d))==0 else 1)\n" % port)
        return self.run(["python3", "-c", probe], check_status=False).returncode == 0

    wait_for = staticmethod(wait_for)

    def wait_for_restart(self, old_pid, restarts, seconds):
        def restarted():
            state = self.show()
            return (state.get("ActiveState") == "active" and state.get("MainPID") not in
                    ("0", old_pid) and int(state.get("NRestarts", "0")) > restarts)
        return self.wait_for(restarted, seconds)

    # --- the checks -------------------------------------------------------------------------

    def check_start(self):
        began = time.monotonic()
        self.run(["systemctl", "start", self.unit_name], timeout=START_TIMEOUT + 5)
        log("  systemctl start took %.2f s" % (time.monotonic() - began))
        state = self.show()
        check(state.get("ActiveState") == "active" and state.get("SubState") == "running",
              "systemctl start returns with the unit active",
              "%s/%s" % (state.get("ActiveState"), state.get("SubState")))
        # Type=notify: start returned on READY=1, which comes after the whole start sequence.
        check("void RTSPProcessMgr::start()" in self.app_file("Service.txt"),
              "the start sequence ran before systemctl start returned")
        port = self.event_port()
        check(port is not None and self.port_accepts(port),
              "the events port accepts connections when start returns", str(port))
        return state

    def check_status_line(self, state):
        status = self.run(["systemctl", "status", self.unit_name, "--no-pager"],
                          check_status=False).stdout
        # No Central server answers in here, so the site summary begins with the link's state.
        text = state.get("StatusText", "")
        check(text.startswith("Not registered") and ('Status: "%s"' % text) in status,
              "systemctl status shows the service's STATUS= line", status)

    def check_exposure(self):
        report = self.run(["systemd-analyze", "security", "--no-pager", self.unit_name],
                          check_status=False)
        match = re.search(r"Overall exposure level for \S+: ([0-9.]+)", report.stdout)
        exposure = float(match.group(1)) if match else None
        log("  systemd-analyze security: %s" % exposure)
        check(exposure is not None and exposure <= MAX_EXPOSURE,
              "systemd-analyze security rates the unit %g or less" % MAX_EXPOSURE,
              report.stdout[-3000:] + report.stderr)

    def check_serves_metrics(self):
        port = self.status_port()
        metrics = self.http_get(port, "/metrics") if port else ""
        figures = {}
        for line in metrics.splitlines():
            fields = line.split()
            if len(fields) == 2 and fields[0].startswith("process_"):
                figures[fields[0]] = float(fields[1])
        # The sandbox shows the service only its own part of /proc.
        check(metrics.startswith("# HELP") and "veltra_up 1" in metrics,
              "the status port serves /metrics under the unit", metrics[:300])
        check(figures.get("process_resident_memory_bytes", 0) > 0
              and figures.get("process_open_fds", 0) > 0
              and figures.get("process_cpu_seconds_total", 0) > 0
              and abs(figures.get("process_start_time_seconds", 0) - time.time()) < 600,
              "its process metrics read under the sandbox", repr(figures))

    def check_regex(self):
        self.run(["systemctl", "start", "veltra-regex-probe.service"])
        check(self.app_file("regex.txt").strip() == "matched",
              "patterns match under the unit's sandbox (MemoryDenyWriteExecute=)",
              self.app_file("regex.txt") + self.run(
                  ["journalctl", "--no-pager", "-o", "cat", "-u", "veltra-regex-probe.service"],
                  check_status=False).stdout)

    def check_sandbox(self, state):
        mounts = {}
        with open("/proc/%s/root/proc/%s/mountinfo" % (self.init_pid, state["MainPID"])) as f:
            for line in f:
                fields = line.split()
                mounts[fields[4]] = fields[5].split(",")
        check("ro" in mounts.get("/", []), "the service sees the file system read-only",
              repr(mounts.get("/")))
        check("rw" in mounts.get(self.app_dir, []),
              "the service's own directory is writable for it", repr(mounts.get(self.app_dir)))

        self.run(["systemctl", "start", "veltra-probe.service"])
        results = dict(line.split("=", 1) for line in self.app_file("probe.txt").splitlines())
        expected = {self.app_dir: "written", "/tmp": "written", "/var/tmp": "written"}
        wrong = {place: result for place, result in results.items()
                 if result != expected.get(place, "refused")}
        check(len(results) > 8 and not wrong,
              "under the unit's sandbox only its own directory and a private /tmp are writable",
              repr(wrong or results))
        leaked = [place for place in ["/tmp", "/var/tmp"] + OPEN_DIRECTORIES
                  if self.run(["test", "-e", place + "/.veltra-probe"],
                              check_status=False).returncode == 0]
        check(not leaked, "what it writes to /tmp stays in its private /tmp", repr(leaked))

    def check_watchdog(self):
        state = self.show()
        pid, restarts = state["MainPID"], int(state.get("NRestarts", "0"))
        self.run(["kill", "-STOP", pid])
        began = time.monotonic()
        restarted = self.wait_for_restart(pid, restarts, TEST_WATCHDOG_SEC + TEST_RESTART_SEC + 25)
        log("  restarted %.1f s after SIGSTOP" % (time.monotonic() - began))
        check(restarted, "a frozen service is killed and restarted by the watchdog",
              repr(self.show().get("ActiveState")))
        check("Watchdog timeout" in self.journal()
              and self.app_file(EXIT_FILE).split()[:1] == ["watchdog"],
              "systemd ended that run for its watchdog", self.app_file(EXIT_FILE))

    def check_kill(self):
        state = self.show()
        pid, restarts = state["MainPID"], int(state.get("NRestarts", "0"))
        self.run(["kill", "-KILL", pid])
        began = time.monotonic()
        restarted = self.wait_for_restart(pid, restarts, TEST_RESTART_SEC + 25)
        log("  restarted %.1f s after SIGKILL" % (time.monotonic() - began))
        check(restarted and self.app_file(EXIT_FILE).split() == ["signal", "killed", "KILL"],
              "a killed service is restarted (Restart=on-failure)", self.app_file(EXIT_FILE))
        check("Service started" in self.app_file("Service.txt.1"),
              "the killed run's log is kept as Service.txt.1")

    def check_stop(self):
        began = time.monotonic()
        self.run(["systemctl", "stop", self.unit_name], timeout=30)
        took = time.monotonic() - began
        log("  systemctl stop took %.2f s" % took)
        check(took < STOP_LIMIT, "systemctl stop ends it within %g s" % STOP_LIMIT,
              "%.2f s" % took)
        # As systemd reports them to ExecStopPost: result, how the main process ended, status.
        ended = self.app_file(EXIT_FILE).split()
        check(ended == ["success", "exited", "0"], "the service exits with status 0", repr(ended))
        check("Stopping service" in self.app_file("Service.txt"),
              "the log says \"Stopping service\"")

    def check_journal(self):
        journal = self.journal()
        ours = [line for line in ["Service started", "void Config::load()",
                                  "void RTSPProcessMgr::start()", "Stopping service"]
                if line not in journal]
        check(not ours, "the journal holds the service's log lines", "missing " + repr(ours))

    def diagnostics(self):
        log("--- namespace set-up")
        log(self.read("init.log"))
        log("--- console")
        log("\n".join(self.read("console").splitlines()[-20:]))
        if self.init_pid is not None:
            try:
                log("--- journal (tail)")
                log(self.run(["journalctl", "--no-pager", "-n", "60"], check_status=False).stdout)
            except Exception as error:  # the namespace may be gone already
                log(str(error))
        log("--- Service.txt (tail)")
        log("\n".join(self.app_file("Service.txt").splitlines()[-20:]))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--work-dir", required=True)
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--regex-probe", required=True)
    args = parser.parse_args()

    cgroups = find_prerequisites()
    site = Site(args, cgroups)
    began = time.monotonic()
    try:
        site.install()
        site.write_units()
        site.write_identity()
        site.write_init()
        site.boot()
        state = site.check_start()
        site.check_status_line(state)
        site.check_exposure()
        site.check_serves_metrics()
        site.check_sandbox(state)
        site.check_regex()
        site.check_watchdog()
        site.check_kill()
        site.check_stop()
        site.check_journal()
    except (Failure, subprocess.TimeoutExpired, OSError, KeyError) as error:
        log("FAIL: %s" % error)
        site.diagnostics()
        return 1
    finally:
        site.shutdown()
        log("  %.1f s in all" % (time.monotonic() - began))
    return 0


if __name__ == "__main__":
    sys.exit(main())
