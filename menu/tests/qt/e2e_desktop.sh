#!/usr/bin/env bash
# e2e_desktop.sh [VAR=VALUE...] -- PYTHON SCRIPT ARGS...
# Runs one desktop's end-to-end test in a session of its own: a private home
# and settings folder (so nothing reaches the user's, and settings services
# started on the bus write there too), the given variables set before the
# session bus starts (Plasma reads KDE_FULL_SESSION there), then Xvfb, the
# session bus and the accessibility bus of scripts/with-session. Everything is
# stopped by pid when the test ends.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
vars=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do vars+=("$1"); shift; done
[ $# -ge 3 ] || { echo "usage: e2e_desktop.sh [VAR=VALUE...] -- PYTHON SCRIPT ARGS..." >&2; exit 2; }
shift
dir=$(mktemp -d /tmp/ombru-desktop.XXXXXX)
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/config" "$dir/data" "$dir/cache" "$dir/runtime"
chmod 700 "$dir/runtime"
# The runtime folder is set before the bus starts, so that the settings
# service it starts shares it with the desktop (OMBRU_RUNTIME_DIR tells the
# test, since with-session sets one of its own for what it starts later).
env "${vars[@]}" HOME="$dir" XDG_CONFIG_HOME="$dir/config" XDG_DATA_HOME="$dir/data" \
  XDG_CACHE_HOME="$dir/cache" XDG_RUNTIME_DIR="$dir/runtime" OMBRU_RUNTIME_DIR="$dir/runtime" \
  LANG=C.UTF-8 \
  "$here/../../../scripts/with-session" --no-wm -- "$@"
