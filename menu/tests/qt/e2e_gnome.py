#!/usr/bin/python3
"""The tray application in GNOME Shell's top bar, with Debian's AppIndicator
extension, as a user sees and uses it.

    e2e_gnome.py x11|wayland OMBRU_MENU OMBRU_DEV_DAEMON SHOT_DIR
Run by e2e_desktop.sh (private home, Xvfb, session and accessibility buses).
Starts the shell on the X display (x11), or nested in a window of it as a
Wayland compositor (wayland), with a bus of its own in the place of the
system bus, which it needs to start. What the shell draws is read from its
own accessibility tree (the icon's button, the entries of its menu) and from
screenshots (the mark and its contrast against the top bar).
Checks: the mark stands out at least 4.5:1; the menu the shell draws equals
the item's layout after every change (daemon up, muted, down, up again);
Mute chosen in the shell's menu reaches the stand-in daemon; no window of
ours; exactly one icon after each of 20 turns of the extension off and on
and, on X11, after each of 5 restarts of the shell.
"""

import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import (Mark, Session, app_named, check, check_mark, extents, has,  # noqa: E402
                         item_layout, nodes, run, summary, wait)

EXTENSION = "ubuntu-appindicators@ubuntu.com"
TITLE = "Ombru Voice"
BAR = 32  # the top bar's height at scale 1
TOGGLES, RESTARTS = 20, 5
SETTINGS = [
    ("org.gnome.shell", "enabled-extensions", "['%s']" % EXTENSION),
    ("org.gnome.shell", "welcome-dialog-last-shown-version", "'999'"),
    ("org.gnome.desktop.interface", "toolkit-accessibility", "true"),
    ("org.gnome.desktop.interface", "enable-animations", "false"),
]


def overview(n):
    """The overview's subtree, large and never holding the top bar or a menu."""
    return n.name == "Overview"


class Gnome(Session):
    def __init__(self, mode, shots):
        super().__init__(shots, (0, 0, 1280, BAR))
        self.mode = mode
        self.env["XDG_RUNTIME_DIR"] = os.environ.get("OMBRU_RUNTIME_DIR",
                                                     self.env["XDG_RUNTIME_DIR"])

    def system_bus(self):
        out = os.path.join(self.work, "system-bus")
        with open(out, "w") as f:
            self.start("system-bus", ["dbus-daemon", "--session", "--nofork",
                                      "--print-address=1"], stdout=f)
        wait(lambda: os.path.getsize(out) > 0, 5)
        with open(out) as f:
            self.env["DBUS_SYSTEM_BUS_ADDRESS"] = f.readline().strip()

    def names(self):
        return run("gdbus", "call", "--session", "--dest", "org.freedesktop.DBus",
                   "--object-path", "/", "--method", "org.freedesktop.DBus.ListNames",
                   env=self.env)

    def shell_app(self):
        return app_named("gnome-shell")

    def shell(self):
        """Starts the shell; true once its watcher is on the bus and it has
        left the overview it starts in."""
        cmd = ["gnome-shell", "--x11", "--replace"] if self.mode == "x11" else \
            ["gnome-shell", "--nested", "--wayland", "--no-x11"]
        log = open(os.path.join(self.work, "shell.log"), "a")
        self.start("shell", cmd, stdout=log, stderr=subprocess.STDOUT)
        if not wait(lambda: "org.kde.StatusNotifierWatcher" in self.names(), 30):
            return False
        if not wait(lambda: self.shell_app() is not None, 10):
            return False
        # The overview a session starts in makes the top bar see-through.
        return wait(self.left_overview, 10, step=0.3)

    def left_overview(self):
        shown = nodes(self.shell_app(), lambda n: overview(n) and has(n, "SHOWING"),
                      prune=overview)
        if shown:
            subprocess.run(["xdotool", "key", "Escape"], env=self.env)
        return not shown

    def icons(self):
        """Our icons in the top bar: the buttons named by the item's tool tip."""
        return nodes(self.shell_app(), lambda n: n.getRoleName() == "menu"
                     and n.name.startswith(TITLE) and has(n, "SHOWING"), prune=overview)

    def icon(self):
        found = self.icons()
        return found[0] if len(found) == 1 else None

    def one_icon(self, seconds):
        """Exactly one icon, and no second one within a moment after."""
        if not wait(lambda: len(self.icons()) == 1, seconds):
            return False
        return not wait(lambda: len(self.icons()) != 1, 1.5)

    def drawn_menu(self):
        """The entries of the open menu as the shell draws them: (label,
        enabled) each, "---" for a separator."""
        items = nodes(self.shell_app(), lambda n: n.getRoleName() == "menu item"
                      and has(n, "SHOWING"), prune=overview)
        out = []
        for item in sorted(items, key=lambda n: extents(n)[1]):
            labels = [n.name for n in nodes(item, lambda n: n.getRoleName() == "label")
                      if n.name]
            if not labels and extents(item)[3] <= 2:
                out.append("---")
            else:
                out.append((labels[-1] if labels else "", has(item, "SENSITIVE")))
        return out

    def layout(self):
        """The item's own top-level layout, in the same form."""
        found = self.items()
        return item_layout(*found[0]) if found else []

    def open_menu(self, shot):
        icon = self.icon()
        if icon is None:
            return False
        x, y, w, h = extents(icon)
        subprocess.run(["xdotool", "mousemove", str(x + w // 2), str(y + h // 2), "click", "1"],
                       env=self.env)
        opened = wait(lambda: len(self.drawn_menu()) > 2, 5)
        self.shot(shot)
        return opened

    def close_menu(self):
        subprocess.run(["xdotool", "key", "Escape"], env=self.env)
        wait(lambda: not self.drawn_menu(), 5)

    def menu_matches(self, when):
        """Opens the shell's menu and compares it with the item's layout."""
        if not check(self.open_menu("gnome-menu-" + when.replace(" ", "-")),
                     "the shell opens our menu %s" % when):
            return
        ok = wait(lambda: self.drawn_menu() == self.layout(), 5)
        drawn, layout = self.drawn_menu(), self.layout()
        check(ok, "the menu the shell draws %s equals the item's layout: %s%s"
              % (when, drawn, "" if ok else " vs %s" % layout))
        self.close_menu()

    def choose(self, label):
        """Clicks an entry of the open menu, as drawn by the shell."""
        for item in nodes(self.shell_app(), lambda n: n.getRoleName() == "menu item"
                          and has(n, "SHOWING"), prune=overview):
            if label in [n.name for n in nodes(item, lambda n: n.getRoleName() == "label")]:
                x, y, w, h = extents(item)
                subprocess.run(["xdotool", "mousemove", str(x + w // 2), str(y + h // 2),
                                "click", "1"], env=self.env)
                return True
        return False

    def tooltip_is(self, text):
        icon = self.icon()
        return icon is not None and icon.name == "%s — %s" % (TITLE, text)


def setup(s):
    s.system_bus()
    for schema, key, value in SETTINGS:
        subprocess.run(["gsettings", "set", schema, key, value], env=s.env)
    return check(s.shell(), "GNOME Shell (%s) starts with the extension's watcher" % s.mode)


def states(s, daemon_bin):
    """The mark, and the menu after each change of the daemon's state."""
    icon = s.icon()
    x, _, w, _ = extents(icon)
    mark = Mark(s.steady_shot("gnome-%s-listening" % s.mode, (x, 0, w, BAR))[0], (x, 0, w, BAR))
    check_mark(mark, "in the top bar")
    s.menu_matches("with the daemon up")

    check(s.open_menu("gnome-menu-mute") and s.choose("Mute"), "Mute is in the shell's menu")
    check(wait(lambda: s.posts()[-1:] == [("/mute", {"muted": True})], 5),
          "Mute chosen in the shell's menu reaches the daemon: %s" % s.posts()[-1:])
    s.close_menu()
    check(wait(lambda: s.tooltip_is("muted"), 8), "the icon says muted")
    s.menu_matches("when muted")

    s.stop("daemon")
    check(wait(lambda: s.tooltip_is("not running"), 10), "the icon says not running")
    s.menu_matches("with the daemon down")

    s.daemon(daemon_bin)
    check(wait(lambda: s.tooltip_is("listening"), 10), "the icon says listening again")
    s.menu_matches("with the daemon up again")


def toggles(s):
    """The extension off and on, as a screen lock does."""
    seen = []
    for _ in range(TOGGLES):
        run("gnome-extensions", "disable", EXTENSION, env=s.env)
        wait(lambda: not s.icons(), 5)
        run("gnome-extensions", "enable", EXTENSION, env=s.env)
        s.one_icon(10)
        seen.append(len(s.icons()))
        if seen[-2:] == [0, 0]:
            break  # lost for good: more turns would only wait
    check(seen.count(1) == TOGGLES, "exactly one icon after %d of %d turns of the extension "
          "off and on (icons after each: %s)" % (seen.count(1), TOGGLES, seen))


def restarts(s):
    seen = []
    for _ in range(RESTARTS):
        s.stop("shell")
        s.shell() and s.one_icon(15)
        seen.append(len(s.icons()))
        if seen[-2:] == [0, 0]:
            break
    check(seen.count(1) == RESTARTS, "exactly one icon after %d of %d shell restarts (icons "
          "after each: %s)" % (seen.count(1), RESTARTS, seen))


def main():
    if len(sys.argv) != 5 or sys.argv[1] not in ("x11", "wayland"):
        print(__doc__, file=sys.stderr)
        return 2
    mode, app, daemon_bin, shots = sys.argv[1:]
    os.makedirs(shots, exist_ok=True)
    s = Gnome(mode, shots)
    try:
        if not setup(s) or not s.daemon(daemon_bin):
            return summary()
        env = dict(s.env, QT_QPA_PLATFORM="xcb" if mode == "x11" else "wayland")
        if mode == "wayland":
            env["WAYLAND_DISPLAY"] = "wayland-0"
        with open(os.path.join(s.work, "menu.err"), "w") as err:
            s.start("menu", [app], env=env, stderr=err)
        if not check(s.one_icon(15), "one icon of ours in the top bar"):
            return summary()
        states(s, daemon_bin)
        if mode == "x11":
            check(run("xdotool", "search", "--onlyvisible", "--pid", str(s.procs["menu"].pid),
                      env=s.env).split() == [], "no window of ours")
        toggles(s)
        if mode == "x11":
            restarts(s)
    finally:
        s.stop_all()
        with open(os.path.join(s.work, "menu.err")) as f:
            print("ombru-menu said: %r" % f.read()[-600:])
        with open(os.path.join(s.work, "shell.log")) as f:
            said = [line for line in f if "StatusNotifier" in line or "ndicator" in line]
            print("the shell said: %s" % "".join(said[-10:]))
    return summary()


if __name__ == "__main__":
    sys.exit(main())
