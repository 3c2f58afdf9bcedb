#!/usr/bin/env bash
# bench_idle.sh OMBRU_MENU BARE_TRAY DEV_DAEMON [SECONDS]
# Run inside scripts/with-session. Polls a stand-in daemon with ombru-menu for
# SECONDS (default 600) beside a bare Qt tray application, both in a real
# XEmbed tray, and reports idle CPU and resident memory of each. Fails when
# ombru-menu uses more than 0.1% CPU, grows, or needs more than 1.2x the
# memory of the bare application.
set -uo pipefail
menu=$1 bare=$2 daemon=$3 seconds=${4:-600}
warm=30
dir=$(mktemp -d /tmp/ombru-bench.XXXXXX)
pids=()
cleanup() {
  for ((i=${#pids[@]}-1; i>=0; i--)); do kill -TERM "${pids[i]}" 2>/dev/null; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
  rm -rf "$dir"
}
trap cleanup EXIT

trayer --edge top --align right --widthtype request --height 28 --SetDockType true \
  --transparent false >/dev/null 2>&1 &
pids+=($!)
"$daemon" --port 8765 --log "$dir/requests.log" 2>"$dir/daemon.err" &
pids+=($!)
sleep 0.5
grep -q "listening on" "$dir/daemon.err" || { cat "$dir/daemon.err" >&2; exit 1; }
# A private copy, so that an ombru-menu already running from this build is
# not taken for an older copy of it.
cp "$menu" "$dir/ombru-menu"
QT_QPA_PLATFORM=xcb "$dir/ombru-menu" >"$dir/menu.log" 2>&1 &
mpid=$!; pids+=($mpid)
QT_QPA_PLATFORM=xcb "$bare" >"$dir/bare.log" 2>&1 &
bpid=$!; pids+=($bpid)

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }
hz=$(getconf CLK_TCK)

sleep "$warm"
t0=$(date +%s.%N); m0=$(ticks $mpid); b0=$(ticks $bpid)
mr0=$(rss $mpid); br0=$(rss $bpid)
printf '%6s %12s %12s\n' "time/s" "menu KiB" "bare KiB"
printf '%6d %12d %12d\n' 0 "$mr0" "$br0"
mmax=$mr0 left=$seconds
while [ "$left" -gt 0 ]; do
  step=$(( left < 60 ? left : 60 ))
  sleep "$step"; left=$((left - step))
  kill -0 $mpid 2>/dev/null || { echo "ombru-menu died" >&2; exit 1; }
  mr=$(rss $mpid); br=$(rss $bpid)
  [ "$mr" -gt "$mmax" ] && mmax=$mr
  printf '%6d %12d %12d\n' $((seconds - left)) "$mr" "$br"
done
t1=$(date +%s.%N); m1=$(ticks $mpid); b1=$(ticks $bpid)
polls=$(grep -c '"/state"' "$dir/requests.log")

awk -v t0="$t0" -v t1="$t1" -v m0="$m0" -v m1="$m1" -v b0="$b0" -v b1="$b1" -v hz="$hz" \
    -v mr0="$mr0" -v mr="$mr" -v br="$br" -v mmax="$mmax" -v polls="$polls" 'BEGIN {
  el = t1 - t0
  mcpu = (m1 - m0) / hz / el * 100; bcpu = (b1 - b0) / hz / el * 100
  ratio = mr / br
  printf "elapsed %.0f s, %d polls of /state\n", el, polls
  printf "ombru-menu: CPU %.3f%%, RSS %d KiB at start, %d KiB at end, peak %d KiB (growth %d KiB)\n", mcpu, mr0, mr, mmax, mr - mr0
  printf "bare tray:  CPU %.3f%%, RSS %d KiB\n", bcpu, br
  printf "RSS ratio ombru-menu / bare: %.3f\n", ratio
  bad = 0
  if (mcpu > 0.1) { print "FAIL: idle CPU above 0.1%"; bad = 1 }
  if (ratio > 1.2) { print "FAIL: resident memory above 1.2x the bare tray application"; bad = 1 }
  if (mmax - mr0 > 1024) { print "FAIL: resident memory grew by more than 1 MiB"; bad = 1 }
  exit bad
}'
