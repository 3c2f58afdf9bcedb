#!/usr/bin/env bash
# Times `ombru-ax text` and `ombru-ax read` on a chat page of about 3000
# elements, side by side in one run on the same page: ombru-ax's bulk walk,
# its serial walk (OMBRU_AX_WALK=serial), floor_walk (the bare serial
# libatspi walk that reads the same attributes), pyatspi_walk.py (the same
# walk in pyatspi), and pipeline_floor (what the page costs the target to
# answer at all: one GetItems, and one pipelined GetText per element).
# D-Bus calls per element: counted by the bulk walk itself
# (OMBRU_AX_COUNT_CALLS), and as sendmsg calls under strace for the serial
# walk. Runs inside scripts/with-session; stops what it starts by pid.
# Usage: walk_bench.sh <ombru-ax> <floor_walk> <pipeline_floor> <chat.html> [rows] [lines] [runs]
set -uo pipefail
ax=$1 floor=$2 pipe=$3 page=$4 rows=${5:-620} lines=${6:-450} runs=${7:-5}
pause_ms=400 # the fixed start-up pause of every ombru-ax run
py="$(dirname "$0")/pyatspi_walk.py"

dir=$(mktemp -d /tmp/ombru-ax-bench.XXXXXX)
setsid /usr/bin/chromium --no-sandbox --force-renderer-accessibility --test-type \
  --user-data-dir="$dir/profile" --disable-background-networking --disable-component-update \
  --disable-sync --no-first-run --disable-gpu --disable-quic --enable-logging=stderr --v=0 \
  --window-position=0,0 --window-size=1000,700 "file://$page?rows=$rows&lines=$lines" \
  >"$dir/chromium.log" 2>&1 &
browser=$!
cleanup() {
  kill -TERM -- "-$browser" 2>/dev/null || kill -TERM "$browser" 2>/dev/null
  sleep 0.5
  kill -KILL -- "-$browser" 2>/dev/null
  wait "$browser" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT

# Chromium's GetItems lists only what its bridge has seen added: a page that
# is still being built when the first client connects is listed in part, and
# the bulk walk then reads most child lists one by one. So the page is let
# load first; the target floor line shows how many elements GetItems lists.
for _ in $(seq 300); do
  grep -q 'CONSOLE.*"ready"' "$dir/chromium.log" && break
  sleep 0.1
done
sleep 1
want=$((rows * 2 + lines))
for _ in $(seq 120); do
  n=$("$ax" probe Chromium 2>/dev/null | sed -n 's/^web-area-reachable lines=//p')
  [ -n "$n" ] && [ "$n" -ge "$want" ] && break
  sleep 0.5
done
[ -n "${n:-}" ] && [ "$n" -ge "$want" ] || { echo "walk_bench: the page's tree never appeared" >&2; exit 1; }

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

a11y=$(gdbus call --session --dest org.a11y.Bus --object-path /org/a11y/bus \
  --method org.a11y.Bus.GetAddress | sed "s/^('//; s/',)\$//")

status=0
for mode in text read; do
  "$ax" "$mode" Chromium >/dev/null; "$floor" "$mode" Chromium >/dev/null # warm both
  for f in ax serial floor py; do : >"$dir/$f"; done
  for _ in $(seq "$runs"); do
    t0=$(now_ms)
    OMBRU_AX_COUNT_CALLS=1 "$ax" "$mode" Chromium >"$dir/out" 2>"$dir/calls" || status=1
    t1=$(now_ms)
    echo $((t1 - t0 - pause_ms)) >>"$dir/ax"
    t0=$(now_ms)
    OMBRU_AX_WALK=serial "$ax" "$mode" Chromium >"$dir/serial.out" || status=1
    t1=$(now_ms)
    echo $((t1 - t0 - pause_ms)) >>"$dir/serial"
    cmp -s "$dir/out" "$dir/serial.out" || { echo "walk_bench: $mode: bulk and serial walks differ" >&2; status=1; }
    t0=$(now_ms)
    "$floor" "$mode" Chromium >"$dir/floor.out" || status=1
    t1=$(now_ms)
    echo $((t1 - t0)) >>"$dir/floor"
    t0=$(now_ms)
    "$py" "$mode" Chromium >/dev/null || status=1
    t1=$(now_ms)
    echo $((t1 - t0)) >>"$dir/py"
  done
  a=$(median <"$dir/ax") s=$(median <"$dir/serial") f=$(median <"$dir/floor") y=$(median <"$dir/py")
  elements=$(sed -n 's/.*elements=\([0-9]*\).*/\1/p' "$dir/floor.out")
  calls=$(sed -n 's/^ombru-ax: \([0-9]*\) D-Bus calls$/\1/p' "$dir/calls")
  serialCalls=0
  if command -v strace >/dev/null; then
    serialCalls=$(OMBRU_AX_WALK=serial strace -f -c -e trace=sendmsg "$ax" "$mode" Chromium 2>&1 >/dev/null |
      awk '$NF == "sendmsg" {print $4}')
  fi
  awk -v m="$mode" -v a="$a" -v s="$s" -v f="$f" -v y="$y" -v e="$elements" -v c="$calls" -v sc="${serialCalls:-0}" 'BEGIN {
    printf "%-4s elements=%d bulk=%d ms serial=%d ms (both less the 400 ms pause) floor_walk=%d ms pyatspi=%d ms\n", m, e, a, s, f, y
    printf "     pyatspi/bulk=%.2f serial/bulk=%.2f floor_walk/bulk=%.2f calls/element: bulk %.2f, serial %.2f\n", y / a, s / a, f / a, c / e, sc / e
  }'
done
echo "target floor: $("$pipe" "$a11y" Chromium)"
exit $status
