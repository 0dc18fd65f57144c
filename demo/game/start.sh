#!/bin/sh
# Starts the game from its folder. Files written through the launcher's commands carry no execute
# permission (there is no command to set it), so the game gets its own here before it replaces
# this shell: the process the launcher waits on becomes the game itself.
cd "$(dirname "$0")" || exit 1
chmod u+x ./brimtale-game || exit 1
exec ./brimtale-game "$@"
