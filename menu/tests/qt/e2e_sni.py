#!/usr/bin/python3
"""Reads the tray application the way a StatusNotifierItem desktop shell does.

Run inside scripts/with-session (private session bus and X display):
    e2e_sni.py OMBRU_MENU OMBRU_DEV_DAEMON SCENARIO
Plays org.kde.StatusNotifierWatcher and a host, lets the application register
its item, reads the item and its com.canonical.dbusmenu menu, clicks entries
through Event(id, "clicked") and checks that their commands reach the daemon.
"""

import contextlib
import json
import os
import signal
import subprocess
import sys
import tempfile
import time

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import PORT, check, failures, start_daemon  # noqa: E402,F401

WATCHER = "org.kde.StatusNotifierWatcher"
MENU = "com.canonical.dbusmenu"

INTROSPECTION = """<node>
 <interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
  <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
  <signal name="StatusNotifierHostRegistered"/>
 </interface>
 <interface name="org.freedesktop.DBus.Properties">
  <method name="Get"><arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="v" direction="out"/></method>
  <method name="GetAll"><arg type="s" direction="in"/><arg type="a{sv}" direction="out"/></method>
 </interface>
 <interface name="org.freedesktop.DBus.Introspectable">
  <method name="Introspect"><arg type="s" direction="out"/></method>
 </interface>
</node>"""


class Watcher(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/StatusNotifierWatcher")
        self.items = []  # (sender, service)

    @dbus.service.method(WATCHER, in_signature="s", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        self.items.append((str(sender), str(service)))
        self.StatusNotifierItemRegistered(service)

    @dbus.service.method(WATCHER, in_signature="s")
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemRegistered(self, service):
        pass

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.GetAll(interface)[name]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {
            "RegisteredStatusNotifierItems": dbus.Array([s for _, s in self.items], signature="s"),
            "IsStatusNotifierHostRegistered": dbus.Boolean(True),
            "ProtocolVersion": dbus.Int32(0),
        }

    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, out_signature="s")
    def Introspect(self):
        return INTROSPECTION


def pump(until, seconds):
    """Runs the main loop until until() is true or the time is up."""
    ctx = GLib.MainContext.default()
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        while ctx.pending():
            ctx.iteration(False)
        if until():
            return True
        time.sleep(0.02)
    return until()


def layout_tree(menu):
    menu.AboutToShow(dbus.Int32(0))
    _, root = menu.GetLayout(dbus.Int32(0), dbus.Int32(-1), dbus.Array([], signature="s"))
    return root


def entries(node):
    """(id, props, children) of each child of a layout node."""
    out = []
    for child in node[2]:
        cid, props, kids = child
        out.append((int(cid), {str(k): v for k, v in props.items()}, kids))
    return out


def label(props):
    return str(props.get("label", ""))


def is_separator(props):
    return str(props.get("type", "")) == "separator"


def enabled(props):
    return bool(props.get("enabled", True))


def shortcut(props):
    keys = props.get("shortcut")
    return [[str(k) for k in combo] for combo in keys] if keys else []


def find(node, text):
    for cid, props, kids in entries(node):
        if label(props) == text:
            return cid, props, kids
        found = find((cid, props, kids), text)
        if found:
            return found
    return None


class Item:
    """The application's registered item, as a host sees it."""

    def __init__(self, bus, service, path, log):
        self.bus, self.service, self.log = bus, service, log
        self.props = dbus.Interface(bus.get_object(service, path), dbus.PROPERTIES_IFACE)
        self.menu_path = str(self.props.Get("org.kde.StatusNotifierItem", "Menu"))
        self.menu = dbus.Interface(bus.get_object(service, self.menu_path), MENU)


@contextlib.contextmanager
def registered_item(doc):
    """Starts the daemon and the application named on the command line, plays
    the watcher, and yields the registered Item, or None (after a usage text
    or a failure). Everything started is stopped on the way out."""
    if len(sys.argv) != 4:
        print(doc, file=sys.stderr)
        yield None
        return
    app, daemon_bin, scenario = sys.argv[1:]
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    name = dbus.service.BusName(WATCHER, bus)  # noqa: F841 (held for the run)
    watcher = Watcher(bus)
    log = os.path.join(tempfile.mkdtemp(prefix="ombru-sni."), "requests.log")
    procs = []
    try:
        daemon = start_daemon(daemon_bin, scenario, log)
        if not daemon:
            failures.append("daemon")
            yield None
            return
        procs.append(daemon)
        procs.append(subprocess.Popen([app], env=dict(os.environ, QT_QPA_PLATFORM="xcb")))
        check(pump(lambda: watcher.items, 15), "the application registers its item")
        if not watcher.items:
            yield None
            return
        sender, service = watcher.items[0]
        path = "/StatusNotifierItem"
        if service.startswith("/"):
            service, path = sender, service
        yield Item(bus, service, path, log)
    finally:
        for p in reversed(procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
        for p in procs:
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()


def finish(item):
    """The exit status of a run, after its summary line."""
    if item is None and not failures:
        return 2  # usage
    print("%d failure(s)" % len(failures))
    return 1 if failures or item is None else 0


def main():
    with registered_item(__doc__) as item:
        if item is None:
            return finish(item)
        props, menu, log = item.props, item.menu, item.log

        def tooltip():
            return str(props.Get("org.kde.StatusNotifierItem", "ToolTip")[2])

        check(pump(lambda: tooltip() == "Ombru Voice — listening", 5),
              "tool tip after the first poll: %r" % tooltip())
        pixmaps = props.Get("org.kde.StatusNotifierItem", "IconPixmap")
        sizes = sorted((int(w), int(h)) for w, h, _ in pixmaps)
        check((22, 22) in sizes and (16, 16) in sizes, "icon pixmaps offered: %s" % sizes)
        opaque = 0
        for w, h, data in pixmaps:
            if int(w) == 22:
                opaque = sum(1 for i in range(0, len(data), 4) if int(data[i]) == 255)
        check(opaque > 20, "the 22 px icon has %d opaque pixels (full-opacity look)" % opaque)

        item_props = props.GetAll("org.kde.StatusNotifierItem")
        check(str(item_props["Title"]) == "Ombru Voice", "Title: %r" % str(item_props["Title"]))
        check(bool(item_props["ItemIsMenu"]), "the item says it is a menu")
        # A shell that reads the layout before anything opened the menu gets
        # it whole, not an empty root.
        _, first = menu.GetLayout(dbus.Int32(0), dbus.Int32(-1), dbus.Array([], signature="s"))
        check(len(entries(first)) == 18, "the first GetLayout holds the menu: %d entries"
              % len(entries(first)))
        root = layout_tree(menu)
        top = entries(root)
        labels = ["---" if is_separator(p) else label(p) for _, p, _ in top]
        expected = ["Ombru Voice", "Listening", "Talking to parser",
                    "Voice kokoro · hearing whisper · on this Mac", "---",
                    "Last · parser", "  Comments survive now.", "---",
                    "Sessions · 2 active, 1 on smart loop", "Waiting: billing", "---",
                    "Mute", "Open Log", "Your Brain…", "Open Settings File", "---",
                    "Restart Ombru", "Quit Ombru"]
        check(labels == expected, "top-level titles in order: %s" % labels)
        byname = {label(p): p for _, p, _ in top}
        for info in ["Ombru Voice", "Listening", "Talking to parser", "Last · parser",
                     "Waiting: billing"]:
            check(not enabled(byname.get(info, {})), "%r is disabled" % info)
        for cmd in ["Mute", "Open Log", "Your Brain…", "Open Settings File", "Restart Ombru",
                    "Quit Ombru", "Sessions · 2 active, 1 on smart loop"]:
            check(enabled(byname.get(cmd, {"enabled": False})), "%r is enabled" % cmd)
        # GTK's key names, which GTK shells parse: "comma", not ",".
        keys = {"Mute": "m", "Open Log": "l", "Your Brain…": "b", "Open Settings File": "comma",
                "Restart Ombru": "r", "Quit Ombru": "q"}
        for cmd, key in keys.items():
            got = shortcut(byname.get(cmd, {}))
            check(got == [["Control", key]], "%r has shortcut Control+%s: %s" % (cmd, key, got))
        check(shortcut(byname["Listening"]) == [], "information lines have no shortcut")
        sessions = byname.get("Sessions · 2 active, 1 on smart loop", {})
        check(str(sessions.get("children-display", "")) == "submenu", "Sessions opens a submenu")

        # The sessions submenu: host lines, session entries with their own submenus.
        sess = find(root, "Sessions · 2 active, 1 on smart loop")
        menu.AboutToShow(dbus.Int32(sess[0]))
        root = layout_tree(menu)
        sess = find(root, "Sessions · 2 active, 1 on smart loop")
        sub = ["---" if is_separator(p) else label(p) for _, p, _ in entries(sess)]
        expected_sub = ["Terminal",
                        "  Fix the parser  —  parser · busy  ·  next smart loop in 2:05",
                        "Code", "  Refactor the client  —  client · 3m idle  ·  smart loop off",
                        "---", "All smart loops on", "All smart loops off"]
        check(sub == expected_sub, "sessions submenu: %s" % sub)

        parser = find(root, expected_sub[1])
        menu.AboutToShow(dbus.Int32(parser[0]))
        root = layout_tree(menu)
        parser = find(root, expected_sub[1])
        per = entries(parser)
        per_labels = ["---" if is_separator(p) else label(p) for _, p, _ in per]
        check(per_labels == ["Smart loop on — click to turn off", "---", "Check every",
                             "  2 minutes", "  5 minutes", "  10 minutes", "  20 minutes",
                             "  30 minutes", "  60 minutes", "---", "Talk to this session"],
              "session submenu: %s" % per_labels)
        marks = {label(p): (str(p.get("toggle-type", "")), int(p.get("toggle-state", -1)))
                 for _, p, _ in per if not is_separator(p)}
        check(marks["Smart loop on — click to turn off"] == ("checkmark", 1),
              "the loop toggle is checked: %s" % (marks["Smart loop on — click to turn off"],))
        check(marks["  10 minutes"] == ("checkmark", 1), "10 minutes is checked")
        check(all(marks["  %d minutes" % m] == ("checkmark", 0) for m in (2, 5, 20, 30, 60)),
              "the other minute choices are unchecked")
        check(marks["Check every"][0] == "" and not enabled(dict(per[2][1])),
              "'Check every' is a disabled line without a check mark")

        def posts():
            out = []
            if os.path.exists(log):
                with open(log) as f:
                    for line in f:
                        r = json.loads(line)
                        if r.get("method") == "POST":
                            out.append((r.get("path"), r.get("body")))
            return out

        def click(text):
            root = layout_tree(menu)
            found = find(root, text)
            if not found:
                check(False, "entry %r present" % text)
                return
            menu.Event(dbus.Int32(found[0]), "clicked", dbus.Int32(0, variant_level=1),
                       dbus.UInt32(int(time.time())))

        click("Smart loop on — click to turn off")
        check(pump(lambda: len(posts()) >= 1, 4), "the loop toggle's POST reaches the daemon")
        check(posts()[:1] == [("/loop", {"key": "term-1", "on": False})],
              "loop toggle body: %s" % posts()[:1])

        click("Mute")
        check(pump(lambda: len(posts()) >= 2, 4), "the mute POST reaches the daemon")
        check(posts()[1:2] == [("/mute", {"muted": True})], "mute body: %s" % posts()[1:2])

        # The daemon's answer shows in the menu after the refresh that follows.
        check(pump(lambda: find(layout_tree(menu), "Unmute") is not None, 5),
              "after the command the menu offers Unmute")
        check(pump(lambda: tooltip() == "Ombru Voice — muted", 5), "tool tip says muted")
        opaque = 0
        for w, h, data in props.Get("org.kde.StatusNotifierItem", "IconPixmap"):
            if int(w) == 22:
                opaque = sum(1 for i in range(0, len(data), 4) if int(data[i]) == 255)
        check(opaque == 0, "the muted look is painted translucent (%d opaque pixels)" % opaque)
    return finish(item)


if __name__ == "__main__":
    sys.exit(main())
