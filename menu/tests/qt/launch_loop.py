#!/usr/bin/python3
"""Launches the tray application again and again, with and without a tray host.

Run inside scripts/with-session (private session bus and X display):
    launch_loop.py [--gdb] OMBRU_MENU OMBRU_DEV_DAEMON COUNT [HOST...]
HOST is none, xembed (trayer), sni (a StatusNotifierWatcher played here), or
xembed-late or sni-late (the host turns up while the application starts);
all five when none is named. Each launch must come up (first poll answered,
icon taken by the host when there is one) and then end by SIGTERM and
nothing else: an abort, a crash, an early exit or a hang is a failure. Every
second launch is ended at a random moment of its start-up instead.
With --gdb each launch runs under gdb, which prints the backtrace of a crash.
"""

import os
import random
import signal
import subprocess
import sys
import tempfile
import time

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_sni import WATCHER, Watcher, pump, start_daemon  # noqa: E402


def requests(log):
    try:
        with open(log) as f:
            return sum(1 for line in f if '"/state"' in line)
    except FileNotFoundError:
        return 0


def embedded():
    """True when an ombru-menu icon window is mapped in the XEmbed tray."""
    tree = subprocess.run(["xwininfo", "-root", "-tree"], capture_output=True, text=True).stdout
    return any('"ombru-menu" "ombru-menu"' in line and "x" in line.split(")")[-1]
               for line in tree.splitlines())


def children(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(c) for c in f.read().split()]
    except OSError:
        return []


def start_tray():
    tray = subprocess.Popen(["trayer", "--edge", "top", "--align", "left", "--widthtype",
                             "request", "--height", "28", "--SetDockType", "true"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return tray


class LateHost:
    """A tray host that turns up while the application starts, and goes after it."""

    def __init__(self, kind, bus):
        self.kind, self.bus, self.tray, self.name, self.watcher = kind, bus, None, None, None

    def arrive(self):
        if self.kind == "xembed-late":
            self.tray = start_tray()
        else:
            self.name = dbus.service.BusName(WATCHER, self.bus)
            self.watcher = Watcher(self.bus)

    def leave(self):
        if self.tray:
            self.tray.terminate()
            self.tray.wait(5)
        if self.watcher:
            self.watcher.remove_from_connection()
            self.bus.release_name(WATCHER)
        self.tray = self.name = self.watcher = None


def launch(app, host, log, watcher, work, use_gdb, early, late=None):
    """One launch; returns None when it went well, else what went wrong.
    An early launch is ended at a random moment of its start-up instead of
    once it is up."""
    polls = requests(log)
    registered = len(watcher.items) if watcher else 0
    err_path = os.path.join(work, "menu.err")
    cmd = [app]
    if use_gdb:
        cmd = ["gdb", "-q", "-batch", "-ex", "handle SIGTERM nostop noprint pass",
               "-ex", "run", "-ex", "thread apply all bt", "--args", app]
    env = dict(os.environ, QT_QPA_PLATFORM="xcb")
    with open(err_path, "w") as err:
        proc = subprocess.Popen(cmd, env=env, stdout=err, stderr=subprocess.STDOUT)
    if late:
        pump(lambda: False, random.uniform(0, 0.6))
        late.arrive()

    def up():
        if proc.poll() is not None:
            return True
        if requests(log) <= polls:
            return False
        if host == "sni":
            return len(watcher.items) > registered
        if host == "xembed":
            return embedded()
        return True

    if early:
        ready = pump(lambda: proc.poll() is not None, random.uniform(0, 0.8)) or True
    else:
        ready = pump(up, 20)
    if proc.poll() is None:
        time.sleep(random.uniform(0, 0.2))  # somewhere in its first moments
        if use_gdb:
            # To the program under gdb, which passes it on and then ends.
            for child in children(proc.pid):
                os.kill(child, signal.SIGTERM)
        else:
            proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        return "did not end on SIGTERM"
    finally:
        if late:
            late.leave()
    with open(err_path) as f:
        output = f.read()
    if use_gdb and ("received signal" in output or "exited with code" in output):
        return "gdb:\n" + output
    status = proc.returncode
    if not use_gdb and status != -signal.SIGTERM:
        what = ("killed by signal %d" % -status if status < 0 else "exited with status %d" % status)
        return "%s before SIGTERM (ready: %s)\n%s" % (what, ready, output[-3000:])
    if not ready:
        return "never came up\n" + output[-3000:]
    return None


def without_display(app):
    """A display that cannot be opened is a message and status 1, not an abort."""
    problems = []
    for display in [None, ":%d" % (9000 + os.getpid() % 900)]:
        env = dict(os.environ, QT_QPA_PLATFORM="xcb")
        env.pop("DISPLAY", None)
        if display:
            env["DISPLAY"] = display
        r = subprocess.run([app], env=env, capture_output=True, text=True, timeout=20)
        want = "cannot open display" if display else "DISPLAY is not set"
        ok = r.returncode == 1 and want in r.stderr
        print("%s without a display (DISPLAY=%s): status %d, %r" %
              ("ok  " if ok else "FAIL", display, r.returncode, r.stderr.strip()[-200:]),
              flush=True)
        if not ok:
            problems.append(display)
    return len(problems)


def main():
    args = sys.argv[1:]
    use_gdb = bool(args) and args[0] == "--gdb"
    if use_gdb:
        args = args[1:]
    if len(args) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    app, daemon_bin, count = args[0], args[1], int(args[2])
    hosts = args[3:] or ["none", "xembed", "sni", "xembed-late", "sni-late"]
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    work = tempfile.mkdtemp(prefix="ombru-launch.")
    log = os.path.join(work, "requests.log")
    procs = []
    failures = without_display(app)
    try:
        daemon = start_daemon(daemon_bin, None, log)
        if not daemon:
            return 1
        procs.append(daemon)
        for host in hosts:
            watcher = name = tray = None
            if host == "sni":
                name = dbus.service.BusName(WATCHER, bus)
                watcher = Watcher(bus)
            elif host == "xembed":
                tray = start_tray()
                pump(lambda: subprocess.run(["xdotool", "search", "--onlyvisible", "--class",
                                             "trayer"], capture_output=True).stdout, 5)
            start = time.monotonic()
            bad = 0
            for i in range(count):
                late = LateHost(host, bus) if host.endswith("-late") else None
                problem = launch(app, host, log, watcher, work, use_gdb, i % 2 == 1, late)
                if problem:
                    bad += 1
                    print("FAIL launch %d with host %s: %s" % (i + 1, host, problem), flush=True)
            print("%s %d launches with host %s, %d failed, %.1f s" %
                  ("ok  " if not bad else "FAIL", count, host, bad, time.monotonic() - start),
                  flush=True)
            failures += bad
            if tray:
                tray.terminate()
                tray.wait(5)
            if watcher:
                watcher.remove_from_connection()
                del name
    finally:
        for p in procs:
            if p.poll() is None:
                p.terminate()
                p.wait(5)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
