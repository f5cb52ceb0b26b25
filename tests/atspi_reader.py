#!/usr/bin/python3
"""What a screen reader hears of stelmo, read over AT-SPI.

Starts the stelmo executable given and reads it as a screen reader does:
the controls' names, the selectors' entries (their text), the status
strip's texts and the position, and hears each of them change while the
operator works the panel from the keyboard (xdotool) and a script starts
the motor over the session bus, then quits it.
Needs a session bus with the AT-SPI bus (tests/xvfb_session.sh --atspi).

    atspi_reader.py <stelmo executable> <scratch directory>

Exit status 0 when everything was heard as it should be, 1 with a line
saying what was not.
"""

import os
import subprocess
import sys
import time

import pyatspi
from gi.repository import Gio, GLib

# Seconds a step may take before the test gives up: a guard against a hang,
# never a measure. A busy machine may take long.
GUARD = 30

# What was heard, in order: (event type, role of its source, name of its
# source when it came, text the event carries).
heard = []


def fail(what):
    print("FAILED: " + what, flush=True)
    sys.exit(1)


def listen(event):
    data = event.any_data if isinstance(event.any_data, str) else ""
    heard.append((event.type, event.source.getRoleName(), event.source.name, data))


def wait(what, done):
    """Lets events come in until done() holds; fails after GUARD seconds."""
    context = GLib.MainContext.default()
    give_up = time.monotonic() + GUARD
    while True:
        while context.iteration(False):
            pass
        result = done()
        if result:
            return result
        if time.monotonic() > give_up:
            fail("%s, after %d s" % (what, GUARD))
        time.sleep(0.02)


def heard_that(since, kind, name, data=None):
    """Whether an event of `kind` came from an object called `name` (with
    `data` as its text, when given) after the first `since` events."""
    return any(
        t.startswith(kind) and n == name and (data is None or d == data)
        for t, _, n, d in heard[since:])


def descendants(accessible):
    for i in range(accessible.childCount):
        child = accessible.getChildAtIndex(i)
        if child is not None:
            yield child
            yield from descendants(child)


def find(root, role, name):
    for accessible in descendants(root):
        if accessible.getRole() == role and accessible.name == name:
            return accessible
    return None


def text_of(accessible):
    """The object's text; None when it offers none."""
    try:
        return accessible.queryText().getText(0, -1)
    except NotImplementedError:
        return None


def press(*keys):
    subprocess.run(["xdotool", "key", *keys], check=True)


def strip_names(strip):
    return [child.name for child in descendants(strip)]


def read_at_rest(panel, strip):
    """The panel as it comes up: every control by its label, the selectors'
    entries as their text, the strip saying that nothing runs."""
    for role, name in [(pyatspi.ROLE_COMBO_BOX, "Port"), (pyatspi.ROLE_COMBO_BOX, "Direction"),
                       (pyatspi.ROLE_SPIN_BUTTON, "Position"), (pyatspi.ROLE_PUSH_BUTTON, "Start"),
                       (pyatspi.ROLE_PUSH_BUTTON, "Stop"), (pyatspi.ROLE_PUSH_BUTTON, "Quit")]:
        if find(panel, role, name) is None:
            fail("no %s named %r; the panel reads %r" % (
                pyatspi.roleToString(role), name, [a.name for a in descendants(panel)]))
    for name, entry in [("Port", "0x378"), ("Direction", "Towards home")]:
        said = text_of(find(panel, pyatspi.ROLE_COMBO_BOX, name))
        if said != entry:
            fail("the %s selector reads %r, not %r" % (name, said, entry))
    names = strip_names(strip)
    for name in ["Simulation", "Simulated rig", "Stopped", "Data lines: nothing written yet",
                 "Switches not read yet"]:
        if name not in names:
            fail("the status strip does not say %r; it says %r" % (name, names))
    note = [a for a in descendants(strip) if a.name.startswith("Step timer: ")]
    if len(note) != 1 or note[0].name[len("Step timer: "):] not in note[0].description:
        fail("no scheduling note that its description explains: %r" % names)


def choose(panel, keys, selector, entry):
    """Chooses `entry` on `selector` from the keyboard: its text says it,
    its name stays, and the change is announced with the new entry."""
    since = len(heard)
    press(*keys)
    wait("no announcement of %r on the %s selector" % (entry, selector),
         lambda: heard_that(since, "object:text-changed:insert", selector, entry))
    box = find(panel, pyatspi.ROLE_COMBO_BOX, selector)
    if box is None or text_of(box) != entry:
        fail("after choosing %r the %s selector reads %r" % (
            entry, selector, box and text_of(box)))


def strip_says(strip, since, name):
    """Waits until a text of the strip turns into `name`, announced as a
    change of its name after the first `since` events."""
    wait("the status strip never said %r; it says %r" % (name, strip_names(strip)),
         lambda: heard_that(since, "object:property-change:accessible-name", name)
         and name in strip_names(strip))


def script_calls(method):
    """Calls `method` of the rig as a script does, over the session bus, once
    stelmo has its name there."""
    bus = Gio.bus_get_sync(Gio.BusType.SESSION)

    def ask(*call):
        return bus.call_sync(*call, None, Gio.DBusCallFlags.NONE, -1, None)
    wait("stelmo never took its name on the session bus", lambda: ask(
        "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
        GLib.Variant("(s)", ("org.example.stelmo",))).unpack()[0])
    ask("org.example.stelmo", "/org/example/stelmo", "org.example.stelmo.Rig1", method, None)


def main():
    stelmo, work = sys.argv[1], sys.argv[2]
    # Listening before stelmo starts: it learns at once what to announce.
    pyatspi.Registry.registerEventListener(listen, "object:text-changed:insert",
                                           "object:property-change:accessible-name")
    environment = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
    with open(os.path.join(work, "stderr"), "w") as stderr:
        process = subprocess.Popen([stelmo], cwd=work, env=environment, stderr=stderr)

    def panel_window():
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.name == "stelmo":
                return find(app, pyatspi.ROLE_FILLER, "stelmo \u2014 simulated rig")
        return None
    panel = wait("no stelmo panel on the AT-SPI bus", panel_window)
    strip = wait("no status strip", lambda: find(panel, pyatspi.ROLE_FRAME, "Status"))
    # The keyboard reaches the panel once its first control has the focus.
    wait("the panel never took the keyboard focus", lambda: find(
        panel, pyatspi.ROLE_COMBO_BOX, "Port").getState().contains(pyatspi.STATE_FOCUSED))

    read_at_rest(panel, strip)
    choose(panel, ["alt+p", "Down"], "Port", "0x278")
    choose(panel, ["alt+p", "Up"], "Port", "0x378")

    # Start: the reference run homes the carriage, which then stands at the
    # home switch, as the direction is towards home: no step is made.
    since = len(heard)
    press("alt+s")
    strip_says(strip, since, "Holding at home switch \u00b7 0 steps/s")
    strip_says(strip, since, "Switches 0x0d, home switch")
    if not any(n.startswith("Data lines: ") and " on" in n for _, _, n, _ in heard[since:]):
        fail("no data line was heard on while homing")
    if not any(n.startswith("Homing \u00b7 step ") for _, _, n, _ in heard[since:]):
        fail("the strip was not heard homing")

    # Towards the far end: the motor jogs there, counting the position up,
    # and holds at the far switch.
    since = len(heard)
    choose(panel, ["alt+d", "Down"], "Direction", "Towards far end")
    strip_says(strip, since, "Holding at far switch \u00b7 0 steps/s")
    strip_says(strip, since, "Switches 0x0e, far switch")
    if not heard_that(since, "object:property-change:accessible-name",
                      "Jogging towards far end \u00b7 100 steps/s"):
        fail("the strip was not heard jogging towards the far end")
    position = find(panel, pyatspi.ROLE_SPIN_BUTTON, "Position")
    wait("the position never read above 0", lambda: float(text_of(position)) > 0)

    # A script's Start: the strip says whose run it is until the panel's Start.
    since = len(heard)
    script_calls("Start")
    strip_says(strip, since, "started by a script")
    press("alt+s")
    wait("after the panel's Start the strip still says %r" % strip_names(strip),
         lambda: "started by a script" not in strip_names(strip))
    since = len(heard)
    press("alt+t")
    strip_says(strip, since, "Stopped")

    press("alt+q")
    try:
        status = process.wait(GUARD)
    except subprocess.TimeoutExpired:
        process.kill()
        fail("stelmo still runs %d s after Alt+Q" % GUARD)
    if status != 0:
        fail("exit status %d after Quit" % status)
    print("passed: %d events heard" % len(heard))


if __name__ == "__main__":
    main()
