// What the operator sees and hears besides the form: the status strip under
// each panel (status.cpp), and the controls' names and values for screen
// readers (accessibility.cpp).
#pragma once

#include <QWidget>

namespace stelmo::engine {

struct Engine;
struct Panel;

// Makes the port monitor mark the status strips' frame after every access
// that changed what they show, and adds the strips to the frame's clients
// (status.cpp). At start-up, before any panel.
void watch_ports(Engine &engine);

// Adds a status strip to `panel` below what its form lays out; its window
// grows by the strip's height. Event-loop thread, at activation.
void add_status_strip(Engine &engine, Panel &panel);

// Shows on every panel's strip what its timers and the port monitor say now:
// taken under the lock, shown without it. Event-loop thread, once per frame.
void refresh_strips(Engine &engine);

// Names every control that a form label is the buddy of by that label's text
// (mnemonic removed), unless the form names it itself, so a screen reader
// says "Port" and not the current entry (accessibility.cpp).
void name_from_labels(QWidget &root);

// Makes selectors tell assistive technology their accessible name (where Qt's
// own interface on Linux gives the current entry instead) and their entry as
// their value. At start-up.
void install_accessibility();

} // namespace stelmo::engine
