"""Support for the chat-client suites: a private desktop session, local IRC
and XMPP servers, a bot that posts lines, the clients configured as a user
would configure them, and independent views of what a client shows.

Everything started here is recorded and stopped by pid (process group) when
the Stack closes. Runs as an ordinary user (run.sh drops root), since Gajim
refuses root and HexChat stops at a dialog as root.
"""

import json
import os
import re
import shutil
import signal
import socket
import sqlite3
import subprocess
import tempfile
import threading
import time

# 34 rooms whose names hold none of the others, in alphabetical order so that
# clients sorting their lists keep this order.
ROOMS = """alder aspen beech birch cedar cherry cypress elder elm fir ginkgo
hazel hemlock holly juniper larch laurel linden locust magnolia maple
mulberry oak olive palm pear pine plum poplar redwood rowan spruce walnut
willow""".split()
NEAR = ROOMS[2]  # a row in view from the start
FAR = ROOMS[30]  # a row 30 rows below the first one
MISSING = "quince"
NICK = "tester"
BOT = "ombrubot"
PASSWORD = "ombru-local-only"


def log(*parts):
    print("[clients]", *parts, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(what, check, seconds, step=0.2):
    end = time.monotonic() + seconds
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > end:
            raise TimeoutError(f"timed out after {seconds} s waiting for {what}")
        time.sleep(step)


class Stack:
    """Owns every process the suite starts; stops them by pid, last first."""

    def __init__(self):
        self.procs = []
        self.dir = tempfile.mkdtemp(prefix="ombru-clients.")
        self.env = {
            "PATH": "/usr/bin:/bin",
            "HOME": os.path.join(self.dir, "home"),
            "LANG": "C.UTF-8",
            "TMPDIR": self.dir,
            "XDG_RUNTIME_DIR": os.path.join(self.dir, "runtime"),
            "XDG_CONFIG_HOME": os.path.join(self.dir, "home", ".config"),
            "XDG_DATA_HOME": os.path.join(self.dir, "home", ".local", "share"),
            "XDG_CACHE_HOME": os.path.join(self.dir, "home", ".cache"),
            "GSETTINGS_BACKEND": "keyfile",
            "NO_AT_BRIDGE": "0",
            "GTK_MODULES": "gail:atk-bridge",
            "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1",
            "QT_ACCESSIBILITY": "1",
            "GTK_A11Y": "atspi",
        }
        for key in ("HOME", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"):
            os.makedirs(self.env[key], mode=0o700, exist_ok=True)

    def path(self, *parts):
        p = os.path.join(self.dir, *parts)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        return p

    def write(self, rel, text):
        with open(self.path(rel), "w", encoding="utf-8") as f:
            f.write(text)
        return self.path(rel)

    def start(self, name, argv, env=None, **kw):
        out = open(self.path("logs", name + ".log"), "wb")
        p = subprocess.Popen(argv, env=env or self.env, stdout=out, stderr=subprocess.STDOUT,
                             stdin=subprocess.DEVNULL, start_new_session=True, **kw)
        self.procs.append((name, p))
        return p

    def stop(self, p):
        for sig in (signal.SIGTERM, signal.SIGKILL):
            if p.poll() is not None:
                break
            try:
                os.killpg(p.pid, sig)
            except ProcessLookupError:
                break
            try:
                p.wait(timeout=3)
            except subprocess.TimeoutExpired:
                pass
        # A session leader's children (D-Bus activated services) share its group.
        try:
            os.killpg(p.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    def close(self):
        for _, p in reversed(self.procs):
            self.stop(p)
        self.procs.clear()
        if os.environ.get("OMBRU_KEEP_DIR"):
            log("kept", self.dir)
        else:
            shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


# --- the desktop session -------------------------------------------------

def start_session(stack, size="1280x800"):
    """Xvfb, a session bus, the accessibility bus switched on, and jwm."""
    env = stack.env
    rfd, wfd = os.pipe()
    stack.start("xvfb", ["Xvfb", "-displayfd", str(wfd), "-screen", "0", size + "x24",
                         "-nolisten", "tcp", "-noreset"], pass_fds=(wfd,))
    os.close(wfd)
    with os.fdopen(rfd) as f:
        env["DISPLAY"] = ":" + f.readline().strip()
    rfd, wfd = os.pipe()
    stack.start("dbus", ["dbus-daemon", "--session", "--nofork", "--nopidfile",
                         f"--print-address={wfd}"], pass_fds=(wfd,))
    os.close(wfd)
    with os.fdopen(rfd) as f:
        env["DBUS_SESSION_BUS_ADDRESS"] = f.readline().strip()
    stack.start("atspi", ["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"])
    gdbus = ["gdbus", "call", "--session", "--dest", "org.a11y.Bus", "--object-path", "/org/a11y/bus"]
    wait_until("the accessibility bus", lambda: subprocess.run(
        gdbus + ["--method", "org.a11y.Bus.GetAddress"], env=env, capture_output=True).returncode == 0, 10, 0.05)
    subprocess.run(gdbus + ["--method", "org.freedesktop.DBus.Properties.Set", "org.a11y.Status",
                            "IsEnabled", "<true>"], env=env, check=True, capture_output=True)
    rc = stack.write("jwmrc", '<?xml version="1.0"?>\n<JWM><Desktops width="1" height="1"/>'
                     "<FocusModel>click</FocusModel></JWM>\n")
    stack.start("jwm", ["jwm", "-f", rc])
    wait_until("the window manager", lambda: b"window id" in subprocess.run(
        ["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], env=env, capture_output=True).stdout, 10, 0.05)


# --- servers and the bot --------------------------------------------------

def start_ngircd(stack):
    port = free_port()
    channels = "".join(f"[Channel]\n  Name = #{r}\n  Modes = +P\n\n" for r in ROOMS)
    conf = stack.write("ngircd/ngircd.conf", f"""[Global]
  Name = irc.ombru.test
  Info = ombru local test server
  Listen = 127.0.0.1
  Ports = {port}
  MotdPhrase = local
  PidFile = {stack.path('ngircd', 'pid')}
[Limits]
  MaxJoins = 0
  MaxNickLength = 30
  PingTimeout = 600
  PongTimeout = 600
[Options]
  PAM = no
  DNS = no
  Ident = no
  OperCanUseMode = yes
{channels}""")
    stack.start("ngircd", ["/usr/sbin/ngircd", "--nodaemon", "--config", conf])
    wait_until("ngircd", lambda: _connects(port), 10)
    return port


def _connects(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
        return True
    except OSError:
        return False


class IrcBot:
    """A plain-socket IRC user that posts lines and asks the server who joined."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.buf = b""
        self.sent = {}
        self.send(f"NICK {BOT}")
        self.send(f"USER {BOT} 0 * :ombru bot")
        self.expect(lambda l: l.split()[1:2] == ["001"], 20)

    def send(self, line):
        self.sock.sendall(line.encode() + b"\r\n")

    def lines(self, seconds):
        self.sock.settimeout(seconds)
        try:
            data = self.sock.recv(65536)
        except socket.timeout:
            return []
        if not data:
            raise ConnectionError("IRC server closed the bot's connection")
        self.buf += data
        *done, self.buf = self.buf.split(b"\r\n")
        out = []
        for raw in done:
            line = raw.decode(errors="replace")
            if line.startswith("PING"):
                self.send("PONG" + line[4:])
            out.append(line)
        return out

    def expect(self, test, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            for line in self.lines(max(0.05, end - time.monotonic())):
                if test(line):
                    return line
        raise TimeoutError("IRC bot: no expected reply")

    def rooms_of(self, nick):
        """How many channels `nick` is in, as the server answers WHOIS."""
        self.send(f"WHOIS {nick}")
        chans = set()
        end = time.monotonic() + 10
        while time.monotonic() < end:
            for line in self.lines(1):
                parts = line.split(" ", 3)
                if len(parts) >= 4 and parts[1] == "319":
                    chans.update(c.lstrip("@+").lstrip("#") for c in parts[3].split(":", 1)[1].split())
                if len(parts) >= 2 and parts[1] in ("318", "401"):
                    return len(chans)
        return len(chans)

    def post(self, room, text):
        if room not in self.sent:
            self.send(f"JOIN #{room}")
        self.send(f"PRIVMSG #{room} :{text}")
        self.sent.setdefault(room, []).append(text)

    def sync(self):
        """Returns once the server has handled every line sent before."""
        self.send("PING :ombru-sync")
        self.expect(lambda l: "PONG" in l and "ombru-sync" in l, 60)

    def close(self):
        try:
            self.send("QUIT :done")
            self.sock.close()
        except OSError:
            pass


def start_prosody(stack):
    port = free_port()
    data = stack.path("prosody", "data", "x")
    os.makedirs(os.path.dirname(data), exist_ok=True)
    conf = stack.write("prosody/prosody.cfg.lua", f"""
pidfile = "{stack.path('prosody', 'pid')}"
data_path = "{os.path.dirname(data)}"
daemonize = false
log = {{ info = "{stack.path('logs', 'prosody-info.log')}" }}
interfaces = {{ "127.0.0.1" }}
local_interfaces = {{ "127.0.0.1" }}
c2s_ports = {{ {port} }}
s2s_ports = {{ }}
component_ports = {{ }}
http_ports = {{ }}
https_ports = {{ }}
c2s_require_encryption = false
allow_unencrypted_plain_auth = true
authentication = "internal_hashed"
storage = "internal"
modules_enabled = {{ "roster"; "saslauth"; "disco"; "private"; "pep"; "bookmarks"; "ping"; "posix" }}
modules_disabled = {{ "s2s"; "tls" }}
Component "conference.localhost" "muc"
  muc_room_locking = false
  muc_room_default_persistent = true
  muc_room_default_history_length = 20
VirtualHost "localhost"
""")
    for user in (NICK, BOT):
        subprocess.run(["prosodyctl", "--config", conf, "register", user, "localhost", PASSWORD],
                       env=stack.env, check=True, capture_output=True)
    stack.start("prosody", ["prosody", "-F", "--config", conf])
    wait_until("prosody", lambda: _connects(port), 15)
    return port


class XmppBot:
    """slixmpp in a thread of its own: makes the rooms, stores the user's
    bookmarks (autojoin) as the user's client would, and posts lines."""

    def __init__(self, port):
        import asyncio
        import slixmpp
        self.sent = {}
        self.loop = asyncio.new_event_loop()
        asyncio.set_event_loop(self.loop)
        self.ready = threading.Event()
        bot = slixmpp.ClientXMPP(f"{BOT}@localhost", PASSWORD)
        for plugin in ("xep_0030", "xep_0045", "xep_0049", "xep_0048", "xep_0199"):
            bot.register_plugin(plugin)
        bot.add_event_handler("session_start", self._start)
        self.bot = bot
        self.port = port
        threading.Thread(target=self._run, daemon=True).start()
        if not self.ready.wait(30):
            raise TimeoutError("XMPP bot did not start")

    def _run(self):
        import asyncio
        asyncio.set_event_loop(self.loop)
        self.bot.connect(("127.0.0.1", self.port), use_ssl=False, force_starttls=False,
                         disable_starttls=True)
        self.loop.run_forever()

    async def _start(self, _):
        self.bot.send_presence()
        for room in ROOMS:
            self.bot.plugin["xep_0045"].join_muc(f"{room}@conference.localhost", BOT)
        self.ready.set()

    def call(self, fn, *args):
        done = threading.Event()
        self.loop.call_soon_threadsafe(lambda: (fn(*args), done.set()))
        done.wait(10)

    def post(self, room, text):
        self.sent.setdefault(room, []).append(text)
        self.call(lambda: self.bot.send_message(mto=f"{room}@conference.localhost", mbody=text,
                                                mtype="groupchat"))

    def sync(self):
        time.sleep(1)

    def rooms_of(self, nick):
        muc = self.bot.plugin["xep_0045"]
        return sum(nick in (muc.get_roster(f"{r}@conference.localhost") or []) for r in ROOMS)

    def close(self):
        self.loop.call_soon_threadsafe(self.bot.disconnect)
        time.sleep(0.3)
        self.loop.call_soon_threadsafe(self.loop.stop)


def store_bookmarks(port):
    """Log in as the user once and store the 34 rooms as autojoin bookmarks
    in private storage, where Gajim finds its rooms at login."""
    import asyncio
    import slixmpp
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    c = slixmpp.ClientXMPP(f"{NICK}@localhost", PASSWORD)
    c.register_plugin("xep_0048")
    done = asyncio.Event()

    async def start(_):
        bm = c.plugin["xep_0048"].stanza.Bookmarks()
        for room in ROOMS:
            bm.add_conference(f"{room}@conference.localhost", NICK, name=room, autojoin=True)
        await c.plugin["xep_0048"].set_bookmarks(bm, method="xep_0049")
        c.disconnect()
        done.set()

    c.add_event_handler("session_start", start)
    c.connect(("127.0.0.1", port), disable_starttls=True)
    loop.run_until_complete(asyncio.wait_for(done.wait(), 30))
    loop.run_until_complete(asyncio.sleep(0.3))


# --- the clients, configured as a user would --------------------------------

class Client:
    """One chat client: its configuration, its start, and what it shows."""

    name = ""  # as the suite and ctest call it
    bus_name = ""  # its AT-SPI application name
    desktop_name = ""  # the Name of its desktop entry
    desktop_id = ""  # its desktop entry's file name, less ".desktop"
    prefix = "#"  # rows show the room with this in front
    server = "irc"
    exposes_text = True  # whether its conversation is in the accessibility tree
    join_seconds = 90

    def __init__(self, stack, port):
        self.stack, self.port = stack, port
        self.proc = None

    def row(self, room):
        return self.prefix + room

    def configure(self):
        raise NotImplementedError

    def argv(self):
        raise NotImplementedError

    def start(self):
        self.configure()
        self.proc = self.stack.start(self.name, self.argv())

    def settle(self, seconds=15):
        """Waits until the client has caught up with what the suite did
        (Polari works for two to three seconds after its list scrolls), so a
        command timed as idle meets an idle client."""
        def ticks():
            with open(f"/proc/{self.proc.pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            return int(fields[11]) + int(fields[12])
        end, last = time.monotonic() + seconds, ticks()
        while time.monotonic() < end:
            time.sleep(0.5)
            now = ticks()
            if now - last <= 2:  # under 5 % of a core
                return
            last = now

    def open_room(self, prefer):
        """Opens a room in view as a user would, `prefer` if it is in view: a
        click on its row, placed by pyatspi and pressed with xdotool. Returns
        the room opened, or None."""
        rows = [e for e in probe(self.stack, self.bus_name, "rows:" + self.prefix)
                if e["showing"] and e["visible_at"]]
        rows.sort(key=lambda e: e["name"] != self.row(prefer))
        if not rows:
            return None
        room = rows[0]["name"][len(self.prefix):]
        x, y = rows[0]["visible_at"]
        subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "1"], env=self.stack.env, check=True)
        try:
            return wait_until(f"{room} shown", lambda: self.shown() == room and room, 5)
        except TimeoutError:
            return None

    def sidebar_to_top(self):
        """Scrolls the room list to its start through its scroll bar; returns
        the rooms then in view, or None where the toolkit places nothing."""
        probe(self.stack, self.bus_name, "top")
        time.sleep(0.5)
        rows = probe(self.stack, self.bus_name, "rows:" + self.prefix)
        return {e["name"][len(self.prefix):] for e in rows if e["showing"] and e["visible_at"]}

    def rows_at(self, x, y):
        """The rows in view that hold the point, and the rooms pyatspi places
        in view at all (GTK 3 places no row scrolled into view); None where
        the toolkit gives pyatspi no screen places."""
        rows = [e for e in probe(self.stack, self.bus_name, "rows:" + self.prefix) if e["visible_at"]]
        return {(e["name"][len(self.prefix):], e["role"], *e["extents"]) for e in rows
                if e["extents"][0] <= x < e["extents"][0] + e["extents"][2]
                and e["extents"][1] <= y < e["extents"][1] + e["extents"][3]}, {
                e["name"][len(self.prefix):] for e in rows}

    def is_input(self, e):
        """Whether a focused element is the message input."""
        return e["role"] in ("text", "entry")

    def title(self):
        """The title of the client's top window, as the window manager has it."""
        out = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(self.proc.pid)],
                             env=self.stack.env, capture_output=True, text=True).stdout.split()
        names = []
        for wid in out:
            names.append(subprocess.run(["xdotool", "getwindowname", wid], env=self.stack.env,
                                        capture_output=True, text=True).stdout.strip())
        return " | ".join(names)

    def shown(self):
        """Which room the client shows, read independently of ombru-ax."""
        t = self.title()
        found = [r for r in ROOMS if re.search(r"(^|[^\w-])#?" + re.escape(r) + r"($|[^\w-])", t)]
        return found[0] if len(found) == 1 else None


class HexChat(Client):
    name, bus_name, desktop_name = "hexchat", "hexchat", "HexChat"
    desktop_id = "io.github.Hexchat"
    exposes_text = False

    def configure(self):
        cfg = os.path.join(self.stack.env["XDG_CONFIG_HOME"], "hexchat")
        self.stack.write(os.path.join(cfg, "hexchat.conf"), "\n".join([
            "version = 2.16.1", f"irc_nick1 = {NICK}", f"irc_nick2 = {NICK}_", f"irc_nick3 = {NICK}__",
            f"irc_user_name = {NICK}", f"irc_real_name = {NICK}", "gui_slist_skip = 1",
            "gui_join_dialog = 0", "gui_quit_dialog = 0", "gui_tab_layout = 2",
            "gui_win_width = 900", "gui_win_height = 560", "gui_win_left = 0", "gui_win_top = 0",
            "irc_join_delay = 0", "gui_tab_newtofront = 0", ""]))
        joins = "".join(f"J=#{r}\n" for r in ROOMS)
        self.stack.write(os.path.join(cfg, "servlist.conf"),
                         f"v=2.16.1\n\nN=ombru\nE=UTF-8 (Unicode)\nF=10\nD=0\nS=127.0.0.1/{self.port}\n{joins}\n")

    def argv(self):
        return ["hexchat"]


class Konversation(Client):
    name, bus_name, desktop_name = "konversation", "konversation", "Konversation"
    desktop_id = "org.kde.konversation"

    def configure(self):
        chans = ",".join(f"Channel {i}" for i in range(len(ROOMS)))
        groups = "".join(f"[Channel {i}]\nName=#{r}\nPassword=\n\n" for i, r in enumerate(ROOMS))
        self.stack.write(os.path.join(self.stack.env["XDG_CONFIG_HOME"], "konversationrc"), f"""[General]
ShowServerList=false
ShowTrayIcon=false

[Identity 0]
Name=Default Identity
Nicknames={NICK},{NICK}_
Ident={NICK}
Realname={NICK}

[ServerGroup 0]
Name=ombru
Identity=Default Identity
AutoConnect=true
ServerList=Server 0
AutoJoinChannels={chans}

[Server 0]
Server=127.0.0.1
Port={self.port}
SSLEnabled=false

{groups}""")

        # As on a Plasma desktop: Breeze, with a click on a scroll bar's track
        # jumping to the click (Plasma's other choice besides paging), the
        # setting under which a careless click would skip rows.
        self.stack.write(os.path.join(self.stack.env["XDG_CONFIG_HOME"], "kdeglobals"),
                         "[KDE]\nScrollbarLeftClickNavigatesByPage=false\n")

    def argv(self):
        return ["env", "QT_QPA_PLATFORMTHEME=kde", "QT_STYLE_OVERRIDE=breeze", "konversation", "-qwindowgeometry",
                "900x560+0+0"]

    def sidebar_to_top(self):
        # Its channel tree offers pyatspi no scroll bar and switches
        # conversations under the wheel: clicks at the top of the track its
        # bar draws right of the rows take it to its start, as a user would.
        rows = [e for e in probe(self.stack, self.bus_name, "rows:" + self.prefix) if e["visible_at"]]
        if rows:
            x = max(e["extents"][0] + e["extents"][2] for e in rows) + 7
            y = min(e["visible_at"][1] for e in rows)
            subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "--repeat", "40", "--delay", "20", "1"],
                           env=self.stack.env, capture_output=True)
        return super().sidebar_to_top()


class Polari(Client):
    """Polari keeps its account in Telepathy's account manager and its rooms
    in its settings; both are made here as its own dialogs would make them."""
    name, bus_name, desktop_name = "polari", "polari", "Polari"
    desktop_id = "org.gnome.Polari"
    prefix = ""
    join_seconds = 240

    def configure(self):
        env = self.stack.env
        am = ["gdbus", "call", "--session", "--dest", "org.freedesktop.Telepathy.AccountManager",
              "--object-path", "/org/freedesktop/Telepathy/AccountManager", "--method",
              "org.freedesktop.Telepathy.AccountManager.CreateAccount", "idle", "irc", "ombru",
              f"{{'account': <'{NICK}'>, 'server': <'127.0.0.1'>, 'port': <uint32 {self.port}>, "
              f"'username': <'{NICK}'>, 'fullname': <'{NICK}'>}}",
              "{'org.freedesktop.Telepathy.Account.Enabled': <true>, "
              "'org.freedesktop.Telepathy.Account.ConnectAutomatically': <true>}"]
        out = subprocess.run(am, env=env, capture_output=True, text=True, check=True, timeout=30).stdout
        self.account = account = re.search(r"objectpath '([^']+)'", out).group(1)
        rooms = ", ".join(f"{{'account': <'{account}'>, 'channel': <'#{r}'>}}" for r in ROOMS)
        subprocess.run(["gsettings", "set", "org.gnome.Polari", "saved-channel-list", f"[{rooms}]"],
                       env=env, check=True, timeout=30)
        subprocess.run(["gsettings", "set", "org.gnome.Polari", "window-size", "[900, 560]"],
                       env=env, check=True, timeout=30)
        self.stack.write(os.path.join(env["XDG_DATA_HOME"], "polari", "initial-setup-completed"), "")

    def argv(self):
        return ["polari"]

    def sidebar_to_top(self):
        # Its room list switches nothing under the wheel, so the wheel takes
        # it to its start, as a user would; GTK 4 gives pyatspi no screen
        # places to check what is then in view.
        wid = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(self.proc.pid)],
                             env=self.stack.env, capture_output=True, text=True).stdout.split()
        if wid:
            subprocess.run(["xdotool", "mousemove", "--window", wid[0], "100", "300", "click", "--repeat", "40",
                            "--delay", "20", "4"], env=self.stack.env, capture_output=True)
            time.sleep(0.5)
        return None

    def rows_at(self, x, y):
        return None

    def open_room(self, prefer):
        room = prefer
        # GTK 4 gives pyatspi no screen places; the join dialog's own action
        # shows a joined room instead.
        subprocess.run(["gdbus", "call", "--session", "--dest", "org.gnome.Polari", "--object-path",
                        "/org/gnome/Polari", "--method", "org.gtk.Actions.Activate", "join-room",
                        f"[<('{self.account}', '#{room}', true)>]", "{}"],
                       env=self.stack.env, check=True, capture_output=True, timeout=30)
        try:
            return wait_until(f"{room} shown", lambda: self.shown() == room and room, 5)
        except TimeoutError:
            return None


class Gajim(Client):
    """Gajim keeps its account in an SQLite file of its own making; it is
    written here with Gajim's own schema, the rooms come from the bookmarks
    stored on the server."""
    name, bus_name, desktop_name = "gajim", "org.gajim.Gajim", "Gajim"
    desktop_id = "org.gajim.Gajim"
    prefix, server = "", "xmpp"
    join_seconds = 120

    def configure(self):
        env = self.stack.env
        db = self.stack.path("home", ".config", "gajim", "settings.sqlite")
        schema = subprocess.run(["/usr/bin/python3", "-c", "from gajim.common import settings; "
                                 "print(settings.CREATE_SQL)"], env=env, capture_output=True,
                                text=True, check=True, timeout=60).stdout
        con = sqlite3.connect(db)
        con.executescript(schema)
        con.execute("UPDATE settings SET settings = ? WHERE name = 'app'", (json.dumps({
            "use_keyring": False, "show_main_window_on_startup": "always",
            "check_for_update": False, "plugins_update_check": False,
            "plugins_auto_update": False}),))
        con.execute("INSERT INTO account_settings(account, settings) VALUES(?, ?)", (NICK, json.dumps({
            "account": {"name": NICK, "hostname": "localhost", "password": PASSWORD, "active": True,
                        "savepass": True, "account_label": "ombru", "resource": "gajim",
                        "use_custom_host": True, "custom_host": "127.0.0.1", "custom_port": self.port,
                        "custom_type": "PLAIN", "use_plain_connection": True,
                        "confirm_unencrypted_connection": False, "autoconnect": True,
                        "restore_last_status": False, "send_os_info": False},
            "contact": {}, "group_chat": {}})))
        con.commit()
        con.close()

    def argv(self):
        return ["gajim", "--quiet"]

    # Once its list has scrolled, GTK 3 keeps giving pyatspi old places for
    # rows (a row scrolled into view and back still counts as in view): its
    # places are trusted only before the first scroll.
    scrolled = False

    def sidebar_to_top(self):
        in_view = super().sidebar_to_top()
        first, self.scrolled = not self.scrolled, True
        return in_view if first else None

    def rows_at(self, x, y):
        return None

    def shown(self):
        # Gajim's title stays "Gajim"; the open room's name heads the
        # conversation, right of the chat list (which ends at x 424).
        names = {e["name"] for e in probe(self.stack, self.bus_name, "rooms")
                 if e["showing"] and e["extents"] and e["extents"][0] >= 430}
        return names.pop() if len(names) == 1 else None


CLIENTS = {c.name: c for c in (HexChat, Konversation, Polari, Gajim)}


# --- what the session shows, read independently ------------------------------

PROBE = r"""
import json, sys, pyatspi
app_name, what, rooms = sys.argv[1], sys.argv[2], sys.argv[3].split()
desk = pyatspi.Registry.getDesktop(0)
out = []

def extents(e):
    try:
        x = e.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        return [x.x, x.y, x.width, x.height]
    except Exception:
        return None

def clipped(clip, ext):
    # An element's frame cut by every frame around it.
    if not ext or ext[2] <= 0 or ext[3] <= 0 or ext[0] < -100000:
        return clip
    if clip is None:
        return ext
    x0, y0 = max(clip[0], ext[0]), max(clip[1], ext[1])
    x1 = min(clip[0] + clip[2], ext[0] + ext[2])
    y1 = min(clip[1] + clip[3], ext[1] + ext[3])
    return [x0, y0, max(0, x1 - x0), max(0, y1 - y0)]

def walk(e, depth, clip):
    if e is None or depth > 60 or len(out) > 300:
        return
    try:
        states, role, name = e.getState(), e.getRoleName(), e.name
    except Exception:
        return
    if what == "top" and role == "scroll bar" and states.contains(pyatspi.STATE_VERTICAL):
        # The sidebar's own scroll bar back to its start, as a user drags it.
        ext = extents(e)
        if ext and ext[0] < 500:  # the room list's, not the conversation's
            try:
                v = e.queryValue()
                v.currentValue = v.minimumValue
                out.append({"role": role, "name": name, "extents": ext})
            except Exception:
                pass
    if what == "rooms":
        hit = name in rooms and role == "label"
    elif what.startswith("rows:"):
        hit = name in [what[5:] + r for r in rooms] and role not in ("frame", "window", "page tab")
    elif what in ("focused", "selected"):
        hit = states.contains(pyatspi.STATE_FOCUSED if what == "focused" else pyatspi.STATE_SELECTED)
    else:
        hit = False
    ext = extents(e)
    if hit:
        # The centre of the part of the element that is not cut off.
        vis = None
        part = clipped(clip, ext) if ext and ext[2] > 0 and ext[3] > 0 else None
        if part and part[2] > 0 and part[3] >= min(ext[3], 10):
            vis = [part[0] + part[2] // 2, part[1] + part[3] // 2]
        out.append({"role": role, "name": name, "editable": states.contains(pyatspi.STATE_EDITABLE),
                    "showing": states.contains(pyatspi.STATE_SHOWING), "extents": ext, "visible_at": vis})
    for i in range(e.childCount):
        walk(e.getChildAtIndex(i), depth + 1, clipped(clip, ext) if depth > 0 else None)

for a in desk:
    if a is not None and a.name == app_name:
        walk(a, 0, None)
print(json.dumps(out))
"""


def probe(stack, app_name, what):
    """Elements of the application that are focused or selected, as pyatspi
    sees them in a process of its own."""
    r = subprocess.run(["/usr/bin/python3", "-c", PROBE, app_name, what, " ".join(ROOMS)], env=stack.env,
                       capture_output=True, text=True, timeout=60)
    try:
        return json.loads(r.stdout)
    except ValueError:
        return []


def app_names(stack):
    r = subprocess.run(["/usr/bin/python3", "-c",
                        "import pyatspi; print('\\n'.join(a.name for a in pyatspi.Registry.getDesktop(0) if a))"],
                       env=stack.env, capture_output=True, text=True, timeout=30)
    return r.stdout.split("\n")


class Ax:
    def __init__(self, stack, binary):
        self.stack, self.binary = stack, binary

    def __call__(self, *args):
        t = time.monotonic()
        r = subprocess.run([self.binary, *args], env=self.stack.env, capture_output=True, text=True,
                           timeout=120)
        return r.returncode, r.stdout, r.stderr, time.monotonic() - t


def busy_loops(stack, n=2):
    return [stack.start(f"busy{i}", ["/bin/sh", "-c", "while :; do :; done"]) for i in range(n)]
