#!/usr/bin/env bash
# Checks an installed tree: the files each component puts in place, the
# validators' verdict on them, and each installed program run from there.
#
#   smoke.sh ROOT PREFIX COMPONENT...
#
# ROOT is the DESTDIR or the package root, PREFIX the install prefix inside it
# (/usr for the packages), COMPONENT one of menu ax stt dev-daemon. With
# SMOKE_TRANSCRIBE=FILE.wav the installed ombru-stt also transcribes FILE;
# SMOKE_NO_MAN=1 says the build made no manual pages (no scdoc).
set -uo pipefail

root=$1 prefix=$2
shift 2
components=("$@")
bin=$root$prefix/bin
share=$root$prefix/share
here=$(cd "$(dirname "$0")" && pwd)
failures=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

has() {
  local c
  for c in "${components[@]}"; do [ "$c" = "$1" ] && return 0; done
  return 1
}

# Runs a program, keeping its standard output, standard error and status.
run() {
  "$@" >"$work/out" 2>"$work/err"
  echo $? >"$work/status"
}
expect() { # expect WHAT STATUS STDOUT STDERR
  local what=$1 status=$2 out=$3 err=$4
  local got_status got_out got_err
  got_status=$(cat "$work/status")
  got_out=$(cat "$work/out")
  got_err=$(cat "$work/err")
  if [ "$got_status" = "$status" ] && [ "$got_out" = "$out" ] && [ "$got_err" = "$err" ]; then
    pass "$what"
  else
    fail "$what: status $got_status (want $status)"
    echo "  stdout: $got_out"
    echo "  stderr: $got_err"
  fi
}

file_in_place() {
  if [ -f "$1" ]; then pass "installed ${1#"$root"}"; else fail "missing ${1#"$root"}"; fi
}

# A manual page must render without a single warning from groff or man.
check_man() {
  [ "${SMOKE_NO_MAN:-0}" = 1 ] && return
  local page=$share/man/man1/$1.1.gz
  file_in_place "$page"
  [ -f "$page" ] || return
  local warnings
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  if [ -z "$warnings" ]; then pass "man --warnings -l $1.1"; else fail "man warns on $1.1: $warnings"; fi
}

# A manual page as plain text, wide enough that no line wraps.
man_text() {
  LC_ALL=C.UTF-8 MANWIDTH=400 man -l "$share/man/man1/$1.1.gz" 2>/dev/null | col -b
}
# The first line of a page's synopsis.
synopsis() {
  man_text "$1" | sed -n '/^SYNOPSIS/{n;s/^ *//;p;q}'
}

for c in "${components[@]}"; do
  p=ombru-$c
  file_in_place "$bin/$p"
  file_in_place "$share/doc/$p/copyright"
  check_man "$p"
done

if has ax; then
  usage="usage: ombru-ax <read|probe|click|find|text|field|hold|windows> <app name> [name ...]"
  run "$bin/ombru-ax"
  expect "ombru-ax without arguments" 2 "$usage" ""
  run "$bin/ombru-ax" read
  expect "ombru-ax without an application" 2 "$usage" ""
  # No session bus, so no accessibility bus: nothing is running.
  run env -u DBUS_SESSION_BUS_ADDRESS -u DISPLAY -u AT_SPI_BUS_ADDRESS "$bin/ombru-ax" windows Slack
  expect "ombru-ax without a desktop" 3 "" "app-not-running"
  if [ "${SMOKE_NO_MAN:-0}" != 1 ]; then
    got=$(synopsis ombru-ax)
    [ "$got" = "${usage#usage: }" ] && pass "ombru-ax(1) synopsis is the usage line" ||
      fail "ombru-ax(1) synopsis '$got' is not the usage line"
  fi
fi

if has stt; then
  run "$bin/ombru-stt"
  expect "ombru-stt without arguments" 2 "" "usage: ombru-stt <audio-file> [--server-ok]"
  run "$bin/ombru-stt" "$work/absent.wav"
  expect "ombru-stt on a missing file" 7 "" \
    "recognition-failed: System error : No such file or directory."
  if [ -n "${SMOKE_TRANSCRIBE:-}" ]; then
    run "$bin/ombru-stt" "$SMOKE_TRANSCRIBE"
    if [ "$(cat "$work/status")" = 0 ] && grep -q "message" "$work/out"; then
      pass "ombru-stt transcribes: $(cat "$work/out")"
    else
      fail "ombru-stt did not transcribe: status $(cat "$work/status"): $(cat "$work/out" "$work/err")"
    fi
  fi
  # The usage text is fixed by the program; the page quotes it exactly. The
  # page is read whole before it is searched: grep -q leaves at the first
  # match, and under pipefail the writer it cut off would fail the check.
  if [ "${SMOKE_NO_MAN:-0}" = 1 ]; then
    :
  elif page=$(man_text ombru-stt) &&
    grep -qF '"usage: ombru-stt <audio-file> [--server-ok]"' <<<"$page"; then
    pass "ombru-stt(1) quotes the usage text"
  else
    fail "ombru-stt(1) does not quote the usage text"
  fi
fi

if has dev-daemon; then
  run "$bin/ombru-dev-daemon" --help
  if [ "$(cat "$work/status")" = 0 ] && head -1 "$work/out" | grep -q '^usage: ombru-dev-daemon '; then
    pass "ombru-dev-daemon --help"
  else
    fail "ombru-dev-daemon --help: status $(cat "$work/status")"
  fi
  unit=$(find "$root" -path '*/systemd/user/dev.ombru.voice.service' | head -1)
  if [ -n "$unit" ] && grep -qx "ExecStart=$prefix/bin/ombru-dev-daemon --log %S/ombru/ombru.log" "$unit"; then
    pass "user unit ${unit#"$root"} runs $prefix/bin/ombru-dev-daemon"
  else
    fail "no user unit running $prefix/bin/ombru-dev-daemon (found: ${unit:-none})"
  fi
fi

if has menu; then
  desktop=$share/applications/ombru-menu.desktop
  autostart=$(find "$root" -path '*/xdg/autostart/ombru-menu.desktop' | head -1)
  metainfo=$share/metainfo/dev.ombru.menu.metainfo.xml
  icon=$share/icons/hicolor/scalable/apps/ombru-menu.svg
  for f in "$desktop" "$metainfo" "$icon"; do file_in_place "$f"; done
  for f in "$desktop" $autostart; do
    if out=$(desktop-file-validate "$f" 2>&1) && [ -z "$out" ]; then
      pass "desktop-file-validate ${f#"$root"}"
    else
      fail "desktop-file-validate ${f#"$root"}: $out"
    fi
  done
  [ -n "$autostart" ] && pass "autostart entry ${autostart#"$root"}" || fail "no autostart entry"
  if out=$(appstreamcli validate --no-net --pedantic "$metainfo" 2>&1); then
    pass "appstreamcli validate --no-net ${metainfo#"$root"}"
  else
    fail "appstreamcli validate: $out"
  fi
  # The tree as a software centre reads it: metainfo, desktop entry, icon.
  if out=$(appstreamcli validate-tree --no-net --pedantic "$root$prefix" 2>&1); then
    pass "appstreamcli validate-tree --no-net ${prefix}"
  else
    fail "appstreamcli validate-tree: $out"
  fi
  if python3 -c 'import sys, xml.etree.ElementTree as E; r = E.parse(sys.argv[1]).getroot(); sys.exit(r.tag != "{http://www.w3.org/2000/svg}svg")' "$icon"; then
    pass "icon is an SVG document"
  else
    fail "icon is not an SVG document"
  fi
  if has dev-daemon; then
    # The application looks for its daemon on 127.0.0.1:8765 only. In a
    # network namespace of its own that port is surely free and private;
    # where none can be made, the test holds the port's CTest lock.
    if unshare --user --map-root-user --net ip link set lo up 2>/dev/null; then
      isolate=(unshare --user --map-root-user --net sh -c 'ip link set lo up && exec "$@"' sh)
      where="a private network namespace"
    else
      isolate=()
      where="the host's loopback"
    fi
    "${isolate[@]}" bash "$here/one_poll.sh" "$bin" "$work/poll" >"$work/poll.out" 2>&1
    if [ $? = 0 ]; then
      pass "ombru-menu polled the installed daemon once, in $where"
    else
      fail "ombru-menu one-poll run in $where"
      sed 's/^/  /' "$work/poll.out"
    fi
  fi
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
