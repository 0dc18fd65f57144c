#!/bin/sh
# Runs a command under an X server of its own (Xvfb, 1920x1080, local connections only, its own
# cookie). The server picks a free display itself (-displayfd), so commands started at the same
# moment never end up on one server, as xvfb-run -a's search of lock files lets them. It never
# resets: a server that resets when its last client leaves drops a client that connects meanwhile
# (a launcher started again just after its first run ended: "cannot open the X display").
set -eu
dir=$(mktemp -d "${TMPDIR:-/tmp}/brimtale-x.XXXXXX")
server=
finish() {
  [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
  rm -rf "$dir"
}
trap finish EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
# The cookie is written for any display (family "wild"): the number is not known yet.
: > "$dir/auth"
echo "ffff 0000  0000  0012 4d49542d4d414749432d434f4f4b49452d31 0010 $(mcookie)" | xauth -f "$dir/auth" nmerge -
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset -auth "$dir/auth" 3>"$dir/display" 2>"$dir/server.log" &
server=$!
# The number is written once the server accepts connections.
while ! grep -q '^[0-9]' "$dir/display" 2>/dev/null; do
  if ! kill -0 "$server" 2>/dev/null; then
    echo "own-x-server: Xvfb did not start:" >&2
    cat "$dir/server.log" >&2
    exit 1
  fi
  sleep 0.02
done
display=":$(head -n 1 "$dir/display")"
status=0
DISPLAY="$display" XAUTHORITY="$dir/auth" "$@" || status=$?
# A server that went away under the command explains a failure that would look like the command's.
if ! kill -0 "$server" 2>/dev/null; then
  echo "own-x-server: the X server $display ended before the command did:" >&2
  cat "$dir/server.log" >&2
  server=
  [ "$status" -ne 0 ] || status=1
fi
exit "$status"
