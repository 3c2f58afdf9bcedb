#!/usr/bin/python3
# The same walk as floor_walk.cpp, the way a script would write it with
# pyatspi: the attributes `ombru-ax text` or `ombru-ax read` reads, with no
# pauses. Usage: pyatspi_walk.py text|read <app name>
# Prints: elements=<visited> found=<hits or lines> walk_ms=<walk only>
import sys
import time

sys.path.insert(0, "/usr/lib/python3/dist-packages")  # Debian's pyatspi, whatever python3 is first
import pyatspi  # noqa: E402

visited = 0
found = 0
TEXT_ROLES = (pyatspi.ROLE_LABEL, pyatspi.ROLE_STATIC, pyatspi.ROLE_TEXT, pyatspi.ROLE_ENTRY,
              pyatspi.ROLE_HEADING)


def label(a):
    try:
        s = a.queryText().getText(0, -1).replace("\ufffc", "").strip()
        if s:
            return s
    except Exception:
        pass
    for s in (a.name, a.description):
        s = (s or "").strip()
        if s:
            return s
    return ""


def frame(a):
    if not a.getState().contains(pyatspi.STATE_SHOWING):
        return None
    try:
        return a.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    except Exception:
        return None


def children(a):
    for i in range(a.childCount):
        c = a.getChildAtIndex(i)
        if c is not None:
            yield c


def collect(a, edge, depth):
    global visited, found
    if depth > 60 or found > 3000:
        return
    visited += 1
    s = label(a)
    if s and len(s) < 120:
        r = frame(a)
        if r and r.width > 0 and r.height > 0 and r.x < edge:
            found += 1
    for c in children(a):
        collect(c, edge, depth + 1)


def web_area(a, depth):
    if depth > 40:
        return None
    if a.getRole() == pyatspi.ROLE_DOCUMENT_WEB:
        return a
    for c in children(a):
        hit = web_area(c, depth + 1)
        if hit is not None:
            return hit
    return None


def lines(a, depth):
    global visited, found
    if depth > 60 or found > 4000:
        return
    visited += 1
    r = a.getRole()
    if r in (pyatspi.ROLE_TEXT, pyatspi.ROLE_ENTRY):
        a.getState().contains(pyatspi.STATE_MULTI_LINE)
    if r in TEXT_ROLES and label(a):
        found += 1
    for c in children(a):
        lines(c, depth + 1)


def main():
    if len(sys.argv) < 3:
        print("usage: pyatspi_walk.py text|read <app name>", file=sys.stderr)
        return 2
    desktop = pyatspi.Registry.getDesktop(0)
    app = next((a for a in children(desktop) if a.name == sys.argv[2]), None)
    if app is None:
        return 3
    window = next(children(app), None)
    if window is None:
        return 4
    begin = time.monotonic()
    if sys.argv[1] == "text":
        r = frame(window)
        if r:
            collect(window, r.x + r.width + 1.0, 0)
    else:
        web = web_area(window, 0)
        if web is not None:
            lines(web, 0)
    print("elements=%d found=%d walk_ms=%.1f" % (visited, found, (time.monotonic() - begin) * 1000))
    return 0


if __name__ == "__main__":
    sys.exit(main())
