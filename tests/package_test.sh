#!/usr/bin/env bash
# The Debian package as a user gets it: lintian finds nothing to say, every
# file is where it belongs, the binaries are hardened, the desktop metadata
# validates, the dependencies are declared, the maintainer scripts give the
# port helper (and only the helper) its privilege, and the unpacked binary
# finds its panel in ../share/stelmo from an unrelated working directory.
#
#   package_test.sh <path to stelmo_<version>_<arch>.deb>
#
# Exit 0 when every check passed. Ends with "package_test: N passed, M failed".
# With pipefail, `cmd | grep -q` can fail after grep has matched: grep quits at
# the match and cmd, still writing, dies of SIGPIPE. Greps at the end of a
# pipe read to the end instead (`grep ... >/dev/null`).
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

# --- lintian ---------------------------------------------------------------

# Debian's own package checks: not one error or warning.
if command -v lintian >/dev/null; then
    if out=$(lintian --fail-on error,warning "$deb" 2>/dev/null) && [[ -z $out ]]; then
        ok "lintian: nothing to report"
    else
        bad "lintian: ${out//$'\n'/; }"
    fi
else
    bad "lintian not installed (scripts/install-deps installs it)"
fi

root=$work/root
if ! dpkg-deb -x "$deb" "$root"; then
    bad "dpkg-deb -x $deb"
    finish
fi
app_id=org.example.stelmo
bin=$root/usr/bin/stelmo
helper=$root/usr/libexec/stelmo/stelmo-port
man=$root/usr/share/man/man1/stelmo.1.gz
desktop=$root/usr/share/applications/$app_id.desktop
metainfo=$root/usr/share/metainfo/$app_id.metainfo.xml
icons=$root/usr/share/icons/hicolor
icon=$icons/scalable/apps/stelmo.svg
icon_sizes=(48 64 128 256)
panel=$root/usr/share/stelmo/stelmo.uir
doc=$root/usr/share/doc/stelmo

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

if gzip -t "$man" 2>/dev/null && zcat "$man" | grep '^\.TH STELMO 1 ' >/dev/null; then
    ok "man page usr/share/man/man1/stelmo.1.gz"
else
    bad "usr/share/man/man1/stelmo.1.gz missing or not a gzipped stelmo(1)"
fi

if [[ -f $desktop ]] && grep -qx 'Exec=stelmo' "$desktop" && grep -qx 'Icon=stelmo' "$desktop"; then
    ok "desktop entry runs stelmo with icon stelmo"
else
    bad "usr/share/applications/$app_id.desktop missing or not Exec=stelmo, Icon=stelmo"
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
for size in "${icon_sizes[@]}"; do
    png=$icons/${size}x$size/apps/stelmo.png
    if [[ $(file -b "$png" 2>/dev/null) == "PNG image data, $size x $size,"* ]]; then
        ok "icon ${size}x$size PNG"
    else
        bad "${png#"$root"/} missing or not a $size x $size PNG: $(file -b "$png" 2>&1)"
    fi
done

# AppStream: the metadata validates, and names the desktop entry that exists
# (validate-tree checks the two agree).
if command -v appstreamcli >/dev/null; then
    if out=$(appstreamcli validate --no-net "$metainfo" 2>&1 &&
        appstreamcli validate-tree --no-net "$root" 2>&1); then
        ok "AppStream metadata validates with the desktop entry"
    else
        bad "appstreamcli: ${out//$'\n'/ }"
    fi
else
    bad "appstreamcli not installed (package appstream; scripts/install-deps installs it)"
fi

# One homepage everywhere: control field, AppStream metadata, copyright Source.
homepage=$(dpkg-deb -f "$deb" Homepage 2>/dev/null)
if [[ $homepage == https://* ]] &&
    grep -qF "<url type=\"homepage\">$homepage</url>" "$metainfo" 2>/dev/null &&
    grep -qE "^Source: ${homepage//./\\.}" "$doc/copyright" 2>/dev/null; then
    ok "homepage $homepage in the control file, AppStream metadata and copyright"
else
    bad "Homepage '$homepage' not the same in the control file, $app_id.metainfo.xml and copyright"
fi

# The copyright file in Debian's machine-readable format, the changelog
# naming the package's version.
if head -1 "$doc/copyright" 2>/dev/null |
    grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' &&
    grep -qx 'License: MIT' "$doc/copyright"; then
    ok "machine-readable copyright file, MIT"
else
    bad "usr/share/doc/stelmo/copyright missing or not DEP-5 with License: MIT"
fi
if zcat "$doc/changelog.gz" >"$work/changelog" 2>/dev/null &&
    [[ $(dpkg-parsechangelog -l "$work/changelog" -S Version 2>/dev/null) == "$(dpkg-deb -f "$deb" Version)" ]]; then
    ok "changelog's latest entry is version $(dpkg-deb -f "$deb" Version)"
else
    bad "usr/share/doc/stelmo/changelog.gz missing or its latest entry is not version $(dpkg-deb -f "$deb" Version)"
fi

# Only the program, its helper and its configuration: no test or benchmark
# executable, nothing outside /usr and /etc.
expected=(usr/bin/stelmo usr/libexec/stelmo/stelmo-port usr/share/stelmo/stelmo.uir
    usr/share/man/man1/stelmo.1.gz usr/lib/udev/rules.d/60-stelmo-port.rules
    etc/stelmo/stelmo.conf etc/security/limits.d/stelmo.conf
    "usr/share/applications/$app_id.desktop" "usr/share/metainfo/$app_id.metainfo.xml"
    usr/share/icons/hicolor/scalable/apps/stelmo.svg usr/share/stelmo/translations/stelmo_de.qm
    usr/share/doc/stelmo/copyright usr/share/doc/stelmo/changelog.gz)
for size in "${icon_sizes[@]}"; do
    expected+=("usr/share/icons/hicolor/${size}x$size/apps/stelmo.png")
done
extra=$(cd "$root" && find . -type f -printf '%P\n' | grep -vxF -f <(printf '%s\n' "${expected[@]}"))
[[ -z $extra ]]
result $? "no other files" \
    "unexpected files: ${extra//$'\n'/ }"

if readelf -d "$bin" 2>/dev/null | grep -E 'RPATH|RUNPATH' >/dev/null; then
    bad "usr/bin/stelmo carries a run-time search path: $(readelf -d "$bin" | grep -E 'RPATH|RUNPATH')"
else
    ok "no RPATH or RUNPATH in usr/bin/stelmo"
fi

# --- The port helper's privilege, the configuration files ------------------

# As shipped the helper is an ordinary root-owned 0755 file (a .deb carries no
# capability); postinst makes it root:stelmo 0750 and gives it cap_sys_rawio.
listing=$(dpkg-deb -c "$deb")
shipped=$(awk '$6 == "./usr/libexec/stelmo/stelmo-port" { print $1, $2 }' <<<"$listing")
[[ $shipped == "-rwxr-xr-x root/root" ]]
result $? "usr/libexec/stelmo/stelmo-port shipped as -rwxr-xr-x root/root" \
    "usr/libexec/stelmo/stelmo-port shipped as '$shipped'"
setid=$(awk '$1 ~ /^-..[sS]/ || $1 ~ /^-.....[sS]/ { print $6 }' <<<"$listing")
[[ -z $setid ]]
result $? "nothing set-user-ID or set-group-ID" \
    "set-ID files: ${setid//$'\n'/ }"

control=$work/control
dpkg-deb -e "$deb" "$control"
etc_files=$(cd "$root" && find etc -type f -printf '/%p\n' | sort)
[[ -f $control/conffiles && $(sort "$control/conffiles") == "$etc_files" && -n $etc_files ]]
result $? "conffiles lists the files under /etc: ${etc_files//$'\n'/ }" \
    "conffiles '$(tr '\n' ' ' <"$control/conffiles" 2>&1)' is not the files under /etc: ${etc_files//$'\n'/ }"
if grep -Ev '^[[:space:]]*(#|$)' "$root/etc/stelmo/stelmo.conf" >/dev/null 2>&1; then
    bad "etc/stelmo/stelmo.conf sets something: $(grep -Ev '^[[:space:]]*(#|$)' "$root/etc/stelmo/stelmo.conf")"
else
    ok "etc/stelmo/stelmo.conf is all comments: no hardware until the administrator says so"
fi
grep -Eqx '@stelmo +- +rtprio +20' "$root/etc/security/limits.d/stelmo.conf" 2>/dev/null
result $? "group stelmo may use real-time priority 20 (limits.d)" \
    "etc/security/limits.d/stelmo.conf does not grant @stelmo rtprio 20"
grep -qx 'KERNEL=="port", GROUP="stelmo", MODE="0660"' \
    "$root/usr/lib/udev/rules.d/60-stelmo-port.rules" 2>/dev/null
result $? "udev rule: /dev/port read-write for group stelmo" \
    "usr/lib/udev/rules.d/60-stelmo-port.rules lacks the /dev/port rule"

for script in postinst postrm; do
    [[ -x $control/$script && $(head -1 "$control/$script") == '#!/bin/sh' ]] &&
        grep -qx 'set -e' "$control/$script" && sh -n "$control/$script"
    result $? "$script: a /bin/sh script with set -e" \
        "$script missing, not executable, without set -e or not valid sh"
done

# The maintainer scripts against stand-ins that log their calls: which
# commands they run, with which arguments, in which order. getent says
# whether the group exists, dpkg-statoverride --list whether an override
# does, setcap whether it works, as the case asks.
fake=$work/fake-bin
mkdir "$fake"
for command in getent addgroup dpkg-statoverride setcap udevadm; do
    cat >"$fake/$command" <<EOF
#!/bin/sh
echo "$command \$*" >>"$work/calls"
case "$command \$1" in
"getent group") [ "\$have_group" = yes ] ;;
"dpkg-statoverride --list") [ "\$have_override" = yes ] ;;
"setcap "*) [ "\$setcap_works" = yes ] ;;
esac
EOF
    chmod +x "$fake/$command"
done
# maintainer <what> <script> <argument> <group> <override> <setcap> <calls...>:
# the calls expected, leaving out the questions (getent, --list) and udevadm.
maintainer() {
    local what=$1 script=$2 argument=$3
    : >"$work/calls"
    have_group=$4 have_override=$5 setcap_works=$6 PATH="$fake:$PATH" \
        sh "$control/$script" "$argument" >/dev/null 2>"$work/said"
    local status=$?
    shift 6
    local calls expected=""
    calls=$(grep -Ev '^(getent|udevadm) |--list' "$work/calls" | tr '\n' ';')
    (($# == 0)) || expected=$(printf '%s;' "$@")
    [[ $status == 0 && $calls == "$expected" ]]
    result $? "$script $argument, $what: ${calls:-nothing}" \
        "$script $argument, $what: status $status, calls '$calls', expected '$expected'; said: $(cat "$work/said")"
}
helper_path=/usr/libexec/stelmo/stelmo-port
maintainer "first install" postinst configure no no yes \
    "addgroup --system stelmo" "dpkg-statoverride --update --add root stelmo 0750 $helper_path" \
    "setcap cap_sys_rawio+ep $helper_path"
maintainer "an administrator's override" postinst configure yes yes yes \
    "setcap cap_sys_rawio+ep $helper_path"
maintainer "setcap fails" postinst configure yes yes no \
    "setcap cap_sys_rawio+ep $helper_path"
grep -q "^stelmo: setcap cap_sys_rawio+ep $helper_path failed" "$work/said"
result $? "a failed setcap is said, and the install goes on" \
    "a failed setcap is not said: $(cat "$work/said")"
maintainer "the override goes" postrm purge yes yes yes \
    "dpkg-statoverride --remove $helper_path"
maintainer "the override stays" postrm remove yes yes yes

# --- Hardening ---------------------------------------------------------------

# What Debian's hardening flags leave in a binary: a position-independent
# executable, full RELRO (a GNU_RELRO segment, every symbol bound at load
# time), the stack protector's failure handler, and, where it calls libc
# functions that have checked variants, some of those checked (__*_chk)
# variants. For the program and for the port helper, which holds a capability.
libc=$(ldd "$bin" 2>/dev/null | awk '$1 == "libc.so.6" { print $3 }')
checked=$(readelf --dyn-syms -W "$libc" 2>/dev/null | awk '{ print $8 }' | sed -n 's/^__\(.*\)_chk@.*/\1/p' | sort -u)
for exe in "$bin" "$helper"; do
    name=${exe#"$root"/}
    [[ $(readelf -h "$exe" 2>/dev/null) =~ Type:\ +DYN ]]
    result $? "$name is position-independent (ELF type DYN)" \
        "$name is not a PIE: $(readelf -h "$exe" 2>&1 | grep Type:)"
    readelf -lW "$exe" 2>/dev/null | grep GNU_RELRO >/dev/null
    result $? "$name: GNU_RELRO segment" \
        "no GNU_RELRO segment in $name"
    readelf -d "$exe" 2>/dev/null | grep -E 'BIND_NOW|FLAGS_1.* NOW' >/dev/null
    result $? "$name: BIND_NOW (linked with -z now)" \
        "$name is not linked with -z now (no BIND_NOW)"
    imports=$(readelf --dyn-syms -W "$exe" 2>/dev/null | awk '$7 == "UND" { sub(/@.*/, "", $8); print $8 }' | sort -u)
    grep -qx __stack_chk_fail <<<"$imports"
    result $? "$name: stack protector (__stack_chk_fail)" \
        "$name calls no __stack_chk_fail: built without -fstack-protector-strong"
    fortifiable=$(comm -12 <(echo "$checked") <(echo "$imports") | tr '\n' ' ')
    fortified=$(grep -E '^__.+_chk$' <<<"$imports" | grep -vx __stack_chk_fail | tr '\n' ' ')
    if [[ -z $checked ]]; then
        bad "no checked functions found in the C library ('$libc')"
    elif [[ -n $fortified ]]; then
        ok "$name: fortified libc calls: ${fortified% }"
    elif [[ -z $fortifiable ]]; then
        ok "$name: no libc calls that have checked variants"
    else
        bad "$name calls ${fortifiable}but none of their checked variants: built without -D_FORTIFY_SOURCE=2"
    fi
done

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
for package in libqt6core6 libqt6gui6 libqt6widgets6 libqt6uitools6 libqt6dbus6 libcap2 qt6-qpa-plugins \
    adduser libcap2-bin; do
    grep -Eq "(^|, )$package( |,|$)" <<<"$depends" || missing="$missing $package"
done
[[ -z $missing ]]
result $? "Depends names the Qt run-time packages, libcap2, adduser and libcap2-bin" \
    "Depends lacks$missing (Depends: $depends)"

# --- The unpacked binary ---------------------------------------------------

# Runs the unpacked binary by name through PATH, offscreen, from a directory
# that has nothing to do with it, so the panel can only come from
# ../share/stelmo beside the executable, and without a session bus, so it
# stays off that of whoever runs the test. Sets `status` to the exit status,
# or "running" when it was still up after $2 s (then it is ended).
run_unpacked() {
    local name=$1 seconds=$2
    local here=$work/elsewhere-$name
    mkdir -p "$here"
    mkdir -p -m 700 "$work/runtime"
    (cd "$here" && exec env -u DBUS_SESSION_BUS_ADDRESS XDG_RUNTIME_DIR="$work/runtime" \
        PATH="$root/usr/bin:$PATH" QT_QPA_PLATFORM=offscreen \
        XDG_CONFIG_HOME="$work/config" STELMO_IO=sim STELMO_TRACE="$work/$name.trace" \
        stelmo </dev/null >/dev/null 2>"$work/$name.err") &
    pid=$!
    status=running
    local tenths
    for ((tenths = 0; tenths < seconds * 10; tenths++)); do
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

version=$("$bin" --version 2>&1)
[[ $version == "stelmo $(field Version)" ]]
result $? "stelmo --version: $version" \
    "stelmo --version says '$version', the package is version $(field Version)"

# The German catalogue is found where the package puts it.
help=$(env -u LANGUAGE LC_ALL=de_DE.UTF-8 "$bin" --help 2>&1)
[[ $help == "Aufruf: stelmo [Optionen]"* ]]
result $? "stelmo --help in German under LC_ALL=de_DE.UTF-8" \
    "stelmo --help under LC_ALL=de_DE.UTF-8 begins '$(head -1 <<<"$help")'"

run_unpacked installed 3
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
    run_unpacked no_panel 30 # however busy the machine, it ends by itself
    mv "$work/panel.aside" "$panel"
    if [[ $status == 255 ]] && grep -q '^stelmo: .*stelmo\.uir' "$work/no_panel.err"; then
        ok "without usr/share/stelmo/stelmo.uir it stops with status 255 naming the panel file"
    else
        bad "without the panel file: status $status, stderr: $(cat "$work/no_panel.err")"
    fi
fi

finish
