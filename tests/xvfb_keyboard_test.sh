#!/usr/bin/env bash
# The real stelmo binary in a real X server (Xvfb), operated from the keyboard
# as an operator would, observed only through the port trace and the exit
# status: a session, Stop from every place the operator may be (a selector's
# list open, the rig view active, a click on Stop while a list is open), the
# panel window destroyed by another client while the motor runs, the X
# server stopped while it runs, a trace at the file size limit, and a session
# bus that never answers.
#
#   xvfb_keyboard_test.sh <path to the stelmo executable>
#
# Exit 0: passed; 77: skipped (no Xvfb or xdotool); anything else: failed.
set -euo pipefail

bin=$(realpath "$1")
for tool in xvfb-run xdotool; do
    if ! command -v "$tool" >/dev/null; then
        echo "skipped: $tool is not installed (scripts/install-deps installs it)"
        exit 77
    fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat >"$work/scenario" <<'EOF'
set -euo pipefail
bin=$1 work=$2
trace=$work/trace

fail() { echo "FAILED: $*"; echo "--- trace tail:"; tail -5 "$trace" || true; exit 1; }

# Waits up to $2 seconds for an extended regex $1 to appear in the trace.
wait_for() {
    local deadline=$((SECONDS + $2))
    until grep -Eq "$1" "$trace" 2>/dev/null; do
        ((SECONDS < deadline)) || fail "no '$1' in the trace after $2 s"
        sleep 0.05
    done
}

# Runs from an unrelated directory: the panel file must be found next to the binary.
cd "$work"
STELMO_TRACE=$trace "$bin" 2>"$work/stderr" &
pid=$!

xdotool search --sync --onlyvisible --name '^stelmo' >/dev/null
sleep 0.3
[[ -s $trace ]] && fail "port accessed before Start"

# Alt+S: the reference run homes the carriage, then the drive stands still.
xdotool key alt+s
wait_for 'in 0x37a 0x0d' 10
wait_for 'out 0x378 0x00' 2
homing=$(grep -m 6 ' out ' "$trace" | awk '{print $4}' | tr '\n' ' ')
[[ $homing == "0x08 0x04 0x02 0x01 0x08 0x04 " ]] || fail "homing wrote $homing"

# Alt+D, Down: towards the far end; the drive stops with 0 after reading 14.
xdotool key alt+d Down
wait_for 'in 0x37a 0x0e' 10
sleep 0.2
last=$(tail -1 "$trace" | awk '{print $2, $3, $4}')
[[ $last == "out 0x378 0x00" ]] || fail "at the far end the last access was '$last'"

outs() { grep -c ' out ' "$trace"; }
# Fails unless the motor steps (at an end switch it writes 0 on every tick).
running() {
    local before
    before=$(outs)
    sleep 0.3
    (($(outs) > before)) || fail "$1: the motor does not run"
}
# Fails if anything is written to the port after the stop just asked for.
stopped() {
    sleep 0.2
    local before
    before=$(outs)
    sleep 0.5
    (($(outs) == before)) || fail "$1: $(($(outs) - before)) writes after Stop"
}
windows() { xdotool search --onlyvisible --pid "$pid" | wc -l; }
panel=$(xdotool search --onlyvisible --name '^stelmo')
rig=$(xdotool search --onlyvisible --name '^Simulated rig')
shown=$(windows)

# Alt+T: no more port accesses.
xdotool key alt+t
stopped "Alt+T"

# With the direction list open (Alt+D, Alt+Down), one key stops the motor and
# closes the list: Alt+T, or Esc.
for key in alt+t Escape; do
    xdotool key alt+s
    running "Start"
    xdotool key alt+d alt+Down
    sleep 0.3
    (($(windows) > shown)) || fail "Alt+Down opened no list"
    xdotool key "$key"
    stopped "list open, $key"
    (($(windows) == shown)) || fail "the list is still open after $key"
done

# With the rig view active, Alt+T still stops.
xdotool key alt+s
running "Start"
xdotool windowfocus --sync "$rig"
xdotool key alt+t
stopped "rig view active, Alt+T"
xdotool windowfocus --sync "$panel"

# With the list open, the first click on Stop stops.
xdotool key alt+s
running "Start"
xdotool key alt+d alt+Down
sleep 0.3
# Stop is the middle button of the row at the bottom of the form, whose
# height the panel file gives (130); the status strip lies below it.
eval "$(xdotool getwindowgeometry --shell "$panel")" # WIDTH, HEIGHT
xdotool mousemove --window "$panel" $((WIDTH / 2)) $((130 - 20)) click 1
stopped "list open, click on Stop"
after=$(wc -l <"$trace")

# Start again, towards home, then Alt+Q: exit 0, nothing written on the way out.
xdotool key alt+d Up alt+s
sleep 0.3
xdotool key alt+q
status=0
wait "$pid" || status=$?
((status == 0)) || fail "exit status $status after Quit"
lines=$(wc -l <"$trace")
((lines > after)) || fail "Start after Stop did not move the motor"
tail -1 "$trace" | grep -Eq ' out 0x378 0x0[1248]$' || fail "last access was not a step: $(tail -1 "$trace")"

# Another client destroys the panel window while the motor runs: stelmo ends
# as Quit does, with status 0, instead of stepping on with nothing on screen.
trace=$work/trace-destroyed
STELMO_TRACE=$trace "$bin" 2>>"$work/stderr" &
pid=$!
panel=$(xdotool search --sync --onlyvisible --name '^stelmo')
sleep 0.3
xdotool key alt+s
running "Start"
xdotool windowclose "$panel"
for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && { kill "$pid"; fail "still running 5 s after its window was destroyed"; }
status=0
wait "$pid" || status=$?
((status == 0)) || fail "exit status $status after the window was destroyed"

# The X server stopped (kill -STOP) while the motor runs: the window can
# neither show nor take anything, so the engine stops every timer within
# about half a second, says why, and keeps it stopped once the server goes
# on, until Start.
(
    trace=$work/trace-frozen
    STELMO_TRACE=$trace "$bin" 2>"$work/stderr-frozen" &
    pid=$!
    xdotool search --sync --onlyvisible --name '^stelmo' >/dev/null
    sleep 0.3
    xdotool key alt+s
    running "Start before the X server stops"
    server=$(tr -d ' ' <"/tmp/.X${DISPLAY#:}-lock")
    kill -STOP "$server"
    sleep 1.5
    held=$(outs)
    sleep 1
    now=$(outs)
    kill -CONT "$server"
    ((now == held)) || fail "$((now - held)) writes in 1 s while the X server was stopped"
    stopped "the X server going on again"
    grep -q '^stelmo: the panel window did not answer for ' "$work/stderr-frozen" ||
        fail "nothing said about the window: $(cat "$work/stderr-frozen")"
    xdotool key alt+s
    running "Start once the X server goes on"
    xdotool key alt+q
    wait "$pid" || fail "exit status $? after Quit"
)

# The trace reaches the file size limit (ulimit -f) while the motor runs:
# lines are lost and said, never the process (SIGXFSZ), and the trace keeps
# whole lines only.
(
    ulimit -f 4 # KiB: a couple of seconds of stepping
    trace=$work/trace-limited
    STELMO_TRACE=$trace "$bin" 2>"$work/stderr-limited" &
    pid=$!
    xdotool search --sync --onlyvisible --name '^stelmo' >/dev/null
    xdotool key alt+s
    for _ in $(seq 100); do grep -q 'File too large' "$work/stderr-limited" && break; sleep 0.1; done
    grep -q "^stelmo: trace file $trace: File too large; " "$work/stderr-limited" ||
        fail "nothing said of the full trace: $(cat "$work/stderr-limited")"
    xdotool key alt+q
    wait "$pid" || fail "exit status $? at the file size limit"
    [[ $(tail -c 1 "$trace" | od -An -c | tr -d ' ') == '\n' ]] || fail "the trace ends in part of a line"
)

# A session bus that takes connections and never answers: Qt alone would
# wait 25 s and more for it at start-up; stelmo gives it a second, says so,
# and comes up without it.
(
    /usr/bin/python3 -c 'import socket, sys, time
bus = socket.socket(socket.AF_UNIX)
bus.bind(sys.argv[1])
bus.listen(16)
time.sleep(60)' "$work/silent-bus" &
    listener=$!
    until [[ -S $work/silent-bus ]]; do sleep 0.05; done
    DBUS_SESSION_BUS_ADDRESS=unix:path=$work/silent-bus "$bin" 2>"$work/stderr-bus" &
    pid=$!
    timeout 10 xdotool search --sync --onlyvisible --name '^stelmo' >/dev/null ||
        fail "no window within 10 s with a session bus that does not answer"
    grep -q '^stelmo: D-Bus did not answer within 1000 ms' "$work/stderr-bus" ||
        fail "nothing said about D-Bus: $(cat "$work/stderr-bus")"
    xdotool key alt+q
    wait "$pid" || fail "exit status $? after Quit"
    kill "$listener"
)

# Without the right to real-time scheduling start-up says so in one line.
unexpected=$(grep -v '^stelmo: step timer runs at normal priority: ' "$work/stderr" || true)
[[ -n $unexpected ]] && fail "unexpected stderr: $unexpected"
echo "passed: $lines port accesses"
EOF

# The free display is searched from a number of this run's own, so runs started
# side by side do not all race for :99.
xvfb-run -a -n $((200 + $$ % 300)) -s "-screen 0 1024x768x24" bash "$work/scenario" "$bin" "$work"
