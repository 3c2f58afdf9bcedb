#!/usr/bin/env bash
# Times `ombru-ax text` and `ombru-ax read` on a chat page of about 3000
# elements against floor_walk, the bare libatspi walk that reads the same
# attributes, and pyatspi_walk.py, the same walk in pyatspi, side by side.
# Runs inside scripts/with-session; stops what it starts by pid.
# Usage: walk_bench.sh <ombru-ax> <floor_walk> <chat.html> [rows] [lines] [runs]
set -uo pipefail
ax=$1 floor=$2 page=$3 rows=${4:-620} lines=${5:-450} runs=${6:-5}
pause_ms=400 # the fixed start-up pause of every ombru-ax run
py="$(dirname "$0")/pyatspi_walk.py"

dir=$(mktemp -d /tmp/ombru-ax-bench.XXXXXX)
setsid /usr/bin/chromium --no-sandbox --force-renderer-accessibility --test-type \
  --user-data-dir="$dir/profile" --disable-background-networking --disable-component-update \
  --disable-sync --no-first-run --disable-gpu --disable-quic --window-position=0,0 \
  --window-size=1000,700 "file://$page?rows=$rows&lines=$lines" >"$dir/chromium.log" 2>&1 &
browser=$!
cleanup() {
  kill -TERM -- "-$browser" 2>/dev/null || kill -TERM "$browser" 2>/dev/null
  sleep 0.5
  kill -KILL -- "-$browser" 2>/dev/null
  wait "$browser" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT

want=$((rows * 2 + lines))
for _ in $(seq 120); do
  n=$("$ax" probe Chromium 2>/dev/null | sed -n 's/^web-area-reachable lines=//p')
  [ -n "$n" ] && [ "$n" -ge "$want" ] && break
  sleep 0.5
done
[ -n "${n:-}" ] && [ "$n" -ge "$want" ] || { echo "walk_bench: the page's tree never appeared" >&2; exit 1; }

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

status=0
for mode in text read; do
  "$ax" "$mode" Chromium >/dev/null; "$floor" "$mode" Chromium >/dev/null # warm both
  : >"$dir/ax" ; : >"$dir/floor"; : >"$dir/rss"; : >"$dir/py"
  for _ in $(seq "$runs"); do
    t0=$(now_ms)
    /usr/bin/time -f %M -o "$dir/rss.one" "$ax" "$mode" Chromium >"$dir/out" || status=1
    t1=$(now_ms)
    echo $((t1 - t0 - pause_ms)) >>"$dir/ax"
    cat "$dir/rss.one" >>"$dir/rss"
    t0=$(now_ms)
    "$floor" "$mode" Chromium >"$dir/floor.out" || status=1
    t1=$(now_ms)
    echo $((t1 - t0)) >>"$dir/floor"
    t0=$(now_ms)
    "$py" "$mode" Chromium >/dev/null || status=1
    t1=$(now_ms)
    echo $((t1 - t0)) >>"$dir/py"
  done
  a=$(median <"$dir/ax") f=$(median <"$dir/floor") rss=$(median <"$dir/rss") y=$(median <"$dir/py")
  elements=$(sed -n 's/.*elements=\([0-9]*\).*/\1/p' "$dir/floor.out")
  printed=$(wc -l <"$dir/out")
  awk -v m="$mode" -v a="$a" -v f="$f" -v e="$elements" -v p="$printed" -v rss="$rss" -v y="$y" 'BEGIN {
    printf "%-4s elements=%d printed=%d ombru-ax=%d ms (less the %d ms pause) floor=%d ms ratio=%.2f", m, e, p, a, 400, f, a / f
    printf " ombru-ax %.0f elements/s, floor %.0f elements/s, max RSS %d KiB", e * 1000 / a, e * 1000 / f, rss
    printf " pyatspi=%d ms (%.0f elements/s) pyatspi/ombru-ax=%.2f\n", y, e * 1000 / y, y / a
  }'
done
exit $status
