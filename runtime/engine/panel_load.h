// The steps of loading a panel: finding and vetting the file, describing
// its controls, making it live.
#pragma once

#include "runtime/engine/controls.h"
#include "runtime/engine/fault.h"
#include "runtime/services.h"

#include <QByteArray>
#include <QWidget>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace stelmo::engine {

struct Engine;

// The file LoadPanel reads for the name `name`, looking in `first_dirs`
// before the other places (see panel_file_candidates).
Fault locate_panel_file(const std::string &name, const std::vector<std::string> &first_dirs,
                        std::string &path);

// Reads the panel file at `path` whole (ERR_PANEL_FILE: missing, not a
// regular file, unreadable, empty, too large).
Fault read_panel_file(const std::string &path, QByteArray &data);

// Checks that `data` is a well-formed form document of sane size and depth
// before the form loader sees it, that it connects no signals, that its sizes
// are bounded and that every file it names is a regular file of bounded size
// (relative names resolved in `panel_dir`, the panel file's directory, as the
// form loader does, and for text also in the working directory)
// (ERR_NOT_A_PANEL).
Fault check_form_document(const QByteArray &data, const std::string &panel_dir);

// Refuses a style sheet that could name a file: one that holds "url" once
// its CSS escapes are undone (ERR_NOT_A_PANEL) (panel_text.cpp).
Fault check_style_sheet(const QString &sheet);

// Refuses a text of a panel file that, shown as rich text or Markdown, would
// make Qt read a file (anything but the program's own resources, ":/..."),
// or holds more tags or tables than lay out in good time (ERR_NOT_A_PANEL)
// (panel_text.cpp).
Fault check_panel_text(const QString &text);

// The program's function called `name`, for a control callback. Only
// C-linkage functions of the executable that holds the engine qualify, never
// library functions or the run-time's own entry points (ERR_BAD_CONTROL,
// saying "which ..." is wrong with the name).
Fault find_callback(std::string_view name, CtrlCallbackPtr &callback);

// What the panel file says about one control, checked. Nothing is acquired
// for it yet: no timer, no connection.
struct ControlDescription {
    const ControlClass *cls = nullptr;
    QWidget *widget = nullptr;          // in the form's widget tree
    CtrlCallbackPtr callback = nullptr; // null: the control raises no events
    std::string callback_name;
    std::chrono::nanoseconds period{}; // timers: the tick period, 0.1 ms to a day
};

// A form read into a panel: its widget tree, built but never shown, and its
// controls by id.
struct PanelDescription {
    std::unique_ptr<QWidget> root;
    std::map<int, ControlDescription> controls;
    // The form document the widgets came from, to quote a value as the file
    // wrote it; may be null.
    const QByteArray *document = nullptr;
};

// Reads the form `root` as panel `panel_id` and checks every control,
// acquiring nothing. `description` owns `root` from the call on.
Fault describe_panel(std::unique_ptr<QWidget> root, int panel_id, PanelDescription &description);

// Makes a described panel live: creates its timers, wires its signals, sets
// its title and registers it under a new `handle`. When a timer cannot be
// had, the panel goes away whole and the engine is as it was. Event-loop
// thread.
Fault activate_panel(Engine &engine, PanelDescription description, int &handle);

// Loads panel `panel_id` from the panel file named `name`: every step from
// finding the file to activation.
Fault load_panel(Engine &engine, const std::string &name, int panel_id, int &handle);

} // namespace stelmo::engine
