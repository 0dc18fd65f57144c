#!/usr/bin/env bash
# Builds the Debian package of the build folder $1 with CPack, lists it, unpacks it into a
# temporary root and checks what a player gets: the launcher (which runs from there), the player
# control, the documentation with the example configuration, the desktop entry and the icon, and
# what a game maker gets: brimtale-pack.
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
            ./usr/share/icons/hicolor/scalable/apps/brimtale-launcher.svg ./usr/lib/brimtale/player/package.json \
            ./usr/bin/brimtale-launcher-demo ./usr/share/applications/brimtale-launcher-demo.desktop \
            ./usr/lib/brimtale-launcher/demo/brimtale-demo-server ./usr/lib/brimtale-launcher/demo/config.txt \
            ./usr/lib/brimtale-launcher/demo/site/DemoMovie.swf ./usr/lib/brimtale-launcher/demo/site/manifest.txt \
            ./usr/bin/brimtale-pack; do
  if grep -q " $path\$" "$work/contents"; then echo "listed: $path"; else echo "MISSING: $path"; fail=1; fi
done
depends=$(dpkg-deb -f "$deb" Depends)
echo "depends: $depends"
[[ $depends == *libwebkit2gtk-4.1* && $depends == *libcurl* ]] || { echo "MISSING dependencies"; fail=1; }

root=$work/root
dpkg -x "$deb" "$root"
grep -q '^Exec=brimtale-launcher$' "$root/usr/share/applications/brimtale-launcher.desktop" || {
  echo "desktop entry does not start the launcher"; fail=1; }
grep -q '^Exec=brimtale-launcher-demo$' "$root/usr/share/applications/brimtale-launcher-demo.desktop" || {
  echo "desktop entry does not start the demo"; fail=1; }
# The installed launcher runs: as started by the game hall without its arguments it ends at once
# with status 255 (and writes nothing but its log, which is off here).
cp "$root/usr/bin/brimtale-launcher" "$work/launcher"
echo '{"LauncherType": 1}' >"$work/config.txt"
status=0
HOME=$work/home "$work/launcher" >/dev/null 2>&1 || status=$?
echo "installed launcher without hall arguments: status $status"
[[ $status -eq 255 ]] || fail=1

# The installed packer makes a patch site of a game folder.
mkdir -p "$work/game"
echo hello >"$work/game/readme.txt"
if ! "$root/usr/bin/brimtale-pack" "$work/game" "$work/site" >"$work/pack.log" 2>&1 ||
   ! grep -q '^readme.txt 6 b1946ac92492d2347c6235b4d2611184 raw 6 ' "$work/site/manifest.txt"; then
  echo "the installed brimtale-pack did not pack:"; cat "$work/pack.log"; fail=1
fi

# The installed demo runs from the unpacked root as a player would start it, without a display:
# it installs the game, starts it, and ends with it.
home=$work/player
mkdir -p "$home"
status=0
env -u DISPLAY -u WAYLAND_DISPLAY -u XDG_DATA_HOME -u XDG_CONFIG_HOME -u XDG_CACHE_HOME HOME="$home" \
  BRIMTALE_DEMO_GAME_SECONDS=2 BRIMTALE_DEMO_TIMEOUT=120 "$root/usr/bin/brimtale-launcher-demo" \
  >"$work/demo.log" 2>&1 || status=$?
echo "installed demo: status $status"
if [[ $status -ne 0 ]] || ! grep -q 'FlashLog: demo: Brimtale is running' "$home/Documents/zelqlog/log.txt" ||
   [[ ! -f $home/.local/share/Brimtale/game/data/world.dat ]]; then
  echo "the installed demo did not start the game:"; cat "$work/demo.log"; fail=1
fi
exit $fail
