#!/usr/bin/env bash
# The real stelmo binary on the hardware backend, pointed at a plain file that
# stands in for /dev/port, with the first port remapped to 0x300. Operated from
# the keyboard in Xvfb; the test plays the end switches by writing the switch
# register's byte in the file and checks what lands at the physical offsets.
# Then Stop and SIGTERM with stderr and the trace stuck in a full pipe, the
# port helper killed while the motor runs, and a card with extra bits in its
# switch register, behind a switch mask and a homing limit.
# The device is reached through the port helper: the process with the window
# holds neither the device nor any capability.
#
#   xvfb_device_test.sh <path to the stelmo executable>
#
# Exit 0: passed; 77: skipped (no Xvfb or xdotool); anything else: failed.
source "$(dirname "$0")/xvfb_session.sh" "$@"
dev=$work/port

# Byte at an offset of the device file, as two hex digits.
peek() { od -An -tx1 -j "$1" -N1 "$dev" | tr -d ' '; }
poke() { printf "\\x$2" | dd of="$dev" bs=1 seek="$1" conv=notrunc status=none; }
# Whether the data register's byte at 0x300 matches the regular expression.
data_is() { [[ $(peek $((0x300))) =~ ^$1$ ]]; }

truncate -s 64K "$dev"
poke $((0x302)) 0d # home switch closed

cd "$work"
STELMO_IO="port:$dev,0x378=0x300" STELMO_TRACE=$trace STELMO_RIG_VIEW=0 "$bin" 2>"$work/stderr" &
pid=$!
xdotool search --sync --onlyvisible --name '^stelmo — .*0x378→0x300' >/dev/null ||
    fail "the window title does not name the device and the mapping"

# The helper, stelmo's child, holds the device; stelmo holds no descriptor of
# it and no capability, even as root.
helper=$(ps -o pid= --ppid "$pid" | tr -d ' ' || true)
[[ -n $helper && $(cat "/proc/$helper/comm") == stelmo-port ]] || fail "no port helper under stelmo"
if ls -l "/proc/$helper/fd" >/dev/null 2>&1; then # not as another user: it is undumpable
    ls -l "/proc/$helper/fd" | grep -F -- "-> $dev" >/dev/null || fail "the helper does not hold $dev"
fi
held=$(ls -l "/proc/$pid/fd" | grep -F -- "-> $dev" || true)
[[ -z $held ]] || fail "stelmo itself holds the device: $held"
for task in /proc/"$pid"/task/*; do # capabilities belong to threads
    capabilities=$(awk '$1 == "CapPrm:" || $1 == "CapEff:" { printf "%s %s ", $1, $2 }' "$task/status")
    [[ $capabilities == "CapPrm: 0000000000000000 CapEff: 0000000000000000 " ]] ||
        fail "stelmo's thread $(cat "$task/comm") keeps capabilities: $capabilities"
done
# Where this test may use SCHED_FIFO 20 (as root, or by RLIMIT_RTPRIO), so do
# stelmo's tick thread, with no capability left, and the helper.
realtime="not checked: this test may not use SCHED_FIFO 20"
if chrt -f 20 true 2>/dev/null; then
    tick=$(grep -lx stelmo-tick /proc/"$pid"/task/*/comm | cut -d/ -f5)
    for who in "tick thread:$tick" "helper:$helper"; do
        got=$(chrt -p "${who#*:}" | awk -F': ' '{ printf "%s ", $2 }')
        [[ $got == "SCHED_FIFO 20 " ]] || fail "the ${who%:*} runs $got, not SCHED_FIFO 20"
    done
    realtime="tick thread and helper SCHED_FIFO 20"
fi

# Reference run: reads 13 at once, writes the stop pattern to 0x300.
xdotool key alt+s
wait_for '^[0-9.]+ in 0x37a 0x0d 0x302$'
wait_for '^[0-9.]+ out 0x378 0x00 0x300$'
data_is 00 || fail "0x300 holds $(peek $((0x300))) after homing"

# Switch released, towards the far end: rising patterns land at 0x300.
poke $((0x302)) 00
xdotool key alt+d Down
wait_for ' out 0x378 0x0[1248] 0x300$'
wait_until "0x300 holds no step pattern while jogging" data_is '0[1248]'

# Far switch closed: the drive stops with 0 and stops reading.
poke $((0x302)) 0e
wait_for ' in 0x37a 0x0e 0x302$'
wait_until "0x300 is not 00 at the far end" data_is 00
reads=$(grep -c ' in ' "$trace")
sleep 0.3
(($(grep -c ' in ' "$trace") == reads)) || fail "the switch register was read while latched"

xdotool key alt+q
status=0
wait "$pid" || status=$?
((status == 0)) || fail "exit status $status after Quit"

# Nothing but the two registers of the mapped port was touched.
poke $((0x302)) 00
cmp -s "$dev" <(head -c 65536 /dev/zero) || fail "bytes outside 0x300 and 0x302 changed"
grep -v '^#' "$trace" | grep -Ev ' 0x3(00|02)$' >/dev/null && fail "an access did not go to 0x300 or 0x302"
# Without the right to real-time scheduling start-up says so in one line.
unexpected=$(grep -v '^stelmo: step timer runs at normal priority: ' "$work/stderr" || true)
[[ $realtime != tick* ]] || unexpected=$(cat "$work/stderr")
[[ -n $unexpected ]] && fail "unexpected stderr: $unexpected"

# Writes that reach the device: its modification time moves within $1 s.
writing() {
    local before
    before=$(stat -c %.9Y "$dev")
    sleep "$1"
    [[ $(stat -c %.9Y "$dev") != "$before" ]]
}

# Stderr and the trace into a pipe that is full and never read, with a fault
# on the tick path (the trace loses lines, which is said on stderr): stepping
# goes on, Stop stops it, and SIGTERM ends stelmo.
(
    poke $((0x302)) 00 # no home switch: the reference run goes on
    mkfifo "$work/stuck"
    exec 3<>"$work/stuck" # a reader that never reads
    timeout 1 cat /dev/zero >"$work/stuck" || true
    STELMO_IO="port:$dev,0x378=0x300" STELMO_TRACE=$work/stuck STELMO_RIG_VIEW=0 "$bin" \
        2>"$work/stuck" &
    pid=$!
    xdotool search --sync --onlyvisible --name '^stelmo' >/dev/null
    xdotool key alt+s
    writing 0.5 || fail "no step reaches the device with stderr stuck"
    sleep 0.5
    writing 0.5 || fail "the steps stopped with stderr stuck"
    xdotool key alt+t
    sleep 0.2
    writing 0.5 && fail "steps after Stop with stderr stuck"
    kill -TERM "$pid"
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$pid" 2>/dev/null && { kill -KILL "$pid"; fail "SIGTERM did not end stelmo in 10 s"; }
    status=0
    wait "$pid" || status=$?
    ((status == 143)) || fail "exit status $status after SIGTERM"
)

# The port helper killed while the motor runs: the timer goes off at once,
# the device gets nothing more, and Start is refused with one line.
(
    STELMO_IO="port:$dev,0x378=0x300" STELMO_TRACE=$trace STELMO_RIG_VIEW=0 "$bin" \
        2>"$work/stderr-lost" &
    pid=$!
    xdotool search --sync --onlyvisible --name '^stelmo' >/dev/null
    xdotool key alt+s
    writing 0.5 || fail "no step reaches the device"
    kill -KILL "$(ps -o pid= --ppid "$pid" | tr -d ' ')"
    sleep 0.5
    accesses=$(wc -l <"$trace")
    xdotool key alt+s
    sleep 0.5
    (($(wc -l <"$trace") == accesses)) || fail "accesses after the helper died"
    grep -q '^stelmo: the port hardware is gone: ' "$work/stderr-lost" ||
        fail "nothing said about the hardware: $(cat "$work/stderr-lost")"
    (($(grep -c 'SetCtrlAttribute: the port hardware is gone' "$work/stderr-lost") == 1)) ||
        fail "Start was not refused with one line: $(cat "$work/stderr-lost")"
    xdotool key alt+q
    wait "$pid" || fail "exit status $? after Quit"
)
# A card whose switch register reads 1 in the upper bits (0xc4 idle, 0xcd at
# home), with switch-mask 0x0f and a homing limit of 40 steps: the reference
# run sees 0x04, stops after exactly 40 steps and says what to check; once
# the home switch is closed (0xcd), the program gets 13 and the next Start
# ends the reference run. The trace shows what the program got, and the raw
# byte.
(
    trace=$work/trace-masked
    poke $((0x302)) c4
    STELMO_IO="port:$dev,0x378=0x300" STELMO_TRACE=$trace STELMO_RIG_VIEW=0 \
        STELMO_HOMING_LIMIT=40 STELMO_SWITCH_MASK=0x0f "$bin" 2>"$work/stderr-masked" &
    pid=$!
    xdotool search --sync --onlyvisible --name '^stelmo' >/dev/null
    xdotool key alt+s
    said() { grep -q '^stelmo: no home switch after 40 steps: ' "$work/stderr-masked"; }
    wait_until "nothing said of the homing limit: $(cat "$work/stderr-masked")" said
    stopped "the homing limit"
    (($(outs) == 40)) || fail "the homing limit let $(outs) steps through, not 40"
    grep -q 'switch register 0x37a read 0x0d (the last read gave 0xc4, 0x04 after switch-mask)' \
        "$work/stderr-masked" || fail "the line does not say what was read: $(cat "$work/stderr-masked")"
    (($(grep -c ' in 0x37a 0x04 0x302 raw 0xc4$' "$trace") == 40)) || fail "reads not traced masked"
    poke $((0x302)) cd
    xdotool key alt+s
    wait_for '^[0-9.]+ in 0x37a 0x0d 0x302 raw 0xcd$'
    wait_until "no stop pattern once home answered" data_is 00
    xdotool key alt+q
    wait "$pid" || fail "exit status $? after Quit"
)
echo "passed: $(wc -l <"$trace") port accesses at 0x300/0x302 through the port helper; $realtime"
