#!/usr/bin/python3
"""An open menu keeps its items across polls, as a StatusNotifierItem shell sees it.

Run inside scripts/with-session (private session bus and X display):
    e2e_sni_steady.py OMBRU_MENU OMBRU_DEV_DAEMON SCENARIO
Opens the "Sessions" submenu and one session's submenu over
com.canonical.dbusmenu, then lets three polls pass with the daemon's state
unchanged, and three more with one countdown ticking. Every item keeps its
id, the layout is never signalled as changed, and the only signals are one
property update per poll for the ticking entry, with its label the only
property that differs.
"""

import json
import os
import sys
import time
import urllib.request

import dbus

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_sni import (MENU, PORT, check, entries, find, finish, label, pump,  # noqa: E402
                     registered_item)


def flatten(node, out):
    """id -> properties of every item under a layout node."""
    for cid, props, kids in entries(node):
        out[cid] = {k: normal(v) for k, v in props.items()}
        flatten((cid, props, kids), out)
    return out


def normal(value):
    """A D-Bus value as plain Python, for comparison."""
    if isinstance(value, (dbus.Array, list)):
        return [normal(v) for v in value]
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (dbus.Int32, dbus.UInt32, dbus.Int64, dbus.Byte)):
        return int(value)
    return str(value)


def post(path, body):
    req = urllib.request.Request("http://127.0.0.1:%d%s" % (PORT, path),
                                 data=json.dumps(body).encode(), method="POST",
                                 headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(req, timeout=3) as r:
        return r.status


def main():
    with registered_item(__doc__) as item:
        if item is None:
            return finish(item)
        bus, menu, menu_path, log = item.bus, item.menu, item.menu_path, item.log

        layouts, updates = [], []
        bus.add_signal_receiver(lambda rev, parent: layouts.append(int(parent)),
                                signal_name="LayoutUpdated", dbus_interface=MENU, path=menu_path)
        bus.add_signal_receiver(
            lambda updated, removed: updates.append(
                ([(int(i), {str(k): normal(v) for k, v in p.items()}) for i, p in updated],
                 [(int(i), [str(k) for k in ks]) for i, ks in removed])),
            signal_name="ItemsPropertiesUpdated", dbus_interface=MENU, path=menu_path)

        def layout():
            _, root = menu.GetLayout(dbus.Int32(0), dbus.Int32(-1), dbus.Array([], signature="s"))
            return root

        def polls():
            with open(log) as f:
                return sum(1 for line in f if '"/state"' in line)

        def open_item(cid):
            menu.AboutToShow(dbus.Int32(cid))
            menu.Event(dbus.Int32(cid), "opened", dbus.Int32(0, variant_level=1),
                       dbus.UInt32(int(time.time())))

        open_item(0)
        check(pump(lambda: find(layout(), "Mute") is not None, 5), "the menu is built")
        sessions = next(e for e in entries(layout()) if label(e[1]).startswith("Sessions"))
        open_item(sessions[0])
        sessions = find(layout(), label(sessions[1]))
        parser = next(e for e in entries(sessions) if "parser" in label(e[1]))
        open_item(parser[0])

        # Every loop off: the daemon's state stands still.
        check(post("/loop", {"all": True, "on": False}) == 200, "all smart loops turned off")
        check(pump(lambda: find(layout(), "  Fix the parser  —  parser · busy  ·  smart loop off")
                   is not None, 8), "the menu shows the loops off")

        def window(what, ticking):
            """Three polls from a quiet moment; returns what was seen."""
            # Signals of the last change may still be on their way: start once
            # a second has passed without any (polls are three seconds apart).
            for _ in range(8):
                heard = len(updates) + len(layouts)
                pump(lambda: False, 1.0)
                if len(updates) + len(layouts) == heard:
                    break
            start = polls()
            shown = flatten(layout(), {})
            del layouts[:], updates[:]
            pump(lambda: polls() >= start + 3, 15)
            seen = polls() - start
            pump(lambda: len(updates) >= seen, 2) if ticking else pump(lambda: False, 0.5)
            after = flatten(layout(), {})
            check(seen >= 3, "%s: %d polls passed" % (what, seen))
            check(sorted(after) == sorted(shown),
                  "%s: the same %d ids before and after" % (what, len(shown)))
            check(layouts == [], "%s: no LayoutUpdated (%s)" % (what, layouts))
            return shown, after, seen

        shown, after, _ = window("unchanged state", False)
        check(updates == [], "unchanged state: no property update (%d)" % len(updates))
        check(after == shown, "unchanged state: every item's properties as they were")

        # One loop on again: its countdown starts over and ticks every second.
        check(post("/loop", {"key": "term-1", "on": True}) == 200, "term-1's loop turned on")
        ticking_id = parser[0]
        check(pump(lambda: "next smart loop in" in label(
            dict(flatten(layout(), {}).get(ticking_id, {}))), 8), "the countdown shows")
        shown, after, seen = window("ticking countdown", True)
        check(len(updates) == seen,
              "ticking countdown: one property update per poll (%d for %d polls)"
              % (len(updates), seen))
        known = dict(shown)
        for n, (updated, removed) in enumerate(updates[:6]):  # the rest would say the same
            ids = [i for i, _ in updated]
            check(ids == [ticking_id] and removed == [],
                  "update %d names only the ticking entry %d: %s" % (n + 1, ticking_id, ids))
            for i, new in updated:
                old = known.get(i, {})
                diff = sorted(k for k in set(old) | set(new) if old.get(k) != new.get(k))
                check(diff == ["label"], "update %d changes only %s: %r" % (n + 1, diff,
                                                                           new.get("label")))
                known[i] = new
        changed = sorted(i for i in after if after[i] != shown[i])
        check(changed == [ticking_id], "only the ticking entry differs afterwards: %s" % changed)
        for updated, _ in updates[6:]:
            known.update(updated)
        check(after == known, "the signalled properties are the properties read afterwards")
        check(find(layout(), "Check every") is not None,
              "the open session submenu still holds its entries")
    return finish(item)

if __name__ == "__main__":
    sys.exit(main())
