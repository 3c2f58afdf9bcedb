#!/usr/bin/env bash
# e2e_wayland.sh PYTHON OMBRU_MENU OMBRU_DEV_DAEMON SHOT_DIR
# Runs e2e_waybar.py in a private runtime folder and session bus; as root it
# runs as nobody, since sway refuses to run as root. Everything it starts is
# stopped by it, and the bus with it. Exits 77 (skipped) when nobody cannot
# reach the programs under test.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
python=$1 app=$2 daemon=$3 shots=$4
dir=$(mktemp -d /tmp/ombru-wayland.XXXXXX)
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/runtime" "$shots"
chmod 700 "$dir/runtime"
run=()
if [ "$(id -u)" -eq 0 ]; then
  run=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  icons="$(dirname "$app")/../share/icons/hicolor/16x16/apps/ombru-menu-symbolic.svg"
  for f in "x:$app" "x:$daemon" "r:$here/e2e_waybar.py" "r:$here/e2e_support.py" \
    "r:$here/wl_pointer.py" "r:$icons"; do
    if ! "${run[@]}" test "-${f%%:*}" "${f#*:}"; then
      f=${f#*:}
      echo "SKIP: sway runs only as an ordinary user, and nobody cannot reach $f" \
        "(make the source and build trees readable, e.g. umask 022)"
      exit 77
    fi
  done
  chown -R nobody:nogroup "$dir"
  # Screenshots are left for whoever runs the tests; nobody writes them.
  chown nobody:nogroup "$shots"
  chmod 755 "$shots"
fi
cd "$dir"
"${run[@]}" env -i PATH=/usr/bin:/bin HOME="$dir" TMPDIR="$dir" XDG_RUNTIME_DIR="$dir/runtime" \
  LANG=C.UTF-8 dbus-run-session -- "$python" "$here/e2e_waybar.py" "$app" "$daemon" "$shots"
