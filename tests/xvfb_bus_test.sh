#!/usr/bin/env bash
# The rig on the session bus as a script sees it through gdbus: the real
# stelmo binary in Xvfb, on the private session bus of xvfb_session.sh.
# Introspection, each method and property, PropertiesChanged, bad arguments
# that move nothing, what moved in the port trace (Home's reference run, one
# write for a Step), Stop and Esc at the panel ending a script's run, and a
# second stelmo that runs without the name.
#
#   xvfb_bus_test.sh <path to the stelmo executable>
#
# Exit 0: passed; 77: skipped (no Xvfb, xdotool, dbus-run-session or gdbus);
# anything else: failed.
if ! command -v gdbus >/dev/null; then
    echo "skipped: gdbus is not installed (scripts/install-deps installs libglib2.0-bin)"
    exit 77
fi
source "$(dirname "$0")/xvfb_session.sh" "$@"

rig=(--session --dest org.example.stelmo --object-path /org/example/stelmo)
call() { gdbus call "${rig[@]}" --method "org.example.stelmo.Rig1.$1" "${@:2}"; }
get() { gdbus call "${rig[@]}" --method org.freedesktop.DBus.Properties.Get org.example.stelmo.Rig1 "$1"; }
bus() { gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus --method "org.freedesktop.DBus.$1" org.example.stelmo; }
# expect <what> <value> <command...>: the command prints the value.
expect() {
    local out
    out=$("${@:3}" 2>&1) || true
    [[ $out == "$2" ]] || fail "$1: '$out', not '$2'"
}
# refused <error text> <method> <argument>: the call fails with that text.
refused() {
    local out
    out=$(call "${@:2}" 2>&1) && fail "$2 ${*:3} was accepted"
    [[ $out == *"$1"* ]] || fail "$2 ${*:3}: $out"
}

cd "$work"
STELMO_TRACE=$trace "$bin" 2>"$work/stderr" &
pid=$!
owned() { [[ $(bus NameHasOwner) == "(true,)" ]]; }
wait_until "stelmo did not take org.example.stelmo" owned
owner=$(bus GetNameOwner)
gdbus monitor --session --dest org.example.stelmo >"$work/signals" &
started+=($!)
wait_until "gdbus monitor did not start" grep -q 'is owned by' "$work/signals"

gdbus introspect "${rig[@]}" >"$work/introspection"
for item in 'interface org.example.stelmo.Rig1 {' 'Start();' 'Stop();' 'Step();' 'Home();' \
    'SetDirection(in  s direction);' 'SelectPort(in  s port);' 'readonly d Position' \
    'readonly s Direction' 'readonly s Port' "readonly s Backend = 'sim';" 'readonly y Switch' 'readonly s State'; do
    grep -qF "$item" "$work/introspection" || fail "introspection lacks '$item'"
done

refused 'org.example.stelmo.Error.InvalidArgument: "sideways" is not a direction: use "home" or "far"' \
    SetDirection sideways
refused 'org.example.stelmo.Error.InvalidArgument: "0x3bc" is not a port: use "0x378" or "0x278"' \
    SelectPort 0x3bc
expect "before Start" "({'Backend': <'sim'>, 'Direction': <'home'>, 'Port': <'0x378'>, 'Position': <0.0>, 'State': <'stopped'>, 'Switch': <byte 0x00>},)" \
    gdbus call "${rig[@]}" --method org.freedesktop.DBus.Properties.GetAll org.example.stelmo.Rig1
[[ -s $trace ]] && fail "port accessed before Start"

# The port a script selects is the one the program drives: on the second
# port nothing answers, and Stop over the bus stops it there.
call SelectPort 0x278 >/dev/null
expect "Port" "(<'0x278'>,)" get Port
call Start >/dev/null
wait_for 'out 0x278 0x0[1248]'
call Stop >/dev/null
stopped "Stop over the bus"
grep -q ' 0x37[8a] ' "$trace" && fail "0x378 reached while 0x278 was selected"

# On the first port: home, then to the far switch; the properties and the
# last signal show where it stands.
call SelectPort 0x378 >/dev/null
call Start >/dev/null
wait_for 'in 0x37a 0x0d'
state_is() { [[ $(get State 2>&1) == "(<'$1'>,)" ]]; }
wait_until "State not holding-home at the home switch: $(get State 2>&1)" state_is holding-home
call SetDirection far >/dev/null
expect "Direction" "(<'far'>,)" get Direction
wait_for 'in 0x37a 0x0e'
expect "Switch at the far end" "(<byte 0x0e>,)" get Switch
expect "Position at the far end" "(<340.0>,)" get Position
wait_until "State not holding-far at the far end: $(get State 2>&1)" state_is holding-far
# The last Position signalled is the one shown: a change held back by the
# limit of ten signals a second still arrives.
signalled() {
    local last
    last=$(grep -o "'Position': <[^>]*>" "$work/signals" | tail -1)
    [[ "(${last#"'Position': "},)" == "$(get Position)" ]]
}
wait_until "the last Position signalled is not the one shown" signalled
grep -q "'Switch': <byte 0x0e>" "$work/signals" || fail "no PropertiesChanged for Switch 0x0e"
wait_until "no PropertiesChanged for State holding-far" grep -q "'State': <'holding-far'>" "$work/signals"

# Home from the far end, towards the far end: a new reference run, which
# goes home whatever the direction says. Then, stopped, a Step is one write.
after=$(wc -l <"$trace")
call Home >/dev/null
homed() { tail -n +"$((after + 1))" "$trace" | grep 'in 0x37a 0x0d' >/dev/null; }
wait_until "Home over the bus: no reference run to the home switch" homed
call Stop >/dev/null
stopped "Stop after Home"
after=$(outs)
call Step >/dev/null
stepped() { (($(outs) > after)); }
wait_until "Step over the bus: no write" stepped
stopped "Step over the bus"
(($(outs) == after + 1)) || fail "Step over the bus wrote $(($(outs) - after)) times"
grep ' out ' "$trace" | tail -1 | grep ' out 0x378 ' >/dev/null || fail "Step over the bus missed 0x378"

# The operator comes first: Stop and Esc at the panel stop a script's run.
call SetDirection home >/dev/null
for key in alt+t Escape; do
    call Start >/dev/null
    running "Start over the bus"
    xdotool key "$key"
    stopped "$key at the panel after Start over the bus"
    wait_until "$key: the last Position signalled is not the one shown" signalled
done

# One name per session: a second stelmo runs without it and says so.
"$bin" 2>"$work/stderr-second" &
second=$!
said() { grep -q 'has the name org.example.stelmo on this session bus; this one runs without it' "$work/stderr-second"; }
wait_until "the second stelmo did not say it runs without the name" said
[[ $(bus GetNameOwner) == "$owner" ]] || fail "the second stelmo took the name"
kill -TERM "$second" "$pid"
wait "$pid" || true
wait "$second" || true
others() { grep -v '^stelmo: step timer runs at normal priority: ' "$1" || true; }
(($(others "$work/stderr-second" | wc -l) == 1)) || fail "second stelmo said: $(cat "$work/stderr-second")"
[[ -n $(others "$work/stderr") ]] && fail "unexpected stderr: $(others "$work/stderr")"
echo "passed: $(wc -l <"$trace") port accesses, $(grep -c PropertiesChanged "$work/signals") signals"
