// How the engine's steps fail, and the texts of their report lines.
//
// Errors. A step that can fail returns a Fault: empty when it succeeded,
// else the service failure code it ends in (runtime/services.h) and one line
// saying what went wrong, without the "stelmo: " prefix. What a step makes
// goes to an out-parameter and is valid only when the Fault is empty; a step
// that fails keeps nothing it acquired. Steps never report a fault: the
// services do, one line per fault, and return the fault's code.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <string>

namespace stelmo::engine {

// A step's failure; empty when there was none (see the top of this file).
struct Fault {
    int code = 0;     // a failure code of runtime/services.h; 0: no fault
    std::string text; // what went wrong, one line
    explicit operator bool() const { return code != 0; }
};

// `value` as reports show it.
std::string number(double value);

// `text` for a report line (see printable()).
std::string shown(const QString &text);

// `object`'s name between quotes, for a report line.
std::string name_of(const QObject *object);

// The value of `object`'s property `property` for a report line, as the form
// document writes it: quoted when it is a string; a number as written, since
// the form loader reads "abc" as 0, "1e400" as inf and "2147483648" as 0.
// As the widget holds it when there is no document, or it does not say
// clearly (two widgets of that name).
std::string written(const QByteArray *document, const QObject *object, const char *property);

} // namespace stelmo::engine
