#!/usr/bin/env bash
# run.sh OMBRU_AX CLIENT [--hold]
# Runs the client suite in a clean environment, with $PYTHON (the build's
# interpreter; Debian's by default); as root it runs as nobody,
# since Gajim refuses root and HexChat stops at a dialog as root. Exits 77
# (skipped) when nobody cannot reach the program under test.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
run=()
if [ "$(id -u)" -eq 0 ]; then
  run=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  for f in "x:$1" "r:$here/harness.py" "r:$here/clients_e2e.py"; do
    if ! "${run[@]}" test "-${f%%:*}" "${f#*:}"; then
      echo "SKIP: the clients run as an ordinary user, and nobody cannot reach ${f#*:}" \
        "(make the source and build trees readable, e.g. umask 022)"
      exit 77
    fi
  done
fi
cd /tmp
exec "${run[@]}" env -i PATH=/usr/bin:/bin LANG=C.UTF-8 TMPDIR=/tmp OMBRU_KEEP_DIR="${OMBRU_KEEP_DIR:-}" \
  "${PYTHON:-/usr/bin/python3}" -u "$here/clients_e2e.py" "$@"
