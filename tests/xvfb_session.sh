# The setup that the tests of the real binary in a real X server share. A
# test sources it first thing, with its own arguments:
#
#   source "$(dirname "$0")/xvfb_session.sh" [--atspi] "$@"
#
# Run by CTest, it checks the tools (exit 77, skipped, when one is missing)
# and runs the whole test again inside a fresh Xvfb of its own and a private D-Bus
# session (stelmo offers the rig on the session bus; the tests keep it off
# the bus of whoever runs them); with --atspi also with the AT-SPI bus, as on
# a desktop with accessibility on. Inside, it sets `bin` (the stelmo
# executable, the first argument), `here` (the test's directory) and `work` (a
# scratch directory, removed at the end), and defines fail, wait_until,
# wait_for, running and stopped. Every wait has a generous limit that only
# guards against a hang: on a busy machine the program may take long, and the
# tests wait for what it does, never for a span of time.
# With pipefail, `cmd | grep -q` can fail after grep has matched: grep quits at
# the match and cmd, still writing, dies of SIGPIPE. Greps at the end of a
# pipe read to the end instead (`grep ... >/dev/null`).
set -euo pipefail

atspi=false
if [[ ${1:-} == --atspi ]]; then
    atspi=true
    shift
fi

if [[ -z ${STELMO_IN_XVFB:-} ]]; then
    tools=(Xvfb xdotool dbus-run-session)
    ! $atspi || tools+=(dbus-send /usr/libexec/at-spi-bus-launcher)
    for tool in "${tools[@]}"; do
        if ! command -v "$tool" >/dev/null; then
            echo "skipped: $tool is not installed (scripts/install-deps installs it)"
            exit 77
        fi
    done
    if $atspi && ! /usr/bin/python3 -c 'import pyatspi' 2>/dev/null; then
        echo "skipped: pyatspi is not installed (scripts/install-deps installs python3-pyatspi)"
        exit 77
    fi
    export STELMO_IN_XVFB=1
    exec bash "$(dirname "$0")/with_xvfb.sh" dbus-run-session -- bash "$0" "$@"
fi

bin=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trace=$work/trace
started=() # background processes of the setup, ended at the end
trap 'kill "${started[@]}" 2>/dev/null || true; rm -rf "$work"' EXIT

fail() {
    echo "FAILED: $*"
    echo "--- trace tail:"
    tail -5 "$trace" 2>/dev/null || true
    echo "--- stelmo's stderr:"
    tail -5 "$work/stderr" 2>/dev/null || true
    exit 1
}

# wait_until <what> <command...>: runs the command until it succeeds; fails
# saying <what> when it still does not after 30 s.
wait_until() {
    local what=$1 deadline=$((SECONDS + 30))
    shift
    until "$@"; do
        ((SECONDS < deadline)) || fail "$what, after 30 s"
        sleep 0.05
    done
}

# wait_for <regex>: waits until a line of the trace matches the extended
# regular expression.
wait_for() {
    wait_until "no '$1' in the trace" grep -Eq "$1" "$trace"
}

# The trace's writer writes lines in batches: there may be none yet, which
# grep -c says with a failing status.
outs() {
    local n
    n=$(grep -c ' out ' "$trace" 2>/dev/null) || true
    echo "${n:-0}"
}

# running <what>: fails saying <what> unless the motor steps (at an end
# switch it writes 0 on every tick).
running() {
    local before
    before=$(outs)
    more_outs() { (($(outs) > before)); }
    wait_until "$1: the motor does not run" more_outs
}

# stopped <what>: fails saying <what> unless the writes stop after the Stop
# just asked for: none for half a second (while the motor runs, every tick
# writes).
stopped() {
    local before=-1 now deadline=$((SECONDS + 30))
    while now=$(outs); ((now != before)); do
        ((SECONDS < deadline)) || fail "$1: still writing 30 s after Stop"
        before=$now
        sleep 0.5
    done
}

if $atspi; then
    # The accessibility bus, as the desktop starts it; Qt and the reader
    # find it through the session bus.
    /usr/libexec/at-spi-bus-launcher --launch-immediately &
    started+=($!)
    a11y_bus() {
        dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
            org.freedesktop.DBus.NameHasOwner string:org.a11y.Bus 2>/dev/null | grep true >/dev/null
    }
    wait_until "the AT-SPI bus did not come up" a11y_bus
fi
