// The rig on the D-Bus session bus (bus.cpp): the service org.example.stelmo
// lets a script do what the operator does at the panel, through the same
// controls, and read what the panel shows. What the engine's other parts
// call to start it and to tell it of changes.
#pragma once

namespace stelmo::engine {

struct Engine;
struct Panel;

// Offers the rig on the session bus, once, as the event loop first starts:
// connects on a thread of its own, asks for the name without waiting, and
// gives up with one line when the bus cannot be reached, does not answer
// within a second, or another stelmo has the name. Without a session bus in
// the environment it stays off, saying nothing. Event-loop thread. Only the
// stelmo executable does (its start-up code handed over the settings); an
// engine started without it, as in most tests, stays off the bus.
void serve_on_bus(Engine &engine);

// Something a script reads may have changed (the position shown, a port
// access): the service compares at the end of the frame. Any thread, with
// the engine's lock held; allocates nothing.
void note_bus_change(Engine &engine);

// A panel was made live (activate_panel): while the service serves, it
// watches the panel as it watches those that were there when it began.
// Event-loop thread.
void watch_for_bus(Panel &panel);

// Whether the motor was last started by a script over the bus, not from the
// panel: true from a Start or Home over the bus until the panel's Start or
// Home is pressed. Event-loop thread.
bool started_by_script(const Engine &engine);

} // namespace stelmo::engine
