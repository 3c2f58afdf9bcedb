#!/usr/bin/env bash
# One poll of the installed ombru-menu against the installed stand-in daemon
# on 127.0.0.1:8765, under Qt's offscreen platform.
#
#   one_poll.sh BINDIR WORKDIR
#
# Exit status 0 when the daemon logged the application's GET of /state, the
# application was still running then, and both stopped when told to.
set -uo pipefail

bin=$1 work=$2
mkdir -p "$work"
daemon_pid='' menu_pid=''

status=
stop() { # stop PID: SIGTERM, then wait for it; sets status to its exit status
  kill -TERM "$1" 2>/dev/null
  wait "$1"
  status=$?
}
cleanup() {
  [ -n "$menu_pid" ] && kill -KILL "$menu_pid" 2>/dev/null
  [ -n "$daemon_pid" ] && kill -KILL "$daemon_pid" 2>/dev/null
}
trap cleanup EXIT

# Polls COMMAND every 0.1 s for at most SECONDS.
wait_for() {
  local seconds=$1
  shift
  local tries=$((seconds * 10))
  while [ "$tries" -gt 0 ]; do
    "$@" && return 0
    sleep 0.1
    tries=$((tries - 1))
  done
  return 1
}

"$bin/ombru-dev-daemon" --port 8765 --log "$work/requests.log" 2>"$work/daemon.err" &
daemon_pid=$!
# Ready, or gone (a taken port ends it at once).
ready() { grep -q "listening on 127.0.0.1:8765" "$work/daemon.err" || ! kill -0 "$daemon_pid" 2>/dev/null; }
if ! wait_for 30 ready || ! grep -q "listening on 127.0.0.1:8765" "$work/daemon.err"; then
  echo "the stand-in daemon did not start on 127.0.0.1:8765 (is the port taken?):"
  cat "$work/daemon.err"
  exit 1
fi

# No session bus: the application must do without one, and a test must not
# register a tray item on the developer's desktop.
env -u DBUS_SESSION_BUS_ADDRESS -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen \
  "$bin/ombru-menu" >"$work/menu.out" 2>&1 &
menu_pid=$!
polled() { grep -q '"method":"GET","path":"/state","body":null,"status":200' "$work/requests.log"; }
if ! wait_for 60 polled; then
  echo "ombru-menu never asked for /state; its output:"
  cat "$work/menu.out"
  exit 1
fi
if ! kill -0 "$menu_pid" 2>/dev/null; then
  echo "ombru-menu ended after its first poll; its output:"
  cat "$work/menu.out"
  exit 1
fi
echo "the daemon logged: $(head -1 "$work/requests.log")"

# The application has no signal handler of its own: SIGTERM ends it.
stop "$menu_pid"
menu_pid=''
[ "$status" = 143 ] || { echo "ombru-menu ended with status $status on SIGTERM"; cat "$work/menu.out"; exit 1; }
stop "$daemon_pid"
daemon_pid=''
[ "$status" = 0 ] || { echo "the stand-in daemon ended with status $status on SIGTERM"; exit 1; }
exit 0
