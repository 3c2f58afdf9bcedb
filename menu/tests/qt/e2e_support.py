"""What the menu's end-to-end tests share: checks, waits on events, the
stand-in daemon, processes stopped by pid, screenshots and the mark found in
them with its contrast.

Waits poll for the event they wait on (a request in the daemon's log, a
screen that stopped changing, a registered item) and give up after a bound;
none sleeps for a fixed time in the hope that something happened.
"""

import json
import os
import signal
import subprocess
import sys
import tempfile
import time

PORT = 8765

failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)
    return ok


def summary():
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


def arguments(doc):
    """The suite's arguments (the application, the stand-in daemon and the
    folder for screenshots, made here), or None after the usage."""
    if len(sys.argv) != 4:
        print(doc, file=sys.stderr)
        return None
    app, daemon_bin, shots = sys.argv[1:]
    os.makedirs(shots, exist_ok=True)
    return app, daemon_bin, shots


def said(path):
    with open(path) as f:
        return f.read()


def wait(until, seconds, step=0.1):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if until():
            return True
        time.sleep(step)
    return bool(until())


def run(*cmd, env=None):
    return subprocess.run(cmd, capture_output=True, text=True, env=env).stdout


def start_daemon(daemon_bin, scenario, log, env=None, seconds=0):
    """The stand-in daemon on PORT, or None (and a message) when it does not
    listen; a port in use is tried again for `seconds`."""
    cmd = [daemon_bin, "--port", str(PORT), "--log", log]
    if scenario:
        cmd += ["--scenario", scenario]
    end = time.monotonic() + seconds
    while True:
        daemon = subprocess.Popen(cmd, stderr=subprocess.PIPE, text=True, env=env)
        line = daemon.stderr.readline()
        if "listening on 127.0.0.1:%d" % PORT in line:
            return daemon
        daemon.terminate()
        daemon.wait(5)
        if "in use" not in line or time.monotonic() > end:
            print("FAIL the stand-in daemon did not listen on %d: %s" % (PORT, line.strip()))
            return None
        time.sleep(0.5)


def raw(path, w, h, x, y):
    """The RGB bytes of a region of a screenshot, row by row; empty when
    there is no such picture."""
    out = subprocess.run(["convert", path, "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage",
                          "-depth", "8", "rgb:-"], capture_output=True).stdout
    return out if len(out) == w * h * 3 else b""


def pixels(path, w, h, x, y):
    """RGB tuples of a region of a screenshot, row by row."""
    data = raw(path, w, h, x, y)
    if not data:
        return []
    return [[tuple(data[(r * w + c) * 3:(r * w + c) * 3 + 3]) for c in range(w)] for r in range(h)]


def luminance(rgb):
    def lin(v):
        v /= 255.0
        return v / 12.92 if v <= 0.03928 else ((v + 0.055) / 1.055) ** 2.4
    r, g, b = (lin(v) for v in rgb)
    return 0.2126 * r + 0.7152 * g + 0.0722 * b


def contrast(a, b):
    la, lb = sorted((luminance(a), luminance(b)), reverse=True)
    return (la + 0.05) / (lb + 0.05)


def far(p, q, limit):
    return max(abs(p[i] - q[i]) for i in range(3)) > limit


class Mark:
    """The mark as found in a strip of a screenshot (x, y, w, h): the pixels
    that stand out from the strip's commonest colour, its panel. A strip that
    holds other drawings (a clock, a menu button) is narrowed by the caller."""

    def __init__(self, path, strip):
        self.path = path
        x0, y0, w, h = strip
        rows = pixels(path, w, h, x0, y0)
        counts = {}
        for row in rows:
            for p in row:
                counts[p] = counts.get(p, 0) + 1
        self.background = max(counts, key=counts.get) if counts else (0, 0, 0)
        bg = self.background
        self.covered = [(x0 + c, y0 + r, p) for r, row in enumerate(rows)
                        for c, p in enumerate(row) if far(p, bg, 6)]
        self.ink, self.box = bg, None
        if not self.covered:
            return
        self.ink = max((p for _, _, p in self.covered),
                       key=lambda p: sum(abs(p[i] - bg[i]) for i in range(3)))
        xs = [c for c, _, _ in self.covered]
        ys = [r for _, r, _ in self.covered]
        self.box = (min(xs), min(ys), max(xs), max(ys))

    def centre(self):
        return ((self.box[0] + self.box[2]) // 2, (self.box[1] + self.box[3]) // 2)

    def strength(self):
        """How far the strongest pixel stands from the panel, 0..1 of 255 per channel."""
        return max(abs(self.ink[i] - self.background[i]) for i in range(3)) / 255.0

    def contrast(self):
        return contrast(self.ink, self.background)

    def opaque_share(self):
        full = sum(1 for _, _, p in self.covered if not far(p, self.ink, 8))
        return full / len(self.covered)


def check_mark(mark, where, max_side=None):
    """The listening mark shows, stands out at least 4.5:1 against the bar
    and is crisp (70 % of its covered pixels fully opaque); false when it is
    missing, so the caller can stop."""
    if not check(mark.box is not None and len(mark.covered) >= 20,
                 "the mark shows %s (%d pixels)" % (where, len(mark.covered))):
        return False
    ratio = mark.contrast()
    check(ratio >= 4.5, "listening mark %s %s %s: contrast %.2f:1"
          % (mark.ink, where, mark.background, ratio))
    side = mark.box[3] - mark.box[1] + 1
    check((max_side is None or side <= max_side) and mark.opaque_share() >= 0.7,
          "crisp at %d px: %.0f%% of covered pixels fully opaque"
          % (side, 100 * mark.opaque_share()))
    return True


class Session:
    """Processes by name, each stopped by its pid; the stand-in daemon's log;
    screenshots. `shooter` takes a path and writes a screenshot there."""

    def __init__(self, shots, strip, env=None, shooter=None):
        self.shots, self.strip = shots, strip
        self.env = dict(env if env is not None else os.environ)
        self.work = tempfile.mkdtemp(prefix="ombru-e2e.")
        self.log = os.path.join(self.work, "requests.log")
        self.procs = {}
        self.shooter = shooter or (lambda path: subprocess.run(
            ["import", "-window", "root", path], capture_output=True, env=self.env))
        self.count = 0

    def start(self, name, cmd, env=None, quiet=True, **kw):
        if quiet:
            kw.setdefault("stdout", subprocess.DEVNULL)
            kw.setdefault("stderr", subprocess.DEVNULL)
        self.procs[name] = subprocess.Popen(cmd, env=env or self.env, **kw)
        return self.procs[name]

    def stop(self, name):
        p = self.procs.pop(name, None)
        if p and p.poll() is None:
            p.send_signal(signal.SIGTERM)
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()

    def stop_all(self):
        for name in reversed(list(self.procs)):
            self.stop(name)

    def daemon(self, daemon_bin, scenario=None):
        d = start_daemon(daemon_bin, scenario, self.log, env=self.env, seconds=30)
        if d:
            self.procs["daemon"] = d
        return check(d is not None, "the stand-in daemon listens on %d" % PORT)

    def requests(self):
        out = []
        if os.path.exists(self.log):
            with open(self.log) as f:
                out = [json.loads(line) for line in f if line.strip()]
        return out

    def posts(self):
        return [(r.get("path"), r.get("body")) for r in self.requests()
                if r.get("method") == "POST"]

    def polls(self):
        return sum(1 for r in self.requests() if r.get("path") == "/state")

    def items(self, pid=None):
        """Our items the watcher lists, as (service, path): found by the pid
        behind each, whichever form the item registered with (its name, or
        its path on its connection)."""
        return items_of(pid or self.procs["menu"].pid)

    def registered(self, pid=None):
        return len(self.items(pid))

    def shot(self, name=None):
        self.count += 1
        path = os.path.join(self.shots if name else self.work,
                            (name or "shot-%d" % self.count) + ".png")
        self.shooter(path)
        return path

    def grab(self, region):
        """The RGB bytes of a region of the screen, straight from the display
        (no picture file: cheap enough to watch the screen with)."""
        x, y, w, h = region
        return subprocess.run(["import", "-window", "root", "-crop", "%dx%d+%d+%d" % (w, h, x, y),
                               "+repage", "-depth", "8", "rgb:-"], capture_output=True,
                              env=self.env).stdout

    def steady_shot(self, name, strip=None, seconds=6, changed=None):
        """A screenshot once the region has stopped changing: two grabs in a
        row alike (and, given `changed`, unlike those earlier bytes). The
        picture's path (None without a name) and the region's bytes."""
        region = strip or self.strip
        last = [None]

        def still():
            now = self.grab(region)
            same = now == last[0] and (changed is None or now != changed)
            last[0] = now
            return same
        wait(still, seconds, step=0.1)
        return (self.shot(name) if name else None), last[0]

    def mark(self, name, changed_from=None, strip=None):
        """The mark once the panel has settled (after a change from
        `changed_from`, a Mark, when given)."""
        x, y, w, h = strip or self.strip
        before = raw(changed_from.path, w, h, x, y) if changed_from else None
        path, _ = self.steady_shot(name, strip, changed=before)
        return Mark(path, strip or self.strip)

    def polled_mark(self, name, strip=None):
        """The mark after the next poll of the daemon has been shown."""
        start = self.polls()
        wait(lambda: self.polls() > start, 5)
        return self.mark(name, strip=strip)

    def after(self, act, region, name=None, seconds=5):
        """Does `act` and waits until the region of the screen has changed and
        settled (a menu opened, an entry lit); true when it changed."""
        before = self.grab(region)
        act()
        _, now = self.steady_shot(name, region, seconds, changed=before)
        return now is not None and now != before


# What a desktop draws, read from its own accessibility tree (pyatspi is
# imported where it is needed, so tests that read pixels only do without it).

def app_named(name):
    import pyatspi
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.name == name:
            return app
    return None


def nodes(root, keep, depth=0, prune=None):
    """Accessible nodes under root, depth first, for which keep() holds;
    subtrees for which prune() holds are not entered."""
    out = []
    if root is None or depth > 40:
        return out
    try:
        if keep(root):
            out.append(root)
        if prune and depth and prune(root):
            return out
        for child in root:
            out += nodes(child, keep, depth + 1, prune)
    except Exception:  # a node that went away while it was read
        pass
    return out


def extents(node):
    import pyatspi
    e = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    return e.x, e.y, e.width, e.height


def has(node, state):
    import pyatspi
    return node.getState().contains(getattr(pyatspi, "STATE_" + state))


def items_of(pid):
    import dbus
    bus = dbus.SessionBus()
    try:
        listed = bus.get_object("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher").Get(
            "org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems",
            dbus_interface=dbus.PROPERTIES_IFACE)
    except dbus.DBusException:
        return []
    out = []
    for entry in map(str, listed):
        # "name", "name/path", or GNOME's "name@/path"
        service, slash, path = entry.replace("@/", "/", 1).partition("/")
        try:
            owner = bus.call_blocking("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                      "org.freedesktop.DBus", "GetConnectionUnixProcessID",
                                      "s", (service,))
        except dbus.DBusException:
            continue
        if int(owner) == pid:
            out.append((service, slash + path if slash else "/StatusNotifierItem"))
    return out


def item_layout(service, path):
    """An item's top-level menu as its dbusmenu gives it: (label, enabled)
    for each visible entry, "---" for a separator."""
    import dbus
    bus = dbus.SessionBus()
    item = bus.get_object(service, path)
    menu_path = item.Get("org.kde.StatusNotifierItem", "Menu",
                         dbus_interface=dbus.PROPERTIES_IFACE)
    _, root = bus.get_object(service, menu_path).GetLayout(
        0, -1, dbus.Array([], signature="s"), dbus_interface="com.canonical.dbusmenu")
    out = []
    for _, props, _ in root[2]:
        if not bool(props.get("visible", True)):
            continue
        if str(props.get("type", "")) == "separator":
            out.append("---")
        else:
            out.append((str(props.get("label", "")), bool(props.get("enabled", True))))
    return out


def overlap(a, b):
    """Whether two rectangles (x, y, w, h) share any pixel."""
    return a[0] < b[0] + b[2] and b[0] < a[0] + a[2] and a[1] < b[1] + b[3] and b[1] < a[1] + a[3]
