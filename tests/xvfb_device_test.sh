#!/usr/bin/env bash
# The real stelmo binary on the hardware backend, pointed at a plain file that
# stands in for /dev/port, with the first port remapped to 0x300. Operated from
# the keyboard in Xvfb; the test plays the end switches by writing the switch
# register's byte in the file and checks what lands at the physical offsets.
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
    ls -l "/proc/$helper/fd" | grep -qF -- "-> $dev" || fail "the helper does not hold $dev"
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
grep -v '^#' "$trace" | grep -Eqv ' 0x3(00|02)$' && fail "an access did not go to 0x300 or 0x302"
# Without the right to real-time scheduling start-up says so in one line.
unexpected=$(grep -v '^stelmo: step timer runs at normal priority: ' "$work/stderr" || true)
[[ $realtime != tick* ]] || unexpected=$(cat "$work/stderr")
[[ -n $unexpected ]] && fail "unexpected stderr: $unexpected"
echo "passed: $(wc -l <"$trace") port accesses at 0x300/0x302 through the port helper; $realtime"
