#!/usr/bin/python3
"""The tray application in waybar on a headless sway, as a user sees and uses it.

    e2e_waybar.py OMBRU_MENU OMBRU_DEV_DAEMON SHOT_DIR
Run by e2e_wayland.sh, which gives it a user of its own (sway refuses to run
as root) and a private session bus. Starts sway with one headless output, a
pointer of its own on the seat, the application, and waybar 3 s later; then
looks at the bar's pixels and clicks the icon: the first right-click and a
left click must each open the application's menu drawn by waybar, never a
window of ours, and an entry chosen there must reach the stand-in daemon; a
restarted waybar must show the icon again; the three looks keep their
opacities. Screenshots go to SHOT_DIR.
"""

import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_support as e2e  # noqa: E402
from e2e_support import (arguments, check, check_mark, run, said, summary,  # noqa: E402
                         wait)
from wl_pointer import BTN_LEFT, BTN_RIGHT, VirtualPointer  # noqa: E402

WIDTH, HEIGHT, BAR = 1024, 600, 24
# Our menu as waybar draws it (e2e_state.json): 14 entries; the mute toggle
# is the ninth.
MENU_ENTRIES, MUTE_ENTRY = 14, 8
BELOW = (0, BAR, 500, HEIGHT - BAR)

WAYBAR_CONFIG = {"layer": "top", "position": "top", "height": BAR, "modules-left": ["tray"],
                 "tray": {"spacing": 4}}  # waybar's own icon size: 16 px
STYLES = {
    # waybar's own colours (its default style is a translucent dark bar with
    # white text), made opaque so that pixels can be measured
    "dark": "window#waybar { background: #2b303b; color: #ffffff; }",
    "light": "window#waybar { background: #f0f0f0; color: #202020; }",
}


class Session(e2e.Session):
    """sway for a display and waybar for a tray."""

    def __init__(self, shots):
        super().__init__(shots, (0, 0, WIDTH, BAR),
                         shooter=lambda path: subprocess.run(["grim", path], env=self.env,
                                                             capture_output=True))
        self.pointer = None

    def grab(self, region):
        x, y, w, h = region
        out = subprocess.run(["grim", "-g", "%d,%d %dx%d" % (x, y, w, h), "-t", "ppm", "-"],
                             env=self.env, capture_output=True).stdout
        return out[-w * h * 3:] if len(out) >= w * h * 3 else b""  # past the PPM header

    def stop_all(self):
        if self.pointer:
            self.pointer.close()
        super().stop_all()

    def sway(self):
        runtime = self.env["XDG_RUNTIME_DIR"]
        config = os.path.join(self.work, "sway.conf")
        with open(config, "w") as f:
            f.write("output HEADLESS-1 resolution %dx%d bg #808080 solid_color\n" % (WIDTH, HEIGHT))
        self.env.update(WLR_BACKENDS="headless", WLR_LIBINPUT_NO_DEVICES="1",
                        WLR_RENDERER="pixman")
        self.start("sway", ["sway", "-c", config])

        def named(prefix):
            found = [n for n in os.listdir(runtime) if n.startswith(prefix)
                     and not n.endswith(".lock")]
            return found[0] if found else None
        if not wait(lambda: named("wayland-") and named("sway-ipc."), 15):
            return False
        self.env["WAYLAND_DISPLAY"] = named("wayland-")
        self.env["SWAYSOCK"] = os.path.join(runtime, named("sway-ipc."))
        # The headless seat has no pointer; this gives it one before any bar
        # starts, as on a real desktop.
        self.pointer = VirtualPointer(runtime, self.env["WAYLAND_DISPLAY"], WIDTH, HEIGHT)
        return True

    def waybar(self, style):
        self.stop("waybar")
        config = os.path.join(self.work, "waybar.json")
        css = os.path.join(self.work, "waybar-%s.css" % style)
        with open(config, "w") as f:
            json.dump(WAYBAR_CONFIG, f)
        with open(css, "w") as f:
            f.write(STYLES[style])
        self.start("waybar", ["waybar", "-c", config, "-s", css])

    def our_windows(self):
        """Windows of the application in sway's tree (a popup of waybar's is none)."""
        pid = self.procs["menu"].pid

        def walk(node):
            n = 1 if node.get("pid") == pid else 0
            for key in ("nodes", "floating_nodes"):
                n += sum(walk(k) for k in node.get(key, []))
            return n
        try:
            return walk(json.loads(run("swaymsg", "-t", "get_tree", "-r", env=self.env)))
        except ValueError:
            return -1


def menu_entries(before, after):
    """The text lines of a popup that came up below the bar: (top, bottom, x) each."""
    a = e2e.pixels(before, 500, HEIGHT - BAR, 0, BAR)
    b = e2e.pixels(after, 500, HEIGHT - BAR, 0, BAR)
    if not a or not b:
        return []
    changed = [(r, c) for r in range(len(a)) for c in range(0, 500, 2) if a[r][c] != b[r][c]]
    if len(changed) < 2000:
        return []
    top, bottom = min(r for r, _ in changed), max(r for r, _ in changed)
    left, right = min(c for _, c in changed), max(c for _, c in changed)
    counts = {}
    for r in range(top, bottom + 1):
        for c in range(left, right + 1):
            counts[b[r][c]] = counts.get(b[r][c], 0) + 1
    paper = max(counts, key=counts.get)
    # Text, unlike separators, does not reach the popup's edges.
    inner = range(left + 12, min(right - 12, left + 260))
    rows = [r for r in range(top + 2, bottom - 1)
            if any(sum(abs(b[r][c][i] - paper[i]) for i in range(3)) > 120 for c in inner)]
    lines, start = [], None
    for i, r in enumerate(rows):
        if start is None:
            start = r
        if i + 1 == len(rows) or rows[i + 1] != r + 1:
            if r - start >= 4:
                lines.append((BAR + start, BAR + r, left + 40))
            start = None
    return lines


def choose_mute(s, pointer_button, x, y, what, base, n):
    """Clicks the icon, checks the popup is our menu, and clicks its mute toggle."""
    name = "waybar-%s-click" % what.replace(" ", "-")
    s.after(lambda: s.pointer.click(x, y, pointer_button), BELOW, name)
    shot = os.path.join(s.shots, name + ".png")
    lines = menu_entries(base, shot)
    check(len(lines) == MENU_ENTRIES, "a %s click shows our menu as waybar's popup: %d of %d "
          "entries" % (what, len(lines), MENU_ENTRIES))
    check(s.our_windows() == 0, "a %s click opens no window of ours" % what)
    if len(lines) != MENU_ENTRIES:
        s.pointer.click(WIDTH - 10, HEIGHT - 10)  # closes whatever opened
        return
    top, bottom, ex = lines[MUTE_ENTRY]
    s.pointer.click(ex, (top + bottom) // 2)
    check(wait(lambda: len(s.posts()) > n, 5), "the mute toggle chosen after a %s click reaches "
          "the daemon" % what)



def main():
    args = arguments(__doc__)
    if not args:
        return 2
    app, daemon_bin, shots = args
    s = Session(shots)
    try:
        if not check(s.sway(), "sway starts headless") or not s.daemon(daemon_bin):
            return 1
        err = os.path.join(s.work, "menu.err")
        with open(err, "w") as f:
            s.start("menu", [app], stderr=f)
        # An ordinary autostart race: the bar comes after the application has
        # looked for a tray and found none.
        check(wait(lambda: "no tray host found" in said(err), 10),
              "without a bar the application says so")
        s.waybar("light")
        check(wait(s.registered, 15), "the item registers with waybar started later")
        mark = s.polled_mark("waybar-light-listening")
        check(mark.box is not None, "the mark shows in the light bar")
        if mark.box is not None:
            # waybar draws our pixels as they are, and a Wayland client cannot
            # learn the bar's colour: the mark is drawn for waybar's own dark
            # style, so a light bar is measured, not held to that standard.
            print("note listening mark %s on the light bar %s: contrast %.2f:1"
                  % (mark.ink, mark.background, mark.contrast()))

        # Restarted, in waybar's own dark colours: the icon comes back.
        s.waybar("dark")
        check(wait(s.registered, 15), "the item registers again with a restarted waybar")
        mark = s.polled_mark("waybar-dark-listening")
        if not check_mark(mark, "on the restarted, dark bar", max_side=16):
            return 1
        full = mark.strength()
        x, y = mark.centre()

        choose_mute(s, BTN_RIGHT, x, y, "first right", mark.path, 0)
        check(s.posts()[:1] == [("/mute", {"muted": True})], "mute reaches the daemon: %s"
              % s.posts()[:1])
        muted = s.mark("waybar-dark-muted", changed_from=mark)
        check(abs(muted.strength() / full - 0.35) < 0.08, "muted look at %.2f of the listening "
              "one" % (muted.strength() / full))
        choose_mute(s, BTN_LEFT, x, y, "left", mark.path, 1)
        check(s.posts()[1:2] == [("/mute", {"muted": False})], "unmute reaches the daemon: %s"
              % s.posts()[1:2])
        unmuted = s.mark("waybar-dark-unmuted", changed_from=muted)
        s.stop("daemon")
        off = s.mark("waybar-dark-not-running", changed_from=unmuted)
        check(abs(off.strength() / full - 0.25) < 0.08,
              "not-running look at %.2f of the listening one" % (off.strength() / full))
        check(said(err).count("no tray host found") == 1,
              "'no tray host found' said once before waybar came: %r" % said(err)[-300:])
    finally:
        s.stop_all()
    return summary()


if __name__ == "__main__":
    sys.exit(main())
