#!/usr/bin/env bash
# Start-up failures of the real stelmo binary: each ends with exit status 255
# (2 for a bad option) and exactly one "stelmo:" line on stderr, shows no
# panel and touches no port, exhausted resources included. --help and
# --version need no display.
#
#   startup_failure_test.sh <path to the stelmo executable>
set -uo pipefail

bin=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# expect_failure <name> <regex the line must match> <command...>
# The command runs in $work with a fresh trace file $work/<name>.trace and
# must end with exit status $expected (255 unless set for the call).
expected=255
expect_failure() {
    local name=$1 pattern=$2
    shift 2
    local err=$work/$name.err
    (cd "$work" && timeout 10 "$@" </dev/null >/dev/null 2>"$err")
    local status=$?
    local lines
    lines=$(wc -l <"$err")
    if ((status != expected)); then
        echo "FAILED $name: exit status $status, expected $expected"
    elif ((lines != 1)); then
        echo "FAILED $name: $lines lines on stderr, expected 1:"
        cat "$err"
    elif ! grep -Eq "^stelmo: .*($pattern)" "$err"; then
        echo "FAILED $name: unexpected message: $(cat "$err")"
    elif [[ -s $work/$name.trace ]]; then
        echo "FAILED $name: the port was touched:"
        cat "$work/$name.trace"
    else
        echo "ok     $name: $(cat "$err")"
        return
    fi
    failures=$((failures + 1))
}

# A copy of the binary without its panel file beside it.
mkdir "$work/lonely"
cp "$bin" "$work/lonely/stelmo"
cp "$(dirname "$bin")/stelmo-port" "$work/lonely/stelmo-port"

# No configuration of the user's running this counts: an empty XDG_CONFIG_HOME.
mkdir "$work/config"
export QT_QPA_PLATFORM=offscreen STELMO_RIG_VIEW=0 XDG_CONFIG_HOME=$work/config STELMO_IO=sim

expect_failure missing_panel 'stelmo\.uir' \
    env STELMO_TRACE="$work/missing_panel.trace" "$work/lonely/stelmo"

expect_failure bad_backend 'STELMO_IO' \
    env STELMO_IO=parport STELMO_TRACE="$work/bad_backend.trace" "$bin"

expect_failure unwritable_trace 'no-such-dir/trace' \
    env STELMO_TRACE="$work/no-such-dir/trace" "$bin"
# A refusal names the setting as the operator gave it.
expect_failure trace_option 'trace file /dev/full \(--trace\) is a character device' \
    env STELMO_TRACE=/dev/null "$bin" --trace /dev/full

expect_failure no_display 'display' \
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
    STELMO_TRACE="$work/no_display.trace" "$bin"

expect_failure unreachable_display 'display|:97' \
    env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=:97 \
    STELMO_TRACE="$work/unreachable_display.trace" "$bin"

expect_failure missing_device '/no/such/device' \
    env STELMO_IO=port:/no/such/device STELMO_TRACE="$work/missing_device.trace" "$bin"
# The port helper opens the device; stelmo words its failure, in German too.
expect_failure missing_device_de \
    '/no/such/device lässt sich nicht öffnen: .*; das Gerät existiert nicht' \
    env LANGUAGE=de LC_ALL=de_DE.UTF-8 "$bin" --io port:/no/such/device

# A bad line in the user's configuration file: the file and the line named.
mkdir "$work/config/stelmo"
printf '# the card\nio = port,0x378=0xd01g\n' >"$work/config/stelmo/stelmo.conf"
expect_failure bad_config_line 'config/stelmo/stelmo\.conf:2: io=port,0x378=0xd01g: ' \
    env -u STELMO_IO STELMO_TRACE="$work/bad_config_line.trace" "$bin"
rm -r "$work/config/stelmo"

# Resources exhausted: one line and 255, never an abort of Qt's (too few
# descriptors) or a wait for a thread Qt could not start (too little address
# space). Under a sanitizer only the first of them: its runtime needs
# descriptors and address space (terabytes of shadow memory) of its own.
sanitized=${ASAN_OPTIONS:-}${TSAN_OPTIONS:-}
for limit in 8 6; do
    expect_failure "descriptors_$limit" 'too few file descriptors' \
        bash -c "ulimit -n $limit && exec env STELMO_TRACE=$work/descriptors_$limit.trace $bin"
    [[ -z $sanitized ]] || break
done
if [[ -z $sanitized ]]; then
    expect_failure address_space 'too little room to start' \
        bash -c "ulimit -v 100000 && exec env STELMO_TRACE=$work/address_space.trace $bin"
fi

# Options: a wrong one is status 2, before a display is looked for.
expected=2
expect_failure unknown_option "unknown option 'platform'" \
    env -u DISPLAY -u QT_QPA_PLATFORM "$bin" -platform offscreen
expect_failure bad_io_option '--io parport: unknown port backend' "$bin" --io parport
# The port layer in the operator's language, from the catalogue beside the binary.
expect_failure stray_argument 'unexpected argument "stelmo\.uir"' "$bin" stelmo.uir

# --help and --version: stdout, status 0, no display needed, nothing on stderr.
for option in --help --version; do
    out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$bin" "$option" 2>"$work/option.err")
    status=$?
    case $option in
    --help) want='^Usage: stelmo \[options\]' ;;
    --version) want='^stelmo [0-9]+\.[0-9]+\.[0-9]+$' ;;
    esac
    if ((status == 0)) && [[ ! -s $work/option.err ]] && grep -Eq "$want" <<<"$out"; then
        echo "ok     $option: $(head -1 <<<"$out")"
    else
        echo "FAILED $option: status $status, stdout '$(head -1 <<<"$out")', stderr: $(cat "$work/option.err")"
        failures=$((failures + 1))
    fi
done

# Standard descriptors closed: the device must not become one of them, or the
# report line would be written into it (on /dev/port: into ports 0x00 on).
# A plain file stands in for the device; not one byte of it may change.
truncate -s 4K "$work/device"
for closed in '2>&-' '<&- >&- 2>&-'; do
    (cd "$work" && eval "STELMO_IO=port:$work/device timeout 10 $work/lonely/stelmo $closed")
    status=$?
    if ((status != 255)); then
        echo "FAILED closed $closed: exit status $status, expected 255"
        failures=$((failures + 1))
    elif ! cmp -s "$work/device" <(head -c 4096 /dev/zero); then
        echo "FAILED closed $closed: the device changed: $(od -An -c -N 66 "$work/device" | tr -s ' \n' ' ')"
        failures=$((failures + 1))
    else
        echo "ok     closed $closed: the device is untouched"
    fi
done

# Standard error a pipe nobody reads any more: the report line is lost, but
# writing it must not end the process by SIGPIPE (status 141).
{ cd "$work" && sleep 0.5 && exec timeout 10 "$work/lonely/stelmo"; } 2>&1 >/dev/null |
    (exec 0<&-; sleep 2)
status=${PIPESTATUS[0]}
if ((status != 255)); then
    echo "FAILED broken pipe: exit status $status, expected 255"
    failures=$((failures + 1))
else
    echo "ok     broken pipe: exit status 255"
fi

# Without a terminal on standard error (a launch from the desktop's menu), and
# with a display to show it on, a start-up failure is said in a window too,
# which waits for the operator; the line and the exit status stay the same.
# With a terminal, the line alone.
if command -v Xvfb >/dev/null && command -v xdotool >/dev/null; then
    cat >"$work/window" <<'EOF'
bin=$1 work=$2
cd "$work"
mkdir -p config/stelmo
printf '# from the menu\nio = parport\n' >config/stelmo/stelmo.conf
unset QT_QPA_PLATFORM STELMO_IO
"$bin" </dev/null >/dev/null 2>window.err &
pid=$!
timeout 20 xdotool search --sync --onlyvisible --name '^Cannot start stelmo$' >/dev/null ||
    { echo "FAILED window: no window named 'Cannot start stelmo'"; exit 1; }
sleep 0.5
kill -0 "$pid" 2>/dev/null || { echo "FAILED window: stelmo ended with its window up"; exit 1; }
xdotool key Return
timeout 10 tail --pid="$pid" -f /dev/null || { echo "FAILED window: Return did not close it"; exit 1; }
status=0
wait "$pid" || status=$?
[[ $status == 255 && $(wc -l <window.err) == 1 ]] &&
    grep -q '^stelmo: .*config/stelmo/stelmo\.conf:2: io=parport' window.err ||
    { echo "FAILED window: status $status, stderr: $(cat window.err)"; exit 1; }
echo "ok     window: closed with Return, status 255, the same line on stderr"
status=0
timeout 10 script -qec "$bin" /dev/null >terminal.out || status=$?
windows=$(xdotool search --onlyvisible --name '^Cannot start stelmo$' | wc -l)
[[ $status == 255 && $windows == 0 ]] && grep -q '^stelmo: .*io=parport' terminal.out ||
    { echo "FAILED terminal: status $status, $windows windows, output: $(cat terminal.out)"; exit 1; }
echo "ok     terminal: the line alone, status 255"
EOF
    bash "$(dirname "$0")/with_xvfb.sh" bash "$work/window" "$bin" "$work" ||
        failures=$((failures + 1))
    rm -r "$work/config/stelmo"
else
    echo "skipped window: Xvfb or xdotool is not installed"
fi

((failures == 0))
