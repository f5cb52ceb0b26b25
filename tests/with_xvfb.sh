#!/usr/bin/env bash
# with_xvfb.sh COMMAND [ARGS...]: runs COMMAND in a fresh Xvfb of its own and
# ends with COMMAND's status; COMMAND finds the server's process id in
# XVFB_PID. The server picks a free display itself and says
# which (-displayfd), so runs started side by side, from other build trees
# too, never race for a display number.
set -uo pipefail
displayfile=$(mktemp)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$displayfile" 2>/dev/null &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; rm -f "$displayfile"' EXIT
for ((i = 0; i < 600; ++i)); do
    [[ -s $displayfile ]] && break
    kill -0 "$xvfb" 2>/dev/null || break
    sleep 0.05
done
display=$(cat "$displayfile")
if [[ -z $display ]]; then
    echo "FAILED: Xvfb did not start"
    exit 1
fi
XVFB_PID=$xvfb DISPLAY=:$display "$@"
