// What the operator sees and hears besides the form: the status strip under
// each panel (status.cpp), the controls' names and values for screen readers
// (accessibility.cpp), and the window that says a start-up failure
// (failure_window.cpp).
#pragma once

#include <QWidget>

#include <string>

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

// Names on the strip of panel `handle` the panel file it came from, `path`,
// and the configuration files the settings were read from. Once it is loaded.
void name_files(Engine &engine, int handle, const std::string &path);

// Shows on every panel's strip what its timers and the port monitor say now:
// taken under the lock, shown without it. Event-loop thread, once per frame.
void refresh_strips(Engine &engine);

// Shows start-up failure `text` in a message window, with what to do, until
// the operator closes it (failure_window.cpp). Needs the application.
void show_failure_window(const std::string &text);

// Names every control that a form label is the buddy of by that label's text
// (mnemonic removed), unless the form names it itself, so a screen reader
// says "Port" and not the current entry (accessibility.cpp).
void name_from_labels(QWidget &root);

// Makes selectors tell assistive technology their accessible name (where Qt's
// own interface on Linux gives the current entry instead) and their entry as
// their value. At start-up.
void install_accessibility();

} // namespace stelmo::engine
