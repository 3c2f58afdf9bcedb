#!/usr/bin/python3
"""The tray application in Plasma's system tray on X11, in Breeze and Breeze
Dark, as a user sees and uses it.

    e2e_plasma.py OMBRU_MENU OMBRU_DEV_DAEMON SHOT_DIR
Run by e2e_desktop.sh with KDE_FULL_SESSION=true and KDE_SESSION_VERSION=5
set before the session bus starts (else kded never offers the watcher).
Starts kwin_x11, kded5, xembedsniproxy and plasmashell with Debian's default
panel at the bottom. The icon is found in plasmashell's accessibility tree;
the mark, and the menus Plasma draws, are read from screenshots (Plasma's
popup menus are not in its accessibility tree): the rows of a menu, its
separators and which rows are greyed must match the item's layout after each
change (daemon up, muted, down, up again). Mute chosen in Plasma's menu must
reach the stand-in daemon; the mark must stand out at least 4.5:1 from the
panel in both looks; a left click must open a menu that leaves the panel
uncovered.
"""

import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import (Session, app_named, arguments, check, check_mark, contrast, extents,  # noqa: E402
                         has, item_layout, nodes, overlap, raw, run, summary, wait)

WIDTH, HEIGHT = 1280, 1024  # scripts/with-session's screen
LOOKS = {"light": "org.kde.breeze.desktop", "dark": "org.kde.breezedark.desktop"}
TITLE = "Ombru Voice"


def hidden(node):
    """A subtree not on screen (the tray's closed popups hold many nodes)."""
    return not has(node, "SHOWING")


def menu_rows(before, after):
    """The popup that opened between two screenshots, as Plasma drew it:
    its rectangle and its rows, ("---", y) for a separator, else (True, y)
    for an entry drawn in full strength and (False, y) for a greyed one."""
    a, data = raw(before, WIDTH, HEIGHT, 0, 0), raw(after, WIDTH, HEIGHT, 0, 0)
    if not a or not data:
        return None, []

    def at(r, c):
        i = (r * WIDTH + c) * 3
        return tuple(data[i:i + 3])
    changed = [(c, r) for r in range(0, HEIGHT, 2) for c in range(0, WIDTH, 2)
               if a[(r * WIDTH + c) * 3:(r * WIDTH + c) * 3 + 3] != data[(r * WIDTH + c) * 3:
                                                                       (r * WIDTH + c) * 3 + 3]]
    if len(changed) < 500:
        return None, []
    # The menu's paper is the commonest new colour; its extent is the menu's,
    # without the shadow around it or a lit icon in the panel.
    counts = {}
    for c, r in changed:
        counts[at(r, c)] = counts.get(at(r, c), 0) + 1
    paper = max(counts, key=counts.get)
    on = [(c, r) for c, r in changed if at(r, c) == paper]
    left, right = min(c for c, _ in on), max(c for c, _ in on)
    top, bottom = min(r for _, r in on), max(r for _, r in on)
    b = {r: [at(r, c) for c in range(WIDTH)] for r in range(top, bottom + 1)}
    inner = range(left + 8, right - 8)
    rows, start = [], None
    for r in range(top + 3, bottom - 2):
        ink = [b[r][c] for c in inner if b[r][c] != paper]
        line = len(ink) > 0.8 * len(inner)  # a separator spans the menu
        text = 0 < len(ink) and not line
        if line:
            rows.append(("---", r))
        if text and start is None:
            start, strongest = r, 1.0
        if text:
            strongest = max([strongest] + [contrast(p, paper) for p in ink])
        if not text and start is not None:
            if r - start >= 5:
                rows.append((strongest >= 6.0, (start + r) // 2))
            start = None
    # A separator drawn two pixels thick is one separator; a line at the
    # top or the bottom is the menu's frame (Breeze Dark draws one).
    merged = [x for i, x in enumerate(rows)
              if not (x[0] == "---" and i and rows[i - 1][0] == "---")]
    while merged and merged[-1][0] == "---":
        merged.pop()
    while merged and merged[0][0] == "---":
        merged.pop(0)
    return (left, top, right - left + 1, bottom - top + 1), merged


class Plasma(Session):
    def __init__(self, shots):
        super().__init__(shots, (0, HEIGHT - 44, WIDTH, 44))
        self.env["XDG_RUNTIME_DIR"] = os.environ.get("OMBRU_RUNTIME_DIR",
                                                     self.env["XDG_RUNTIME_DIR"])
        # plasma-apply-lookandfeel writes a look's settings as defaults in
        # kdedefaults, which a Plasma session (startplasma) puts first among
        # the configuration folders.
        self.env["XDG_CONFIG_DIRS"] = os.path.join(self.env["XDG_CONFIG_HOME"], "kdedefaults") + \
            ":" + self.env.get("XDG_CONFIG_DIRS", "/etc/xdg")

    def names(self):
        return run("gdbus", "call", "--session", "--dest", "org.freedesktop.DBus",
                   "--object-path", "/", "--method", "org.freedesktop.DBus.ListNames",
                   env=self.env)

    def desktop(self):
        self.start("kwin", ["kwin_x11", "--replace"])
        self.start("kded", ["kded5"])
        self.start("xembedsniproxy", ["xembedsniproxy"])
        return wait(lambda: "org.kde.StatusNotifierWatcher" in self.names(), 20)

    def shell(self, look):
        """(Re)starts plasmashell in a look; true once its tray hosts items."""
        self.stop("plasmashell")
        run("plasma-apply-lookandfeel", "-a", LOOKS[look], env=self.env)
        self.start("plasmashell", ["plasmashell"])
        return wait(lambda: "org.kde.StatusNotifierHost" in self.names(), 30)

    def icon(self):
        found = nodes(app_named("plasmashell"), lambda n: n.name == TITLE
                      and n.getRoleName() == "push button", prune=hidden)
        return extents(found[0]) if len(found) == 1 else None

    def panel(self):
        found = nodes(app_named("plasmashell"), lambda n: n.getRoleName() == "frame"
                      and extents(n)[1] > 0 and extents(n)[2] == WIDTH, prune=hidden)
        return extents(found[0]) if found else None

    def layout(self):
        found = self.items()
        return item_layout(*found[0]) if found else []

    def click_icon(self, button, name):
        """Clicks the icon; the popup that opened and its rows."""
        x, y, w, h = self.icon()
        subprocess.run(["xdotool", "mousemove", str(x + w // 2), str(y + h // 2)], env=self.env)
        before = self.shot()
        opened = self.after(lambda: subprocess.run(["xdotool", "click", str(button)],
                                                   env=self.env), (0, 0, WIDTH, HEIGHT), name)
        return menu_rows(before, self.shot(name)) if opened else (None, [])

    def close_menu(self):
        subprocess.run(["xdotool", "key", "Escape"], env=self.env)
        self.steady_shot(None, (0, 0, WIDTH, HEIGHT), seconds=3)

    def menu_matches(self, when, look):
        """Opens Plasma's menu and compares its rows with the item's layout;
        the layout and the rows drawn, which stays open."""
        rect, rows = self.click_icon(3, "plasma-%s-menu-%s" % (look, when.replace(" ", "-")))
        layout = self.layout()
        want = [r if r == "---" else r[1] for r in layout]
        got = [r[0] for r in rows]
        check(rect is not None and got == want, "Plasma's menu %s (%s) has the item's rows, "
              "separators and greyed entries: %s%s" % (when, look, got,
                                                        "" if got == want else " vs %s" % want))
        return rect, layout, rows


def states(s, look, daemon_bin):
    rect, layout, rows = s.menu_matches("with the daemon up", look)
    if ("Mute", True) in layout and len(rows) == len(layout):
        y = rows[layout.index(("Mute", True))][1]
        x = rect[0] + 60
        n = len(s.posts())
        subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "1"], env=s.env)
        check(wait(lambda: s.posts()[n:] == [("/mute", {"muted": True})], 5),
              "Mute chosen in Plasma's menu reaches the daemon: %s" % s.posts()[n:])
    s.close_menu()
    check(wait(lambda: ("Unmute", True) in s.layout(), 8), "the item's menu offers Unmute")
    s.menu_matches("when muted", look)
    s.close_menu()
    s.stop("daemon")
    check(wait(lambda: len(s.layout()) == 5, 10), "the item's menu shrinks with the daemon down")
    s.menu_matches("with the daemon down", look)
    s.close_menu()
    s.daemon(daemon_bin)
    check(wait(lambda: len(s.layout()) > 5, 10), "the item's menu grows with the daemon up")
    s.menu_matches("with the daemon up again", look)
    s.close_menu()


def main():
    args = arguments(__doc__)
    if not args:
        return 2
    app, daemon_bin, shots = args
    s = Plasma(shots)
    try:
        if not check(s.desktop(), "kwin, kded's watcher and xembedsniproxy start") or \
                not s.daemon(daemon_bin):
            return summary()
        s.start("menu", [app], env=dict(s.env, QT_QPA_PLATFORM="xcb"))
        for look in ("light", "dark"):
            if not check(s.shell(look) and wait(lambda: s.icon() is not None, 15),
                         "the icon shows in Plasma's tray (%s)" % look):
                continue
            x, y, w, h = s.icon()
            # The pointer away, so that the icon is not lit as under it.
            subprocess.run(["xdotool", "mousemove", str(WIDTH // 2), str(HEIGHT // 2)],
                           env=s.env)
            mark = s.mark("plasma-%s-listening" % look, strip=(x, y, w, h))
            check_mark(mark, "in the %s panel" % look)
            # Plasma answers a left click with Activate, wherever the item
            # says it is a menu: what opens must leave the panel uncovered.
            rect, _ = s.click_icon(1, "plasma-%s-left-click" % look)
            panel = s.panel()
            check(rect is not None and panel is not None and not overlap(rect, panel)
                  and rect[0] >= 0 and rect[1] >= 0 and rect[0] + rect[2] <= WIDTH,
                  "a left click opens a menu %s beside the panel %s, on the screen"
                  % (rect, panel))
            s.close_menu()
            states(s, look, daemon_bin)
    finally:
        s.stop_all()
    return summary()


if __name__ == "__main__":
    sys.exit(main())
