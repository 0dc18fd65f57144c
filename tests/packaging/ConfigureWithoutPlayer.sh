#!/usr/bin/env bash
# A source tree without the player control must not configure into a launcher that cannot play:
# the configuration fails and says how to get it, unless BRIMTALE_WITHOUT_PLAYER asks for such a
# launcher. Works on a copy of the tracked sources ($1), without node_modules.
set -euo pipefail
source=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/src-copy"
(cd "$source" && git ls-files -z | xargs -0 tar -cf -) | tar -xf - -C "$work/src-copy"
if cmake -S "$work/src-copy" -B "$work/plain" -G Ninja >"$work/plain.log" 2>&1; then
  echo "FAIL: configured without the player control"; exit 1
fi
grep -q "scripts/install-deps" "$work/plain.log" || { cat "$work/plain.log"; echo "FAIL: no hint"; exit 1; }
echo "refused: $(grep -m1 -o 'The player control.*is missing' "$work/plain.log")"
cmake -S "$work/src-copy" -B "$work/without" -G Ninja -DBRIMTALE_WITHOUT_PLAYER=ON >"$work/without.log" 2>&1 || {
  cat "$work/without.log"; echo "FAIL: BRIMTALE_WITHOUT_PLAYER=ON does not configure"; exit 1; }
echo "configured with BRIMTALE_WITHOUT_PLAYER=ON"
