#!/usr/bin/env bash
# What a screen reader hears of the real stelmo binary, read over AT-SPI in a
# private D-Bus session with the AT-SPI bus, as on a desktop with
# accessibility on (tests/atspi_reader.py): the controls' names, the
# selectors' entries and the status strip, and each of them changing as the
# panel is worked from the keyboard.
#
#   xvfb_accessibility_test.sh <path to the stelmo executable>
#
# Exit 0: passed; 77: skipped (a tool missing); anything else: failed.
source "$(dirname "$0")/xvfb_session.sh" --atspi "$@"

/usr/bin/python3 "$here/atspi_reader.py" "$bin" "$work"
unexpected=$(grep -v '^stelmo: step timer runs at normal priority: ' "$work/stderr" || true)
[[ -z $unexpected ]] || fail "unexpected stderr: $unexpected"
