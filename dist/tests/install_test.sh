#!/usr/bin/env bash
# Installs a build into a fresh DESTDIR one component at a time, checks that
# the components together hold everything a plain install puts in place (an
# install rule without a component would make a stray package), then runs
# the smoke checks on the tree.
#
#   install_test.sh BUILD_DIR PREFIX WORK_DIR COMPONENT...
set -euo pipefail

build=$1 prefix=$2 work=$3
shift 3
here=$(cd "$(dirname "$0")" && pwd)

rm -rf "$work"
mkdir -p "$work"
for c in "$@"; do
  DESTDIR=$work/root cmake --install "$build" --component "$c" >/dev/null
done
DESTDIR=$work/all cmake --install "$build" >/dev/null
(cd "$work/root" && find . -type f | sort) >"$work/components.txt"
(cd "$work/all" && find . -type f | sort) >"$work/all.txt"
if ! diff -u "$work/components.txt" "$work/all.txt"; then
  echo "FAIL: files installed outside the components $* (lines with +)"
  exit 1
fi
echo "ok: the components $* install all $(wc -l <"$work/all.txt") files"

status=0
bash "$here/smoke.sh" "$work/root" "$prefix" "$@" || status=$?
rm -rf "$work"
exit "$status"
