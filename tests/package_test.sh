#!/usr/bin/env bash
# The Debian package as a user gets it: unpacked into a throwaway root, every
# file where it belongs, the dependencies declared, and the unpacked binary
# finding its panel in ../share/stelmo from an unrelated working directory.
#
#   package_test.sh <path to stelmo_<version>_<arch>.deb>
#
# Exit 0 when every check passed. Ends with "package_test: N passed, M failed".
set -uo pipefail

if (($# != 1)) || [[ ! -f $1 ]]; then
    echo "usage: $0 <path to the stelmo .deb>" >&2
    exit 2
fi
deb=$(realpath "$1")
work=$(mktemp -d)
pid=""
# shellcheck disable=SC2317 # called by the EXIT trap
cleanup() {
    if [[ -n $pid ]]; then
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT

passed=0
failed=0
ok() {
    echo "ok     $1"
    passed=$((passed + 1))
}
bad() {
    echo "FAILED $1"
    failed=$((failed + 1))
}
# result <status> <what passed> <what failed>: records the check just made.
result() {
    if (($1 == 0)); then ok "$2"; else bad "$3"; fi
}
finish() {
    echo "package_test: $passed passed, $failed failed"
    ((failed == 0))
    exit
}

root=$work/root
if ! dpkg-deb -x "$deb" "$root"; then
    bad "dpkg-deb -x $deb"
    finish
fi
bin=$root/usr/bin/stelmo
man=$root/usr/share/man/man1/stelmo.1.gz
desktop=$root/usr/share/applications/stelmo.desktop
icon=$root/usr/share/icons/hicolor/scalable/apps/stelmo.svg
panel=$root/usr/share/stelmo/stelmo.uir

# --- Files ---------------------------------------------------------------

[[ -x $bin ]]
result $? "usr/bin/stelmo is an executable" \
    "usr/bin/stelmo missing or not executable"
[[ -f $panel ]]
result $? "panel file in usr/share/stelmo" \
    "usr/share/stelmo/stelmo.uir missing"
if [[ -f $panel ]] && cmp -s "$panel" "$(dirname "$0")/../ui/stelmo.uir"; then
    ok "packaged panel file is ui/stelmo.uir"
else
    bad "packaged panel file differs from ui/stelmo.uir"
fi

if gzip -t "$man" 2>/dev/null && zcat "$man" | grep -q '^\.TH STELMO 1 '; then
    ok "man page usr/share/man/man1/stelmo.1.gz"
else
    bad "usr/share/man/man1/stelmo.1.gz missing or not a gzipped stelmo(1)"
fi

if [[ -f $desktop ]] && grep -qx 'Exec=stelmo' "$desktop" && grep -qx 'Icon=stelmo' "$desktop"; then
    ok "desktop entry runs stelmo with icon stelmo"
else
    bad "usr/share/applications/stelmo.desktop missing or not Exec=stelmo, Icon=stelmo"
fi
if command -v desktop-file-validate >/dev/null; then
    if out=$(desktop-file-validate "$desktop" 2>&1) && [[ -z $out ]]; then
        ok "desktop entry validates"
    else
        bad "desktop-file-validate: $out"
    fi
else
    echo "note   desktop-file-validate not installed (package desktop-file-utils); not run"
fi

if [[ -f $icon ]] && grep -q '<svg' "$icon"; then
    ok "icon in the hicolor theme"
else
    bad "usr/share/icons/hicolor/scalable/apps/stelmo.svg missing or not SVG"
fi

# Only the program: no test or benchmark executable, nothing outside /usr.
extra=$(cd "$root" && find . -type f ! -path ./usr/bin/stelmo ! -path ./usr/share/stelmo/stelmo.uir \
    ! -path ./usr/share/man/man1/stelmo.1.gz ! -path ./usr/share/applications/stelmo.desktop \
    ! -path ./usr/share/icons/hicolor/scalable/apps/stelmo.svg)
[[ -z $extra ]]
result $? "no other files" \
    "unexpected files: ${extra//$'\n'/ }"

if readelf -d "$bin" 2>/dev/null | grep -Eq 'RPATH|RUNPATH'; then
    bad "usr/bin/stelmo carries a run-time search path: $(readelf -d "$bin" | grep -E 'RPATH|RUNPATH')"
else
    ok "no RPATH or RUNPATH in usr/bin/stelmo"
fi

# --- Control fields --------------------------------------------------------

field() { dpkg-deb -f "$deb" "$1" 2>/dev/null; }
[[ $(field Package) == stelmo ]]
result $? "Package: stelmo" \
    "Package is '$(field Package)'"
[[ $(field Section) == science ]]
result $? "Section: science" \
    "Section is '$(field Section)'"
arch=$(dpkg --print-architecture)
[[ $(field Architecture) == "$arch" ]]
result $? "Architecture: $arch" \
    "Architecture is '$(field Architecture)', this machine is $arch"
[[ $deb == *"_$(field Version)_${arch}.deb" ]]
result $? "file name carries version and architecture" \
    "file name $(basename "$deb") is not stelmo_$(field Version)_$arch.deb"
depends=$(field Depends)
missing=""
for package in libqt6core6 libqt6gui6 libqt6widgets6 libqt6uitools6 qt6-qpa-plugins; do
    grep -Eq "(^|, )$package( |,|$)" <<<"$depends" || missing="$missing $package"
done
[[ -z $missing ]]
result $? "Depends names the Qt run-time packages" \
    "Depends lacks$missing (Depends: $depends)"

# --- The unpacked binary ---------------------------------------------------

# Runs the unpacked binary by name through PATH, offscreen, from a directory
# that has nothing to do with it, so the panel can only come from
# ../share/stelmo beside the executable. Sets `status` to the exit status, or
# "running" when it was still up after 3 s (then it is ended).
run_unpacked() {
    local name=$1
    local here=$work/elsewhere-$name
    mkdir -p "$here"
    (cd "$here" && exec env PATH="$root/usr/bin:$PATH" QT_QPA_PLATFORM=offscreen \
        STELMO_TRACE="$work/$name.trace" stelmo </dev/null >/dev/null 2>"$work/$name.err") &
    pid=$!
    status=running
    local tenths
    for ((tenths = 0; tenths < 30; tenths++)); do
        if ! kill -0 "$pid" 2>/dev/null; then
            wait "$pid"
            status=$?
            pid=""
            return
        fi
        sleep 0.1
    done
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    pid=""
}

run_unpacked installed
if [[ $status == running ]]; then
    ok "unpacked stelmo runs from an unrelated directory"
else
    bad "unpacked stelmo exited with status $status: $(cat "$work/installed.err")"
fi
[[ -e $work/installed.trace ]]
result $? "trace file created (STELMO_TRACE)" \
    "no trace file"
if grep -q '^stelmo:' "$work/installed.err"; then
    bad "unpacked stelmo reported: $(grep '^stelmo:' "$work/installed.err")"
else
    ok "no error line on stderr"
fi

# The same binary without the packaged panel file must fail to start: this
# shows that the run above really found the panel in usr/share/stelmo.
if [[ -f $panel ]]; then
    mv "$panel" "$work/panel.aside"
    run_unpacked no_panel
    mv "$work/panel.aside" "$panel"
    if [[ $status == 255 ]] && grep -q '^stelmo: .*stelmo\.uir' "$work/no_panel.err"; then
        ok "without usr/share/stelmo/stelmo.uir it stops with status 255 naming the panel file"
    else
        bad "without the panel file: status $status, stderr: $(cat "$work/no_panel.err")"
    fi
fi

finish
