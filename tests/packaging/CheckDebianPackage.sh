#!/usr/bin/env bash
# Builds the Debian package of the build folder $1 with CPack, lists it, unpacks it into a
# temporary root and checks what a player gets: the launcher (which runs from there), the player
# control, the documentation with the example configuration, the desktop entry and the icon.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) || {
  cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/out/*.deb)
echo "package: $(basename "$deb")"
dpkg-deb -c "$deb" >"$work/contents"
fail=0
for path in ./usr/bin/brimtale-launcher ./usr/share/doc/brimtale-launcher/README.md \
            ./usr/share/doc/brimtale-launcher/config.txt ./usr/share/applications/brimtale-launcher.desktop \
            ./usr/share/icons/hicolor/scalable/apps/brimtale-launcher.svg ./usr/lib/brimtale/player/package.json; do
  if grep -q " $path\$" "$work/contents"; then echo "listed: $path"; else echo "MISSING: $path"; fail=1; fi
done
depends=$(dpkg-deb -f "$deb" Depends)
echo "depends: $depends"
[[ $depends == *libwebkit2gtk-4.1* && $depends == *libcurl* ]] || { echo "MISSING dependencies"; fail=1; }

root=$work/root
dpkg -x "$deb" "$root"
grep -q '^Exec=brimtale-launcher$' "$root/usr/share/applications/brimtale-launcher.desktop" || {
  echo "desktop entry does not start the launcher"; fail=1; }
# The installed launcher runs: as started by the game hall without its arguments it ends at once
# with status 255 (and writes nothing but its log, which is off here).
cp "$root/usr/bin/brimtale-launcher" "$work/launcher"
echo '{"LauncherType": 1}' >"$work/config.txt"
status=0
HOME=$work/home "$work/launcher" >/dev/null 2>&1 || status=$?
echo "installed launcher without hall arguments: status $status"
[[ $status -eq 255 ]] || fail=1
exit $fail
