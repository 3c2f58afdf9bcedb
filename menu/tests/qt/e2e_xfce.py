#!/usr/bin/python3
"""The tray application in Xfce's own panel, as a user sees and uses it.

Run inside scripts/with-session (private session bus and X display):
    e2e_xfce.py OMBRU_MENU OMBRU_DEV_DAEMON SHOT_DIR
Starts the application first and xfce4-panel with its Status Tray after it,
then looks at the panel's pixels and clicks the icon: the mark must show
crisp and readable on a dark and on a light panel, at each look's opacity;
the first right-click and a left-click must open the application's menu,
and an entry chosen there must reach the stand-in daemon; a restarted panel
must show the icon again. Last, the panel takes the application's XEmbed
icon (no session bus for it) in the panel's text colour, and its menu works.
Screenshots are left in SHOT_DIR.
"""

import json
import os
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_sni import check, failures, start_daemon  # noqa: E402

PANEL_HEIGHT = 24
SCREEN_WIDTH = 1280
XFCONFD = "/usr/lib/x86_64-linux-gnu/xfce4/xfconf/xfconfd"

PANEL_XML = """<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="%(size)d"/>
      <property name="background-style" type="uint" value="1"/>
      <property name="background-rgba" type="array">
        <value type="double" value="%(grey)s"/><value type="double" value="%(grey)s"/>
        <value type="double" value="%(grey)s"/><value type="double" value="1"/>
      </property>
      <property name="plugin-ids" type="array"><value type="int" value="1"/></property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray"/>
  </property>
</channel>
"""


def run(*cmd):
    return subprocess.run(cmd, capture_output=True, text=True).stdout


def pixels(path, w, h, x, y):
    """RGB tuples of a region of a screenshot, row by row."""
    raw = subprocess.run(["convert", path, "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage",
                          "-depth", "8", "rgb:-"], capture_output=True).stdout
    return [[tuple(raw[(r * w + c) * 3:(r * w + c) * 3 + 3]) for c in range(w)] for r in range(h)]


def luminance(rgb):
    def lin(v):
        v /= 255.0
        return v / 12.92 if v <= 0.03928 else ((v + 0.055) / 1.055) ** 2.4
    r, g, b = (lin(v) for v in rgb)
    return 0.2126 * r + 0.7152 * g + 0.0722 * b


def contrast(a, b):
    la, lb = sorted((luminance(a), luminance(b)), reverse=True)
    return (la + 0.05) / (lb + 0.05)


class Mark:
    """The mark as found in the panel strip of a screenshot."""

    def __init__(self, path):
        self.path = path
        rows = pixels(path, SCREEN_WIDTH, PANEL_HEIGHT, 0, 0)
        counts = {}
        for row in rows:
            for p in row:
                counts[p] = counts.get(p, 0) + 1
        self.background = max(counts, key=counts.get)
        bg = self.background
        self.covered = [(c, r, p) for r, row in enumerate(rows) for c, p in enumerate(row)
                        if max(abs(p[i] - bg[i]) for i in range(3)) > 6]
        if not self.covered:
            self.ink, self.box = bg, None
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

    def opaque_share(self):
        full = sum(1 for _, _, p in self.covered
                   if max(abs(p[i] - self.ink[i]) for i in range(3)) <= 8)
        return full / len(self.covered)


class Session:
    def __init__(self, app, daemon_bin, shots):
        self.app, self.daemon_bin, self.shots = app, daemon_bin, shots
        self.work = tempfile.mkdtemp(prefix="ombru-xfce.")
        self.log = os.path.join(self.work, "requests.log")
        self.config = os.path.join(self.work, "config")
        self.procs = {}

    def start(self, name, cmd, env=None, **kw):
        self.procs[name] = subprocess.Popen(cmd, env=env, **kw)
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

    def panel(self, dark):
        """(Re)starts xfce4-panel with a dark or light panel and its theme."""
        self.stop("panel")
        self.stop("xfconfd")
        channel = os.path.join(self.config, "xfce4", "xfconf", "xfce-perchannel-xml")
        os.makedirs(channel, exist_ok=True)
        with open(os.path.join(channel, "xfce4-panel.xml"), "w") as f:
            f.write(PANEL_XML % {"size": PANEL_HEIGHT, "grey": "0.2078" if dark else "0.9412"})
        env = dict(os.environ, XDG_CONFIG_HOME=self.config,
                   GTK_THEME="Adwaita:dark" if dark else "Adwaita")
        # Its own settings store, started here so that it reads this folder.
        self.start("xfconfd", [XFCONFD], env=env, stderr=subprocess.DEVNULL)
        time.sleep(0.3)
        self.start("panel", ["xfce4-panel"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)

    def registered(self):
        out = run("gdbus", "call", "--session", "--dest", "org.kde.StatusNotifierWatcher",
                  "--object-path", "/StatusNotifierWatcher", "--method",
                  "org.freedesktop.DBus.Properties.Get", "org.kde.StatusNotifierWatcher",
                  "RegisteredStatusNotifierItems")
        return "org.kde.StatusNotifierItem-%d-" % self.procs["menu"].pid in out

    def shot(self, name):
        path = os.path.join(self.shots, name + ".png")
        subprocess.run(["import", "-window", "root", path], capture_output=True)
        return path

    def posts(self):
        out = []
        if os.path.exists(self.log):
            with open(self.log) as f:
                for line in f:
                    r = json.loads(line)
                    if r.get("method") == "POST":
                        out.append((r.get("path"), r.get("body")))
        return out

    def polls(self):
        with open(self.log) as f:
            return sum(1 for line in f if '"/state"' in line)


def wait(until, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if until():
            return True
        time.sleep(0.1)
    return until()


def visible_windows(classname):
    return run("xdotool", "search", "--onlyvisible", "--classname", classname).split()


def settled_mark(s, name, daemon=True):
    """The mark once a poll has been shown and the panel has redrawn."""
    if daemon:
        start = s.polls()
        wait(lambda: s.polls() > start, 5)
    else:
        time.sleep(3.5)  # one poll interval, whose request fails
    time.sleep(1.0)
    return Mark(s.shot(name))


def choose_second_entry(s, before):
    """Down, Down, Return in the open menu: the first two enabled entries of
    ours are "Sessions · ..." and the mute toggle."""
    for key in ("Down", "Down", "Return"):
        subprocess.run(["xdotool", "key", key])
        time.sleep(0.3)
    return wait(lambda: len(s.posts()) > before, 5)


def check_mark(mark, where, max_side=None):
    """The listening mark shows, stands out at least 4.5:1 against the bar
    and is crisp (70 % of its covered pixels fully opaque); false when it is
    missing, so the caller can stop."""
    check(mark.box is not None and len(mark.covered) >= 20,
          "the mark shows %s (%d pixels)" % (where, len(mark.covered)))
    if mark.box is None:
        return False
    ratio = contrast(mark.ink, mark.background)
    check(ratio >= 4.5, "listening mark %s %s %s: contrast %.2f:1"
          % (mark.ink, where, mark.background, ratio))
    side = mark.box[3] - mark.box[1] + 1
    check((max_side is None or side <= max_side) and mark.opaque_share() >= 0.7,
          "crisp at %d px: %.0f%% of covered pixels fully opaque"
          % (side, 100 * mark.opaque_share()))
    return True


def click_icon(s, x, y, button, shot):
    """A click on the panel's icon, and a screenshot of what it opened."""
    subprocess.run(["xdotool", "mousemove", str(x), str(y)])
    time.sleep(0.3)
    subprocess.run(["xdotool", "click", str(button)])
    time.sleep(1.2)
    s.shot(shot)


def xembed(s, app, daemon_bin):
    """The same panel taking the application's XEmbed icon: the application
    has no session bus here, so it cannot offer its item over D-Bus."""
    s.stop("menu")
    s.panel(dark=True)
    daemon = start_daemon(daemon_bin, None, s.log)
    if not daemon:
        check(False, "the stand-in daemon starts again")
        return
    s.procs["daemon"] = daemon
    s.start("menu", [app], env=dict(os.environ, QT_QPA_PLATFORM="xcb",
                                     DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent"),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    posted = len(s.posts())
    mark = settled_mark(s, "xfce-xembed-dark-listening")
    if not check_mark(mark, "as an XEmbed icon in the dark panel"):
        return
    x, y = mark.centre()
    click_icon(s, x, y, 1, "xfce-xembed-click")
    check(choose_second_entry(s, posted), "a click on the XEmbed icon opens our menu: Mute "
          "is chosen")
    check(s.posts()[posted:] == [("/mute", {"muted": True})], "mute reaches the daemon: %s"
          % s.posts()[posted:])


def main():
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    app, daemon_bin, shots = sys.argv[1:]
    os.makedirs(shots, exist_ok=True)
    s = Session(app, daemon_bin, shots)
    try:
        daemon = start_daemon(daemon_bin, None, s.log)
        if not daemon:
            return 1
        s.procs["daemon"] = daemon
        err = os.path.join(s.work, "menu.err")
        with open(err, "w") as f:
            s.start("menu", [app], env=dict(os.environ, QT_QPA_PLATFORM="xcb"),
                    stdout=f, stderr=subprocess.STDOUT)
        time.sleep(2.0)  # an ordinary autostart race: the panel comes later

        # A dark panel with its dark theme, started after the application.
        s.panel(dark=True)
        check(wait(s.registered, 15), "the item registers with a panel started 2 s later")
        with open(err) as f:
            said = f.read()
        check(said.count("no tray host found") == 1,
              "'no tray host found' said once before the panel came: %r" % said[-300:])
        mark = settled_mark(s, "xfce-dark-listening")
        if not check_mark(mark, "on the dark panel"):
            return 1
        full = mark.strength()

        # First right-click: the application's menu, and its mute entry works.
        x, y = mark.centre()
        click_icon(s, x, y, 3, "xfce-right-click")
        check(visible_windows("ombru-menu") == [], "no window of the application opens")
        check(choose_second_entry(s, 0), "the first right-click shows our menu: Mute is chosen")
        check(s.posts()[:1] == [("/mute", {"muted": True})], "mute reaches the daemon: %s"
              % s.posts()[:1])

        muted = settled_mark(s, "xfce-dark-muted").strength()
        check(abs(muted / full - 0.35) < 0.08, "muted look at %.2f of the listening one" %
              (muted / full))

        # Left click: the panel shows the same menu (the item is a menu).
        click_icon(s, x, y, 1, "xfce-left-click")
        check(visible_windows("ombru-menu") == [], "a left click opens no window of ours")
        check(choose_second_entry(s, 1), "a left click shows our menu: Unmute is chosen")
        check(s.posts()[1:2] == [("/mute", {"muted": False})], "unmute reaches the daemon: %s"
              % s.posts()[1:2])

        # The panel restarted, light this time: the icon comes back.
        s.panel(dark=False)
        check(wait(s.registered, 15), "the item registers again with the restarted panel")
        mark = settled_mark(s, "xfce-light-listening")
        check(mark.box is not None, "the mark shows in the restarted panel")
        if mark.box is not None:
            ratio = contrast(mark.ink, mark.background)
            check(ratio >= 4.5, "listening mark %s on the light panel %s: contrast %.2f:1"
                  % (mark.ink, mark.background, ratio))
            full = mark.strength()
            s.stop("daemon")
            off = settled_mark(s, "xfce-light-not-running", daemon=False)
            check(abs(off.strength() / full - 0.25) < 0.08,
                  "not-running look at %.2f of the listening one" % (off.strength() / full))

        xembed(s, app, daemon_bin)
    finally:
        s.stop_all()
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
