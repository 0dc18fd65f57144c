#!/usr/bin/env bash
# Builds the Debian packages of the build folder $1 once with CPack (brimtale-launcher and
# brimtale-launcher-demo) and checks them as a packager and a player meet them:
#
#  1. what they list, depend on and keep as conffiles; lintian (-I -E --pedantic) finds no error;
#     the programs carry Debian's hardening (hardening-check);
#  2. installed with dpkg into overlays of /usr, /etc and /var inside a mount namespace of this
#     script's own (the machine is left as it was) and a network namespace that holds only
#     loopback (nothing leaves the machine), then run as an ordinary user, nobody, through
#     setpriv, the way a player starts them: --help and --version, the configuration from /etc and
#     from the user's folder, and the demo, which patches and starts the game under Xvfb.
#
# A case of part 2 is a function named player_case_NAME, run in the order of the names, as root in the
# namespaces with the packages installed; it runs the player's commands through `as_player` (or
# `as_player_on_xvfb` for windows, and `as_player_on_xvfb_until PATTERN NAME COMMAND...` to look
# at a window that stays: once the log shows PATTERN the screen is kept as Package.NAME.png, then
# the command is ended), writes
# the player's configuration with `player_config`, reads the player's log with `player_log`, keeps
# screenshots with `keep_screenshot NAME FILE`, and reports a fault with `fault TEXT` (the script
# goes on, and fails at its end).
set -euo pipefail

if [[ ${1:-} == --installed ]]; then
  inside=1
  work=$2
else
  inside=0
  build=$1
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  chmod 755 "$work"
fi
faults=$work/faults
fault() {
  echo "FAULT: $*"
  echo "$*" >>"$faults"
}

if ((!inside)); then
  (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) || {
    cat "$work/cpack.log"; exit 1; }
  launcher_deb=$(ls "$work"/out/brimtale-launcher_*.deb)
  demo_deb=$(ls "$work"/out/brimtale-launcher-demo_*.deb)
  version=$(dpkg-deb -f "$launcher_deb" Version)
  echo "packages: $(basename "$launcher_deb") $(basename "$demo_deb")"

  # What each package lists; the player control is carried once, inside the launcher.
  check_listed() {
    local deb=$1
    shift
    dpkg-deb -c "$deb" >"$work/contents"
    for path in "$@"; do
      if grep -q " $path\$" "$work/contents"; then echo "listed: $path"; else fault "$(basename "$deb") misses $path"; fi
    done
  }
  check_listed "$launcher_deb" ./usr/games/brimtale-launcher ./usr/bin/brimtale-pack ./etc/brimtale/config.txt \
    ./usr/share/doc/brimtale-launcher/README.md ./usr/share/doc/brimtale-launcher/examples/config.txt \
    ./usr/share/doc/brimtale-launcher/copyright ./usr/share/doc/brimtale-launcher/changelog.gz \
    ./usr/share/man/man6/brimtale-launcher.6.gz ./usr/share/man/man1/brimtale-pack.1.gz \
    ./usr/share/applications/brimtale-launcher.desktop \
    ./usr/share/icons/hicolor/scalable/apps/brimtale-launcher.svg
  grep -q '/usr/lib/brimtale/player/' "$work/contents" && fault "the player control is shipped a second time"
  check_listed "$demo_deb" ./usr/games/brimtale-launcher-demo ./usr/share/applications/brimtale-launcher-demo.desktop \
    ./usr/lib/brimtale-launcher/demo/brimtale-demo-server ./usr/lib/brimtale-launcher/demo/config.txt \
    ./usr/lib/brimtale-launcher/demo/site/DemoMovie.swf ./usr/lib/brimtale-launcher/demo/site/manifest.txt \
    ./usr/share/man/man6/brimtale-launcher-demo.6.gz ./usr/share/doc/brimtale-launcher-demo/copyright \
    ./usr/share/doc/brimtale-launcher-demo/changelog.gz

  depends=$(dpkg-deb -f "$launcher_deb" Depends)
  echo "brimtale-launcher depends: $depends"
  [[ $depends == *libwebkit2gtk-4.1* && $depends == *libcurl* ]] || fault "the launcher's dependencies are missing"
  [[ $depends == *httplib* ]] && fault "the launcher depends on the demo's HTTP library"
  depends=$(dpkg-deb -f "$demo_deb" Depends)
  echo "brimtale-launcher-demo depends: $depends"
  [[ $depends == *"brimtale-launcher (= $version)"* && $depends == *libcpp-httplib* ]] ||
    fault "the demo's dependencies are missing"
  [[ $(dpkg-deb -I "$launcher_deb" conffiles 2>/dev/null) == /etc/brimtale/config.txt ]] ||
    fault "/etc/brimtale/config.txt is not a conffile"

  if command -v lintian >/dev/null; then
    lintian -I -E --pedantic "$launcher_deb" "$demo_deb" >"$work/lintian.txt" 2>&1 || true
    echo "lintian -I -E --pedantic:"
    sed 's/^/  /' "$work/lintian.txt"
    grep -q '^E: ' "$work/lintian.txt" && fault "lintian finds errors"
  else
    fault "lintian is missing (scripts/install-deps installs it)"
  fi

  root=$work/root
  dpkg -x "$launcher_deb" "$root"
  dpkg -x "$demo_deb" "$root"
  if command -v hardening-check >/dev/null; then
    # Control flow protection cannot be marked on Debian 12: its C library's start files carry no
    # such mark, so the linker takes it off every program (and Debian 12 does not ask for it).
    for program in usr/games/brimtale-launcher usr/bin/brimtale-pack usr/lib/brimtale-launcher/demo/brimtale-demo-server; do
      hardening-check --nocfprotection "$root/$program" >"$work/hardening.txt" 2>&1 || fault "$program lacks hardening"
      sed "s|$root/||" "$work/hardening.txt"
    done
  else
    fault "hardening-check is missing (devscripts; scripts/install-deps installs it)"
  fi

  if [[ $(id -u) -ne 0 ]] || ! unshare --mount --net true 2>/dev/null; then
    echo "SKIPPED: installing and running the packages as a player needs root and namespaces"
    [[ -s $faults ]] && exit 1
    exit 77
  fi
  mkdir -p "$work/debs"
  cp "$launcher_deb" "$demo_deb" "$work/debs/"
  echo "$version" >"$work/version"
  unshare --mount --net --propagation private "$0" --installed "$work" || fault "the installed packages' run failed"
  if [[ -s $faults ]]; then
    echo "$(wc -l <"$faults") fault(s)"
    exit 1
  fi
  echo "all checks passed"
  exit 0
fi

# --- Inside the namespaces: the packages installed over overlays, run as nobody. ---
version=$(cat "$work/version")
ip link set lo up
overlay=$work/overlay
mkdir -p "$overlay"
mount -t tmpfs tmpfs "$overlay"
for dir in /usr /etc /var; do
  mkdir -p "$overlay/upper$dir" "$overlay/work$dir"
  mount -t overlay overlay -o "lowerdir=$dir,upperdir=$overlay/upper$dir,workdir=$overlay/work$dir" "$dir"
done
# The manual pages' index need not be rebuilt for a test (in the overlay, as all the rest).
rm -f /var/lib/man-db/auto-update
if ! dpkg -i "$work"/debs/*.deb >"$work/dpkg.log" 2>&1; then
  cat "$work/dpkg.log"
  fault "the packages do not install"
  exit 1
fi
echo "installed: $(dpkg-query -W -f='${Package} ${Version}, ' brimtale-launcher brimtale-launcher-demo)"

home=$work/player
mkdir -p "$home/Documents/zelqlog"
chown -R nobody:nogroup "$home"
chmod 700 "$home"
shots=$work/screenshots
mkdir -p "$shots"
chmod 777 "$shots"

# Runs a command as the player: nobody, with a home of its own and a plain environment, without
# a display; its standard output and error go to $work/out.txt and $work/err.txt.
as_player() {
  local status=0
  setpriv --reuid=nobody --regid=nogroup --clear-groups -- \
    env -i HOME="$home" USER=nobody LOGNAME=nobody LANG=C.UTF-8 PATH=/usr/local/bin:/usr/bin:/bin:/usr/games \
    "$@" >"$work/out.txt" 2>"$work/err.txt" || status=$?
  return $status
}
# The same on an X server of its own (Xvfb, run as the player too).
cp "$(dirname "$0")/../support/own-x-server.sh" "$work/own-x-server.sh"
chmod 755 "$work/own-x-server.sh"
as_player_on_xvfb() {
  as_player "$work/own-x-server.sh" "$@"
}
# Runs a command as the player on an X server of its own until the player's log holds a line that
# matches PATTERN (at most 300 s, or until the command ends), keeps a screenshot of the screen then
# as Package.NAME.png, and ends the command.
as_player_on_xvfb_until() {
  local pattern=$1 name=$2
  shift 2
  as_player_on_xvfb bash -c '"${@:4}" & pid=$!
    for ((i = 0; i < 3000; i++)); do
      grep -q -- "$1" "$2" 2>/dev/null && break
      kill -0 $pid 2>/dev/null || break
      sleep 0.1
    done
    import -window root "$3"; kill $pid; wait $pid' \
    _ "$pattern" "$home/Documents/zelqlog/log.txt" "$shots/$name.png" "$@" || true
  keep_screenshot "$name" "$shots/$name.png"
}
# Writes the player's own configuration, ~/.config/brimtale/config.txt.
player_config() {
  mkdir -p "$home/.config/brimtale"
  printf '%s\n' "$1" >"$home/.config/brimtale/config.txt"
  chown -R nobody:nogroup "$home/.config"
}
# The messages of the player's log, without their prefixes.
player_log() {
  sed -E 's/^\[PID:[0-9]+\]\[TID:[0-9]+\]\[[0-9:]+\] //' "$home/Documents/zelqlog/log.txt" 2>/dev/null || true
}
keep_screenshot() {
  local folder=${BRIMTALE_ARTIFACTS_DIR:-$work}
  mkdir -p "$folder" && cp "$2" "$folder/Package.$1.png" || true
}
expect_status() {
  local expected=$1 actual=$2 what=$3
  [[ $actual -eq $expected ]] || fault "$what: status $actual, not $expected ($(head -c 300 "$work/err.txt"))"
}

player_case_help_and_version() {
  local status
  for program in brimtale-launcher brimtale-launcher-demo; do
    status=0; as_player "$program" --help || status=$?
    expect_status 0 $status "$program --help"
    grep -q "^Usage: $program" "$work/out.txt" || fault "$program --help does not print its usage"
    [[ -s $work/err.txt ]] && fault "$program --help writes to standard error"
    status=0; as_player "$program" --version || status=$?
    expect_status 0 $status "$program --version"
    [[ $(cat "$work/out.txt") == "$program $version" ]] || fault "$program --version prints '$(cat "$work/out.txt")'"
  done
  echo "checked: --help and --version"
}

player_case_configuration_from_etc_and_the_users_folder() {
  local status own=$home/.config/brimtale/config.txt
  rm -f "$home/Documents/zelqlog/log.txt"
  # As installed: /etc's file, which leaves the defaults (LauncherType 3: no display, status 1).
  status=0; as_player brimtale-launcher || status=$?
  expect_status 1 $status "the launcher with /etc's configuration as installed"
  player_log | grep -qx "Config File Passed Over: /usr/games/config.txt (not found)" ||
    fault "the log does not name the file beside the executable as passed over"
  player_log | grep -qx "Config File Passed Over: $own (not found)" ||
    fault "the log does not name the user's file as passed over"
  player_log | grep -qx "Config File: /etc/brimtale/config.txt" || fault "/etc/brimtale/config.txt is not read"

  # The administrator's settings, then the player's own over them. LauncherType 1 without the
  # game hall's arguments ends at once with status 255, once its configuration is read.
  printf '%s\n' '{"LauncherType": 1, "LauncherCaption": "From etc"}' >/etc/brimtale/config.txt
  rm -f "$home/Documents/zelqlog/log.txt"
  status=0; as_player brimtale-launcher || status=$?
  expect_status 255 $status "the launcher with the administrator's configuration"
  player_log | grep -qx "LauncherCaption: From etc" || fault "the administrator's configuration is not applied"
  player_config '{"LauncherType": 1, "LauncherCaption": "From the player"}'
  rm -f "$home/Documents/zelqlog/log.txt"
  status=0; as_player brimtale-launcher || status=$?
  expect_status 255 $status "the launcher with the player's configuration"
  player_log | grep -qx "Config File: $own" || fault "the player's configuration is not read"
  player_log | grep -qx "LauncherCaption: From the player" || fault "the player's configuration is not applied"

  # A player's file that cannot be parsed is reported with its path, and /etc's is not read instead.
  player_config '{"LauncherType": 1,'
  rm -f "$home/Documents/zelqlog/log.txt"
  status=0; as_player brimtale-launcher || status=$?
  expect_status 2 $status "the launcher with a broken configuration (the defaults, without a display)"
  grep -q "^brimtale-launcher: cannot use the configuration $own: not valid JSON at line 2, column 1$" \
    "$work/err.txt" || fault "a broken configuration is not reported on standard error: $(cat "$work/err.txt")"
  player_log | grep -q "^Load Config Failed! $own " || fault "a broken configuration is not logged with its path"
  player_log | grep -qx "LauncherCaption: From etc" && fault "a broken configuration falls through to /etc's"
  rm -f "$own"
  echo "checked: the configuration from /etc and from the player's folder"
}

player_case_a_login_page_shows_for_the_player() {
  # The installed launcher as the player configured it shows its login page: the demo's own page,
  # read from the disk.
  rm -f "$home/Documents/zelqlog/log.txt"
  player_config '{"LauncherType": 2, "LauncherCaption": "Brimtale Login",
    "LoginUrl": "file:///usr/lib/brimtale-launcher/demo/site/login.html"}'
  as_player_on_xvfb_until 'ResizeAndCenter: ' login-page brimtale-launcher
  player_log | grep -q '^ResizeAndCenter: ' || fault "the installed launcher did not show its login page"
  rm -f "$home/.config/brimtale/config.txt"
  echo "checked: the installed launcher's login page"
}

player_case_demo_installs_and_starts_the_game() {
  local status=0
  rm -f "$home/Documents/zelqlog/log.txt"
  as_player env BRIMTALE_DEMO_GAME_SECONDS=2 BRIMTALE_DEMO_TIMEOUT=240 brimtale-launcher-demo || status=$?
  expect_status 0 $status "the installed demo"
  if ! player_log | grep -q '^FlashLog: demo: Brimtale is running' ||
     [[ ! -f $home/.local/share/Brimtale/game/data/world.dat ]]; then
    fault "the installed demo did not start the game"
    cat "$work/out.txt" "$work/err.txt"
  fi
  local last
  last=$(ls "$home/.cache/brimtale-launcher-demo/screenshots/"*.png 2>/dev/null | tail -n 1 || true)
  [[ -n $last ]] && keep_screenshot demo "$last"
  echo "checked: the installed demo as a player"
}

# Runs the launcher in FOLDER (with BRIMTALE_PLAYER_CONSOLE, so that its pages write what they say
# to its output) as the player on an X server of its own, until its failure page has said what
# it says; keeps a screenshot as Package.NAME.png, then presses KEY (empty: none) in the window
# titled CAPTION and waits for the log line PATTERN before it ends the launcher.
as_player_at_failure_page() {
  local folder=$1 name=$2 caption=$3 key=$4 pattern=$5
  as_player_on_xvfb bash -c '(cd "$1" && BRIMTALE_PLAYER_CONSOLE=1 exec "$2") & pid=$!
    said() { local pattern=$1; shift; cat "$@" 2>/dev/null | grep -q -- "$pattern"; }
    for ((i = 0; i < 3000; i++)); do
      said "CONSOLE INFO Failure page: " "$3" "$9" && break; kill -0 $pid 2>/dev/null || break; sleep 0.1
    done
    sleep 1; import -window root "$4"
    window=""
    [[ -n $6 ]] && window=$(xdotool search --onlyvisible --name "^$5\$" | head -n 1)
    if [[ -n $window ]]; then
      xdotool windowfocus --sync "$window" sleep 0.3 key "$6"
      for ((i = 0; i < 3000; i++)); do said "$7" "$8" && break; kill -0 $pid 2>/dev/null || break; sleep 0.1; done
    fi
    kill $pid; wait $pid' \
    _ "$folder" "$folder/brimtale-launcher" "$work/out.txt" "$shots/$name.png" "$caption" "$key" "$pattern" \
    "$home/Documents/zelqlog/log.txt" "$work/err.txt" || true
  keep_screenshot "$name" "$shots/$name.png"
}

player_case_failure_page_for_a_refused_server() {
  # Nothing listens in the test's own network namespace: the login page is refused, and the window
  # says so instead of staying empty.
  local folder=$home/refused
  mkdir -p "$folder" && cp /usr/games/brimtale-launcher "$folder/"
  printf '%s\n' '{"LauncherType": 2, "LauncherCaption": "Brimtale Login", "LoginUrl": "http://127.0.0.1:39999/login.html"}' \
    >"$folder/config.txt"
  chown -R nobody:nogroup "$folder"
  rm -f "$home/Documents/zelqlog/log.txt"
  as_player_at_failure_page "$folder" failure-page "Brimtale Login" "" ""
  cat "$work/out.txt" "$work/err.txt" | grep -q "Failure page: The login page cannot be loaded | http://127.0.0.1:39999/login.html | " ||
    fault "a refused login page does not bring the failure page: $(head -c 300 "$work/err.txt")"
  player_log | grep -q "^LoginDlg: the login page http://127.0.0.1:39999/login.html cannot be loaded: " ||
    fault "a refused login page is not logged with its address"
  rm -rf "$folder"
  echo "checked: the failure page for a refused server"
}

player_case_demo_then_starts_offline() {
  # After the demo has installed the game, its launcher starts again with the demo's server gone:
  # the login page cannot be loaded, Play offline (the focused button) starts the installed game.
  local run=$home/.cache/brimtale-launcher-demo
  if [[ ! -f $home/.local/share/Brimtale/patch/installed.txt ]]; then
    fault "the offline start needs the demo's installed game, which is missing"
    return
  fi
  rm -f "$home/Documents/zelqlog/log.txt"
  as_player_at_failure_page "$run" demo-offline "Brimtale Demo" Return \
    "^.*FlashLog: demo: Offline: starting the installed game"
  player_log | grep -q "^LoginDlg: the player plays offline" || fault "Play offline was not taken at the failure page"
  player_log | grep -q "^FlashLog: demo: Offline: starting the installed game" ||
    fault "the demo did not start the installed game offline: $(player_log | tail -n 5)"
  echo "checked: the offline start of the demo"
}

for case_function in $(declare -F | awk '{print $3}' | grep '^player_case_'); do
  "$case_function"
done
