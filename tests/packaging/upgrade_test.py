#!/usr/bin/env python3
"""Installing, upgrading, removing and purging the Debian package with dpkg, in a throwaway copy
of this machine under a real systemd.

The package is the one CPack builds from this tree; the "newer" one is the same build repacked
with a higher version, as a release would be. The copy of the machine is an overlay of / whose
changes go to a tmpfs, seen from private mount, PID, network and cgroup namespaces in which
systemd runs as PID 1 (as in systemd_unit_test.py). dpkg, the maintainer scripts, the service
user and the unit all live and die in there; nothing of the machine itself changes.

Checked: the first install starts the service; an upgrade over the running one keeps
settings.ini, settings.db, doors.db, the users, the layout pages and the log, restarts the service
once and leaves it enabled and serving; `dpkg --remove` keeps those files and the user;
`dpkg --purge` removes them and the user.

Exit status 0: all checks passed; 1: a check failed; 77: this cannot be done here (skipped)."""

import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import time

import systemd_unit_test as unit
from systemd_unit_test import Failure, check, log, wait_for, write

INNER = "/run/veltra-upgrade-test"
APP = "/opt/veltra"
PACKAGE = "veltra-service"
STARTS = "/run/veltra-starts"
NEWER = "1.0.1~upgrade"
USER_PASSWORD = "upgr4de-pass"


class Machine(unit.BootedSystemd):
    """The overlay copy of this machine with systemd booted in it."""

    # Its init moves into the overlay: commands run under its root and in its directory.
    NSENTER = ["-m", "-p", "-n", "-r", "-w"]
    # dpkg and the maintainer scripts.
    RUN_TIMEOUT_S = 120

    def __init__(self, work, cgroups):
        super().__init__(work, os.path.join(cgroups, "veltra-upgrade-test-%d" % os.getpid()))
        self.transcript = ""

    def write_init(self):
        units = os.path.join(self.work, "units")
        os.makedirs(units)
        # The unit's default dependencies, as empty targets found before the machine's own.
        for target in ["sysinit", "basic", "shutdown", "network", "multi-user"]:
            write(os.path.join(units, target + ".target"),
                  "[Unit]\nDescription=%s (stand-in)\n" % target)
        write(os.path.join(units, "veltra-test.target"), "[Unit]\nDescription=Upgrade test\n")
        # Each start of the service is counted outside its sandbox ("+"); leak checking is the
        # other tests' job.
        dropin = "\n".join([
            "[Service]",
            "Environment=ASAN_OPTIONS=detect_leaks=0",
            "ExecStartPre=+/bin/sh -c 'echo started >> %s'" % STARTS,
            "StandardOutput=null", "StandardError=null", ""])
        root = os.path.join(self.work, "root")
        layers = os.path.join(self.work, "layers")
        os.makedirs(root)
        os.makedirs(layers)
        write(os.path.join(self.work, "console"), "")
        write(os.path.join(self.work, "dropin.conf"), dropin)
        lines = [
            "#!/bin/sh",
            "set -e",
            "mount --make-rprivate /",
            # The machine's root file system, its changes kept in memory.
            "mount -t tmpfs -o mode=755 tmpfs %s" % layers,
            "mkdir %s/upper %s/work" % (layers, layers),
            "mount -t overlay overlay -o lowerdir=/,upperdir=%s/upper,workdir=%s/work %s"
            % (layers, layers, root),
            "R=%s" % root,
            "mount -t proc proc $R/proc",
            "mount --bind /sys $R/sys",
            "mount -t cgroup2 none $R/sys/fs/cgroup",
            # A /dev of its own, so that nothing systemd makes there reaches the machine's.
            "mount -t tmpfs -o mode=755 tmpfs $R/dev",
            "for node in null zero full random urandom tty; do"
            " touch $R/dev/$node; mount --bind /dev/$node $R/dev/$node; done",
            "touch $R/dev/console; mount --bind %s/console $R/dev/console" % self.work,
            "mkdir $R/dev/shm $R/dev/pts; mount -t tmpfs tmpfs $R/dev/shm",
            # The service's PrivateDevices= copies these into the /dev it makes.
            "mount -t devpts -o newinstance,ptmxmode=0666 devpts $R/dev/pts",
            "ln -s pts/ptmx $R/dev/ptmx",
            "mount -t tmpfs -o mode=755 tmpfs $R/run",
            "mount -t tmpfs -o mode=1777 tmpfs $R/tmp",
            "mkdir -p $R%s; mount --bind %s $R%s" % (INNER, self.work, INNER),
            # A container's way of keeping services from starting would hide what is tested.
            "rm -f $R/usr/sbin/policy-rc.d",
            "mkdir -p $R/etc/systemd/system/veltra.service.d",
            "cp %s/dropin.conf $R/etc/systemd/system/veltra.service.d/test.conf" % self.work,
            "ip link set lo up",
            # The copy becomes the root (a chroot would leave the service's sandbox unable to
            # set up its own mounts), and the machine's root is let go.
            "mkdir -p $R/.machine-root",
            "cd $R",
            "pivot_root . .machine-root",
            "umount -l /.machine-root",
            "rmdir /.machine-root",
            "exec env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "
            "SYSTEMD_UNIT_PATH=%s/units:/etc/systemd/system:/usr/lib/systemd/system "
            "/lib/systemd/systemd --system --unit=veltra-test.target --log-target=console "
            "--log-level=info --show-status=no" % INNER,
        ]
        self.init = os.path.join(self.work, "init.sh")
        write(self.init, "\n".join(lines) + "\n", 0o755)


def build_packages(build_dir, work):
    """The package of this build, and the same repacked with a higher version."""
    out = os.path.join(work, "pkg")
    os.makedirs(out)
    result = subprocess.run(["cpack", "--config", os.path.join(build_dir, "CPackConfig.cmake"),
                             "-B", out], cwd=out, capture_output=True, text=True, timeout=600)
    built = glob.glob(os.path.join(out, "*.deb"))
    if result.returncode != 0 or len(built) != 1:
        raise Failure("cpack did not build one package: " + result.stdout + result.stderr)
    tree = os.path.join(out, "newer")
    subprocess.run(["dpkg-deb", "-R", built[0], tree], check=True, timeout=120)
    control = os.path.join(tree, "DEBIAN", "control")
    with open(control) as f:
        text = f.read()
    old = re.search(r"^Version: (\S+)$", text, re.M).group(1)
    with open(control, "w") as f:
        f.write(re.sub(r"^Version: .*$", "Version: " + NEWER, text, flags=re.M))
    newer = os.path.join(out, "newer.deb")
    subprocess.run(["dpkg-deb", "--build", "-Zgzip", tree, newer], check=True,
                   capture_output=True, timeout=300)
    shutil.rmtree(tree)
    check(subprocess.run(["dpkg", "--compare-versions", NEWER, "gt", old]).returncode == 0,
          "the newer package's version %s is above %s" % (NEWER, old))
    return INNER + "/pkg/" + os.path.basename(built[0]), INNER + "/pkg/newer.deb"


class Checks:
    def __init__(self, machine):
        self.m = machine

    def sh(self, script, **kw):
        """As the service user, whose files these are, while it exists."""
        return self.m.run(["sh", "-c", "if getent passwd veltra >/dev/null; then exec runuser "
                           "-u veltra -- sh -c \"$0\"; else exec sh -c \"$0\"; fi", script],
                          **kw)

    def root_sh(self, script, **kw):
        return self.m.run(["sh", "-c", script], **kw)

    def dpkg(self, *arguments):
        result = self.m.run(["dpkg"] + list(arguments))
        self.m.transcript += "$ dpkg %s\n%s%s" % (" ".join(arguments), result.stdout,
                                                  result.stderr)

    def diagnostics(self):
        log("--- dpkg")
        log(self.m.transcript[-4000:])
        for command in (["systemctl", "status", "veltra.service", "--no-pager"],
                        ["systemctl", "is-enabled", "veltra.service"],
                        ["tail", "-n", "30", APP + "/Service.txt"]):
            try:
                result = self.m.run(command, check_status=False, timeout=20)
                log("--- " + " ".join(command))
                log(result.stdout + result.stderr)
            except Exception as error:  # the namespace may be gone already
                log(str(error))

    def service(self):
        output = self.m.run(["systemctl", "show", "veltra.service", "--no-pager"]).stdout
        return dict(line.split("=", 1) for line in output.splitlines() if "=" in line)

    def starts(self):
        return self.root_sh("cat %s 2>/dev/null || true" % STARTS).stdout.count("started")

    def metrics(self):
        probe = ("import urllib.request,base64,sys\n"
                 "r=urllib.request.Request('http://127.0.0.1:8089/metrics',headers={"
                 "'Authorization':'Basic '+base64.b64encode(b'monitor:%s').decode()})\n"
                 "sys.stdout.write(urllib.request.urlopen(r,timeout=5).read().decode())\n"
                 % USER_PASSWORD)
        return self.m.run(["python3", "-c", probe], check_status=False).stdout

    def active(self, other_than=None):
        state = self.service()
        return (state.get("ActiveState") == "active" and state.get("MainPID", "0") != "0"
                and state.get("MainPID") != other_than)

    def kept(self):
        """What must survive an upgrade or a removal, as text to compare."""
        files = self.sh(
            "cd %s && for f in settings.ini html/Gate/1.html html/Gate/Gate.html; do"
            " echo \"== $f\"; cat $f; done; echo '== settings.db';"
            " sqlite3 settings.db .dump; echo '== doors.db'; sqlite3 doors.db .dump" % APP).stdout
        users = self.m.run(["runuser", "-u", "veltra", "--", APP + "/veltra-service",
                            "--list-users"], check_status=False).stdout
        return files, users

    def log_text(self, name):
        return self.sh("cat %s/%s 2>/dev/null || true" % (APP, name)).stdout

    def run_all(self, older, newer):
        self.dpkg("-i", older)
        check(wait_for(self.active, 30) and "Service started" in self.log_text("Service.txt"),
              "the first install starts the service")
        check(self.sh("getent passwd veltra").returncode == 0, "it created the user veltra")

        # A site's life: a user, a layout page from the Central server, a door journal entry.
        self.m.run(["runuser", "-u", "veltra", "--", APP + "/veltra-service", "--add-user",
                    "monitor", "--role", "viewer"], stdin=USER_PASSWORD + "\n")
        self.root_sh("mkdir -p %s/html/Gate && echo '<html>door 1</html>' > %s/html/Gate/1.html && "
                "cp %s/html/Gate/1.html %s/html/Gate/Gate.html && chown -R veltra:veltra %s/html"
                % ((APP,) * 5))
        self.m.run(["runuser", "-u", "veltra", "--", "sqlite3", APP + "/doors.db",
                    "INSERT INTO commands (time, user, address, io, ioName, doors, outputs, "
                    "result, reason, resultTime) VALUES (strftime('%s', 'now') * 1000, 'alice', "
                    "'10.0.0.12', 5, 'North', 'Front', '1=1', 'confirmed', '', "
                    "strftime('%s', 'now') * 1000)"])
        check(wait_for(lambda: "veltra_up 1" in self.metrics(), 20),
              "the status port serves /metrics with the viewer's login")
        before_files, before_users = self.kept()
        check("monitor" in before_users and "alice" in before_files and "door 1" in before_files,
              "the site has a user, a layout page and a door journal entry", before_users)
        before_log = self.log_text("Service.txt")
        pid = self.service()["MainPID"]
        starts = self.starts()

        self.dpkg("-i", newer)
        check(wait_for(lambda: self.active(other_than=pid), 30), "after the upgrade it runs")
        version = self.m.run(["dpkg-query", "-W", "-f=${Version}", PACKAGE]).stdout
        check(version == NEWER, "the newer package is installed", version)
        check(self.starts() == starts + 1, "the upgrade restarted the service once",
              "%d starts" % (self.starts() - starts))
        enabled = self.m.run(["systemctl", "is-enabled", "veltra.service"],
                             check_status=False).stdout.strip()
        check(enabled == "enabled", "the unit stays enabled", enabled)
        check(wait_for(lambda: "veltra_up 1" in self.metrics(), 20),
              "it serves /metrics, with the same login")
        after_files, after_users = self.kept()
        check(after_files == before_files,
              "settings.ini, settings.db, doors.db and the layout pages are unchanged")
        check(after_users == before_users, "the users are kept", after_users)
        old_log = self.log_text("Service.txt.1")
        check(old_log.startswith(before_log) and "Stopping service" in old_log
              and "Service started" in self.log_text("Service.txt"),
              "the log of the run before the upgrade is kept as Service.txt.1")

        self.dpkg("--remove", PACKAGE)
        check(wait_for(lambda: self.service().get("ActiveState") != "active", 20),
              "dpkg --remove stops the service")
        check(self.sh("test -e %s/veltra-service" % APP, check_status=False).returncode != 0,
              "... and removes the executable")
        removed_files = self.sh("cd %s && cat settings.ini html/Gate/1.html && "
                                "sqlite3 doors.db 'SELECT user FROM commands' && "
                                "ls settings.db Service.txt Service.txt.1" % APP,
                                check_status=False)
        check(removed_files.returncode == 0 and "alice" in removed_files.stdout
              and re.search(r"^monitor=\"?viewer:", removed_files.stdout, re.M),
              "... and keeps settings.ini with the users, settings.db, doors.db, the layout pages "
              "and the logs", removed_files.stdout + removed_files.stderr)
        check(self.sh("getent passwd veltra").returncode == 0, "... and the user")

        self.dpkg("--purge", PACKAGE)
        check(self.sh("test -e %s" % APP, check_status=False).returncode != 0,
              "dpkg --purge removes %s with everything in it" % APP)
        check(self.sh("getent passwd veltra || getent group veltra",
                      check_status=False).returncode != 0,
              "... and the user and group veltra")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--work-dir", required=True)
    args = parser.parse_args()

    build_dir = os.path.abspath(args.build_dir)
    cgroups = unit.find_prerequisites()
    for tool in ["cpack", "dpkg-deb", "pivot_root", "sqlite3"]:
        if shutil.which(tool) is None:
            unit.skip("no " + tool)
    work = os.path.abspath(args.work_dir)
    if work == "/run" or work.startswith("/run/"):
        log("FAIL: the work directory may not be under /run")
        return 1
    if os.path.exists(work):
        shutil.rmtree(work)
    os.makedirs(work)
    began = time.monotonic()
    machine = Machine(work, cgroups)
    checks = Checks(machine)
    try:
        older, newer = build_packages(build_dir, work)
        log("  packages built in %.1f s" % (time.monotonic() - began))
        machine.write_init()
        machine.boot()
        checks.run_all(older, newer)
    except (Failure, subprocess.SubprocessError, OSError, KeyError) as error:
        log("FAIL: %s" % error)
        if machine.init_pid is not None:
            checks.diagnostics()
        log("--- namespace set-up and systemd")
        log(machine.read("init.log")[-3000:])
        log(machine.read("console")[-3000:])
        return 1
    finally:
        machine.shutdown()
        shutil.rmtree(work, ignore_errors=True)
        log("  %.1f s in all" % (time.monotonic() - began))
    return 0


if __name__ == "__main__":
    sys.exit(main())
