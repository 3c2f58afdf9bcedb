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

import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import (Session, arguments, check, check_mark, run, said, summary,  # noqa: E402
                         wait)

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


STRIP = (0, 0, SCREEN_WIDTH, PANEL_HEIGHT)
BELOW = (0, PANEL_HEIGHT, 400, 400)  # where the panel's menus open


class Panel(Session):
    """A private session with xfce4-panel for a tray."""

    def __init__(self, shots):
        super().__init__(shots, STRIP)
        self.config = os.path.join(self.work, "config")

    def panel(self, dark):
        """(Re)starts xfce4-panel with a dark or light panel and its theme."""
        self.stop("panel")
        self.stop("xfconfd")
        channel = os.path.join(self.config, "xfce4", "xfconf", "xfce-perchannel-xml")
        os.makedirs(channel, exist_ok=True)
        with open(os.path.join(channel, "xfce4-panel.xml"), "w") as f:
            f.write(PANEL_XML % {"size": PANEL_HEIGHT, "grey": "0.2078" if dark else "0.9412"})
        env = dict(self.env, XDG_CONFIG_HOME=self.config,
                   GTK_THEME="Adwaita:dark" if dark else "Adwaita")
        # Its own settings store, started here so that it reads this folder;
        # the panel asks for it on the bus, so it must own its name first.
        self.start("xfconfd", [XFCONFD], env=env)
        wait(lambda: "org.xfce.Xfconf" in run("dbus-send", "--session", "--print-reply",
                                              "--dest=org.freedesktop.DBus", "/",
                                              "org.freedesktop.DBus.ListNames"), 5)
        self.start("panel", ["xfce4-panel"], env=env)


def visible_windows(classname):
    return run("xdotool", "search", "--onlyvisible", "--classname", classname).split()


def choose_second_entry(s, before):
    """Down, Down, Return in the open menu: the first two enabled entries of
    ours are "Sessions · ..." and the mute toggle. Each key waits until the
    menu has redrawn its lit entry."""
    for key in ("Down", "Down"):
        s.after(lambda: subprocess.run(["xdotool", "key", key]), BELOW)
    subprocess.run(["xdotool", "key", "Return"])
    return wait(lambda: len(s.posts()) > before, 5)


def click_icon(s, x, y, button, shot):
    """A click on the panel's icon; true once a menu has opened below it."""
    subprocess.run(["xdotool", "mousemove", str(x), str(y)])
    return s.after(lambda: subprocess.run(["xdotool", "click", str(button)]), BELOW, shot)



def xembed(s, app, daemon_bin):
    """The same panel taking the application's XEmbed icon: the application
    has no session bus here, so it cannot offer its item over D-Bus."""
    s.stop("menu")
    s.panel(dark=True)
    if not s.daemon(daemon_bin):
        return
    s.start("menu", [app], env=dict(s.env, QT_QPA_PLATFORM="xcb",
                                     DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent"))
    posted = len(s.posts())
    mark = s.polled_mark("xfce-xembed-dark-listening")
    if not check_mark(mark, "as an XEmbed icon in the dark panel"):
        return
    x, y = mark.centre()
    click_icon(s, x, y, 1, "xfce-xembed-click")
    check(choose_second_entry(s, posted), "a click on the XEmbed icon opens our menu: Mute "
          "is chosen")
    check(s.posts()[posted:] == [("/mute", {"muted": True})], "mute reaches the daemon: %s"
          % s.posts()[posted:])


def main():
    args = arguments(__doc__)
    if not args:
        return 2
    app, daemon_bin, shots = args
    s = Panel(shots)
    try:
        if not s.daemon(daemon_bin):
            return 1
        err = os.path.join(s.work, "menu.err")
        with open(err, "w") as f:
            s.start("menu", [app], env=dict(s.env, QT_QPA_PLATFORM="xcb"), stdout=f,
                    stderr=subprocess.STDOUT)
        # An ordinary autostart race: the panel comes after the application
        # has looked for one and found none.
        check(wait(lambda: "no tray host found" in said(err), 10),
              "without a panel the application says so")

        # A dark panel with its dark theme, started after the application.
        s.panel(dark=True)
        check(wait(s.registered, 15), "the item registers with a panel started later")
        check(said(err).count("no tray host found") == 1,
              "'no tray host found' said once before the panel came: %r" % said(err)[-300:])
        mark = s.polled_mark("xfce-dark-listening")
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

        muted = s.mark("xfce-dark-muted", changed_from=mark).strength()
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
        mark = s.polled_mark("xfce-light-listening")
        check(mark.box is not None, "the mark shows in the restarted panel")
        if mark.box is not None:
            check(mark.contrast() >= 4.5, "listening mark %s on the light panel %s: contrast "
                  "%.2f:1" % (mark.ink, mark.background, mark.contrast()))
            full = mark.strength()
            s.stop("daemon")
            off = s.mark("xfce-light-not-running", changed_from=mark)
            check(abs(off.strength() / full - 0.25) < 0.08,
                  "not-running look at %.2f of the listening one" % (off.strength() / full))

        xembed(s, app, daemon_bin)
    finally:
        s.stop_all()
    return summary()


if __name__ == "__main__":
    sys.exit(main())
