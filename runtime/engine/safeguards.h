// What guards the operator's control of the motor besides the panel's own
// buttons: every button's keys in every window (keys.cpp), the end signals
// (signals.cpp), another client destroying a window and windows that do not
// fit the screen (window_guard.cpp).
#pragma once

#include "runtime/engine/fault.h"

#include <QByteArray>
#include <QKeyCombination>
#include <QWidget>

#include <string>
#include <vector>

namespace stelmo::engine {

struct Engine;
struct PanelDescription;

// Refuses to start (ERR_NO_ENGINE, one line) when stelmo would hang or abort
// on the way: too few free file descriptors, or no room for the threads Qt
// starts (bounded_start.cpp). Before the application is created.
Fault check_room_to_start();

// Keeps Qt's accessibility bridge off D-Bus buses that do not answer its
// start-up questions within a second, and says so in one line. Before the
// application is created.
void keep_qt_off_silent_buses();

// Ends the program as Quit does when another X client destroys a panel's
// window (window_guard.cpp).
void install_window_guard(Engine &engine);

// Keeps `window` within the available area of its screen, whatever size its
// form or its layout asks for.
void fit_to_screen(QWidget &window);

// Ignores SIGPIPE, and makes SIGTERM, SIGINT and SIGHUP end the event loop
// at once (signals.cpp).
Fault watch_signals(Engine &engine);

// The signal that ended the event loop, 0 when none did. RunUserInterface
// then ends the process with 128 + that number.
int ending_signal();

// The widget property in which a panel file lists a button's further keys.
inline constexpr const char *PROP_KEYS = "stelmoKeys";

// The keys button `widget` answers: its shortcut (the mnemonic of its text)
// and those its stelmoKeys property lists, which are checked here
// (ERR_BAD_CONTROL naming `ctrl`: stelmoKeys on a widget that is no button,
// or not a list of keys, quoted as `document` writes it) (keys.cpp).
Fault button_keys(const QWidget *widget, const std::string &ctrl,
                  std::vector<QKeyCombination> &keys, const QByteArray *document = nullptr);

// Refuses a described panel in which two buttons answer the same key.
Fault check_keys(const PanelDescription &description);

// Makes every button's keys click it from any window of the program, also
// while a popup is open, and a mouse press on a button close an open popup
// and click the button.
void install_key_filter(Engine &engine);

} // namespace stelmo::engine
