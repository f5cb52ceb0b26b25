#!/usr/bin/env bash
# The real stelmo binary in a real X server (Xvfb), operated from the keyboard
# as an operator would, observed only through the port trace and the exit
# status: a session at the step rate --interval asks for, with single steps
# and homing again, Stop from every place
# the operator may be (a selector's list open, the rig view active, a click on
# Stop while a list is open), the panel window destroyed by another client
# while the motor runs, the X server stopped while it runs, a trace at the
# file size limit, and a session bus that never answers.
#
#   xvfb_keyboard_test.sh <path to the stelmo executable>
#
# Exit 0: passed; 77: skipped (no Xvfb or xdotool); anything else: failed.
source "$(dirname "$0")/xvfb_session.sh" "$@"

# Runs from an unrelated directory: the panel file must be found next to the
# binary. The step rate comes from the option, not the panel file's 10 ms.
cd "$work"
STELMO_TRACE=$trace "$bin" --interval 5 2>"$work/stderr" &
pid=$!

xdotool search --sync --onlyvisible --name '^stelmo' >/dev/null
sleep 0.3
[[ -s $trace ]] && fail "port accessed before Start"

# Alt+S: the reference run homes the carriage, then the drive stands still.
xdotool key alt+s
wait_for 'in 0x37a 0x0d'
wait_for 'out 0x378 0x00'
homing=$(grep -m 6 ' out ' "$trace" | awk '{print $4}' | tr '\n' ' ')
[[ $homing == "0x08 0x04 0x02 0x01 0x08 0x04 " ]] || fail "homing wrote $homing"
head -1 "$trace" | grep ' · tick interval 5 ms$' >/dev/null || fail "trace header: $(head -1 "$trace")"

# Alt+D, Down: towards the far end; the drive stops with 0 after reading 14,
# and writes only that from then on.
xdotool key alt+d Down
wait_for 'in 0x37a 0x0e'
last_is_stop() { [[ $(tail -1 "$trace" | awk '{print $2, $3, $4}') == "out 0x378 0x00" ]]; }
wait_until "at the far end the last access is not 'out 0x378 0x00'" last_is_stop

windows() { xdotool search --onlyvisible --pid "$pid" | wc -l; }
panel=$(xdotool search --onlyvisible --name '^stelmo')
rig=$(xdotool search --onlyvisible --name '^Simulated rig')
shown=$(windows)
list_open() { (($(windows) > shown)); }
list_closed() { (($(windows) == shown)); }

# Alt+T: no more port accesses.
xdotool key alt+t
stopped "Alt+T"

# Stopped at the far switch, towards home: each Alt+E is one step. The first
# leaves the latched switch without reading it (0x04: the counter stands at 1
# after a stop), the second reads the switches first (one step away the far
# switch may still answer, which no longer stops a step towards home), then
# steps on.
lines() { wc -l <"$trace"; }
# tail_is <n> <regex>: the last n accesses, "in|out port byte " each, match.
tail_is() { [[ $(tail -n "$1" "$trace" | awk '{print $2, $3, $4}' | tr '\n' ' ') =~ ^$2$ ]]; }
mark=$(lines)
xdotool key alt+d Up alt+e
wait_until "Alt+E made no step" tail_is 1 "out 0x378 0x04 "
xdotool key alt+e
wait_until "a second Alt+E made no step" tail_is 2 "in 0x37a 0x[0-9a-f]+ out 0x378 0x02 "
stopped "Alt+E"
(($(lines) == mark + 3)) || fail "two Alt+E made $(($(lines) - mark)) port accesses, not 3"

# Alt+H: a new reference run from there, the falling patterns from the top of
# the table until the home switch answers, and all phases off.
xdotool key alt+h
homed() { tail -n +$((mark + 4)) "$trace" | grep 'in 0x37a 0x0d' >/dev/null; }
wait_until "Alt+H: the home switch did not answer" homed
wait_until "Alt+H: the drive does not stand at home" tail_is 1 "out 0x378 0x00 "
homing=$(tail -n +$((mark + 4)) "$trace" | awk '/ out / && n++ < 6 { print $4 }' | tr '\n' ' ')
[[ $homing == "0x08 0x04 0x02 0x01 0x08 0x04 " ]] || fail "Alt+H wrote $homing"
xdotool key alt+t
stopped "Alt+T after Alt+H"
xdotool key alt+d Down # towards the far end again, away from home

# With the direction list open (Alt+D, Alt+Down), one key stops the motor and
# closes the list: Alt+T, or Esc.
for key in alt+t Escape; do
    xdotool key alt+s
    running "Start"
    xdotool key alt+d alt+Down
    wait_until "Alt+Down opened no list" list_open
    xdotool key "$key"
    stopped "list open, $key"
    wait_until "the list is still open after $key" list_closed
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
wait_until "Alt+Down opened no list" list_open
# Stop is the middle button of the row at the bottom of the form, whose
# height the panel file gives (130); the status strip lies below it.
eval "$(xdotool getwindowgeometry --shell "$panel")" # WIDTH, HEIGHT
xdotool mousemove --window "$panel" $((WIDTH / 2)) $((130 - 20)) click 1
stopped "list open, click on Stop"

# Start again, towards home, then Alt+Q: exit 0, nothing written on the way out.
xdotool key alt+d Up alt+s
running "Start after Stop"
xdotool key alt+q
status=0
wait "$pid" || status=$?
((status == 0)) || fail "exit status $status after Quit"
lines=$(wc -l <"$trace")
tail -1 "$trace" | grep -E ' out 0x378 0x0[1248]$' >/dev/null || fail "last access was not a step: $(tail -1 "$trace")"

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
ended() { ! kill -0 "$pid" 2>/dev/null; }
wait_until "still running after its window was destroyed" ended
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
    server=$XVFB_PID
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
