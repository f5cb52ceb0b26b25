// The kinds of control, and the table of widget classes that can be
// controls (control_table.cpp).
#pragma once

#include "runtime/engine/fault.h"

#include <QWidget>

#include <functional>
#include <string>

namespace stelmo::engine {

// What a control is, from its widget class.
enum class Kind {
    button,   // a click is a commit event
    selector, // the program reads the current index
    display,  // the program shows a number
    timer,    // ticks at its interval; has no face on the panel
};

// What a display can show, read from its widget when the panel is made live,
// so that a tick checks a value without touching the widget.
struct DisplayLimits {
    double min = 0, max = 0; // the range of a spin box
    int digits = 0;          // the digits of an LCD number
    int base = 10;           // the number base of an LCD number: 2, 8, 10 or 16
};

// One row of the control table: a widget class that can be a control, and
// everything the engine does differently for it. Rows name their fields; what
// a row leaves out is null (the class does not do that).
struct ControlClass {
    const QMetaObject *meta = nullptr; // the widget class
    bool exact = false;                // that class only, not the classes derived from it
    Kind kind = Kind::button;
    const char *kind_name = nullptr; // the kind in reports, e.g. "numeric display"; untranslated
    // Refuses a widget of this class that cannot serve as a control (a
    // selector without entries); null: every widget can.
    Fault (*usable)(const QWidget *widget, const std::string &control) = nullptr;
    // Connects the signal of the operator's action to `commit`; null: the
    // class raises no events.
    void (*on_commit)(QWidget *widget, std::function<void()> commit) = nullptr;
    // Displays: what the widget can show, whether `value` is within that, the
    // range it must be in (for a report), and showing it. Null for the other
    // kinds. `fits` and `range` touch no widget: ticks call them.
    DisplayLimits (*limits)(const QWidget *widget) = nullptr;
    bool (*fits)(const DisplayLimits &limits, double value) = nullptr;
    std::string (*range)(const DisplayLimits &limits) = nullptr;
    void (*show)(QWidget *widget, double value) = nullptr;
    // Makes a display cheap to refresh, once, when its panel is loaded;
    // null: nothing to do.
    void (*prepare)(QWidget *widget) = nullptr;
    // Selectors: the current index, and connecting `changed` to every change
    // of it. Null for the other kinds.
    int (*index)(const QWidget *widget) = nullptr;
    void (*on_index)(QWidget *widget, std::function<void(int)> changed) = nullptr;
};

// The row for `widget`'s class, or null when it can be no control.
const ControlClass *control_class(const QWidget *widget);

// The name of `kind` in reports, e.g. "command button", untranslated (pass
// it through translate("stelmo", ...)).
const char *kind_name(Kind kind);

} // namespace stelmo::engine
