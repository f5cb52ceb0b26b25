// Reading a loaded form into a panel description, checking every control
// before anything is acquired for the panel.
//
// A panel file is a Qt Designer form. Dynamic properties (which Designer
// edits like any other) say what the program needs to know:
//   top-level widget  stelmoPanel (int)         the panel id
//   each control      stelmoCtrl (int > 0)      the control id
//                     stelmoCallback (string)   the program function to call
//   button            stelmoKeys (string)       more keys that click it (keys.cpp)
//   timer control     stelmoInterval (int, ms)  on a plain QWidget
//                     stelmoTimerEnabled (bool) accepted, but every timer is
//                                               loaded switched off
// The widget class says what kind of control it is (control_table.cpp).
// Widgets without stelmo properties are decoration and are left alone.
#include "runtime/clock/tick_thread.h"
#include "runtime/engine/controls.h"
#include "runtime/engine/panel_load.h"
#include "runtime/engine/safeguards.h"
#include "runtime/engine/settings.h"

#include "runtime/base/text.h"
#include "runtime/config/translation.h"
#include "runtime/services.h"

#include <QXmlStreamReader>

#include <cmath>

namespace stelmo::engine {

namespace {

constexpr const char *PROP_PANEL = "stelmoPanel";
constexpr const char *PROP_CTRL = "stelmoCtrl";
constexpr const char *PROP_CALLBACK = "stelmoCallback";
constexpr const char *PROP_INTERVAL = "stelmoInterval";
constexpr const char *PROP_TIMER_ENABLED = "stelmoTimerEnabled";

// The tick intervals a timer may have: INTERVAL_MIN_MS to INTERVAL_MAX_MS (settings.h).
static_assert(INTERVAL_MIN_MS * 1e6 == TickThread::MIN_PERIOD.count());

enum class Found { absent, ok, wrong_type };

Found int_property(const QObject *object, const char *name, int &value)
{
    const QVariant v = object->property(name);
    if (!v.isValid())
        return Found::absent;
    if (v.metaType().id() != QMetaType::Int)
        return Found::wrong_type;
    value = v.toInt();
    return Found::ok;
}

bool has(const QObject *object, const char *property)
{
    return object->property(property).isValid();
}

std::string class_of(const QObject *object)
{
    return object->metaObject()->className();
}

// A stelmo property's value as a report shows it.
std::string value_of(const QVariant &v)
{
    const std::string text = v.toString().toStdString();
    return v.metaType().id() == QMetaType::QString ? in_quotes(text) : printable(text);
}

// The first stelmo property of `object` that is not one a control has (or,
// on the top-level widget, a panel); empty when there is none.
QByteArray unknown_property(const QObject *object, bool top_level)
{
    for (const QByteArray &property : object->dynamicPropertyNames()) {
        if (!property.startsWith("stelmo"))
            continue;
        const bool known = top_level ? property == PROP_PANEL
                                     : property == PROP_CTRL || property == PROP_CALLBACK ||
                                           property == PROP_INTERVAL ||
                                           property == PROP_TIMER_ENABLED || property == PROP_KEYS;
        if (!known)
            return property;
    }
    return {};
}

// The kind of control `control.widget` is, from the control table.
Fault classify(ControlDescription &control, const std::string &ctrl)
{
    const QWidget *widget = control.widget;
    control.cls = control_class(widget);
    if (!control.cls)
        return {ERR_BAD_CONTROL, translate("stelmo", "%1 is a %2, which cannot be a control")(
                                     ctrl, class_of(widget))};
    if (control.cls->kind == Kind::timer && !has(widget, PROP_INTERVAL))
        return {ERR_BAD_CONTROL, translate("stelmo", "%1 is a plain QWidget without "
                                                     "stelmoInterval, so it is no control")(ctrl)};
    if (control.cls->usable)
        if (Fault fault = control.cls->usable(widget, ctrl))
            return fault;
    if ((has(widget, PROP_INTERVAL) || has(widget, PROP_TIMER_ENABLED)) &&
        control.cls->kind != Kind::timer)
        return {ERR_BAD_CONTROL,
                translate("stelmo", "%1 is a %2; only a plain QWidget can be a timer")(
                    ctrl, class_of(widget))};
    return {};
}

// The program function that stelmoCallback names, if any.
Fault bind_callback(ControlDescription &control, const std::string &ctrl, int id,
                    const QByteArray *document)
{
    const QVariant value = control.widget->property(PROP_CALLBACK);
    if (!value.isValid())
        return {};
    if (value.metaType().id() != QMetaType::QString)
        return {ERR_BAD_CONTROL,
                translate("stelmo", "%1 has stelmoCallback %2, which is not a function name")(
                    ctrl, written(document, control.widget, PROP_CALLBACK))};
    const std::string name = value.toString().toStdString();
    if (!control.cls->on_commit && control.cls->kind != Kind::timer)
        return {ERR_BAD_CONTROL,
                translate("stelmo", "%1 is a %2, which raises no events, but names callback %3")(
                    ctrl, translate("stelmo", control.cls->kind_name)(), in_quotes(name))};
    if (Fault fault = find_callback(name, control.callback))
        return {fault.code, translate("stelmo", "control %1 names callback %2, %3")(
                                id, in_quotes(name), fault.text)};
    control.callback_name = name;
    return {};
}

// A timer's interval. stelmoTimerEnabled is still checked, so that files
// written for it load, but it no longer starts a timer: only the program does.
Fault timer_settings(ControlDescription &control, const std::string &ctrl,
                     const QByteArray *document)
{
    const QWidget *widget = control.widget;
    const QVariant interval = widget->property(PROP_INTERVAL);
    const int type = interval.metaType().id();
    if (type != QMetaType::Int && type != QMetaType::Double)
        return {ERR_BAD_CONTROL, translate("stelmo", "%1 has stelmoInterval %2, which is not a "
                                                     "<number> or <double> of milliseconds")(
                                     ctrl, written(document, widget, PROP_INTERVAL))};
    const double ms = interval.toDouble();
    if (!(ms >= INTERVAL_MIN_MS && ms <= INTERVAL_MAX_MS)) // also refuses NaN
        return {ERR_BAD_CONTROL,
                translate("stelmo", "%1 has stelmoInterval %2; a timer needs 0.1 to 86400000 "
                                    "milliseconds (a whole <number>, or a <double> for "
                                    "fractions)")(ctrl, written(document, widget, PROP_INTERVAL))};
    control.period = std::chrono::nanoseconds(std::llround(ms * 1e6));
    const QVariant enabled = widget->property(PROP_TIMER_ENABLED);
    if (enabled.isValid() && enabled.metaType().id() != QMetaType::Bool)
        return {ERR_BAD_CONTROL,
                translate("stelmo", "%1 has stelmoTimerEnabled %2; it must be true or false")(
                    ctrl, written(document, widget, PROP_TIMER_ENABLED))};
    if (!control.callback)
        return {ERR_BAD_CONTROL, translate("stelmo", "%1 is a timer without a callback")(ctrl)};
    return {};
}

// Adds `object` to `description` when it carries stelmoCtrl.
Fault describe_control(QObject *object, PanelDescription &description)
{
    const std::string name = name_of(object);
    if (const QByteArray property = unknown_property(object, false); !property.isEmpty())
        return {ERR_BAD_CONTROL, translate("stelmo", "%1 has an unknown property %2")(
                                     name, printable(property.toStdString()))};

    int id = 0;
    const Found found = int_property(object, PROP_CTRL, id);
    if (found == Found::absent) {
        if (has(object, PROP_CALLBACK) || has(object, PROP_INTERVAL) ||
            has(object, PROP_TIMER_ENABLED) || has(object, PROP_KEYS))
            return {ERR_BAD_CONTROL,
                    translate("stelmo", "%1 has stelmo properties but no stelmoCtrl")(name)};
        return {};
    }
    if (found == Found::wrong_type || id <= 0)
        return {ERR_BAD_CONTROL,
                translate("stelmo", "%1 has stelmoCtrl %2; a control id is a whole number above 0")(
                    name, written(description.document, object, PROP_CTRL))};

    const std::string ctrl = translate("stelmo", "control %1 %2")(id, name);
    if (const auto it = description.controls.find(id); it != description.controls.end())
        return {ERR_BAD_CONTROL, translate("stelmo", "%1 appears twice (also %2)")(
                                     ctrl, name_of(it->second.widget))};
    if (!object->isWidgetType())
        return {ERR_BAD_CONTROL, translate("stelmo", "%1 is a %2, which cannot be a control")(
                                     ctrl, class_of(object))};

    ControlDescription control;
    control.widget = static_cast<QWidget *>(object);
    Fault fault = classify(control, ctrl);
    if (!fault)
        fault = bind_callback(control, ctrl, id, description.document);
    if (!fault && control.cls->kind == Kind::timer)
        fault = timer_settings(control, ctrl, description.document);
    std::vector<QKeyCombination> keys;
    if (!fault)
        fault = button_keys(control.widget, ctrl, keys, description.document);
    if (!fault)
        description.controls.emplace(id, std::move(control));
    return fault;
}

// The value element of property `property` of the widget called `name` in
// `document`, and its text as written; false when the document does not say,
// or says it of more than one widget of that name.
bool written_value(const QByteArray &document, const QString &name, const char *property,
                   QString &element, QString &text)
{
    QXmlStreamReader xml(document);
    std::vector<QString> open; // the elements around the reader; widgets as "widget:<name>"
    const QString widget = QStringLiteral("widget:") + name;
    int found = 0;
    while (xml.readNext() != QXmlStreamReader::Invalid && !xml.atEnd()) {
        if (xml.isEndElement() && !open.empty())
            open.pop_back();
        if (!xml.isStartElement())
            continue;
        const bool ours = xml.name() == u"property" && !open.empty() && open.back() == widget &&
                          xml.attributes().value(QLatin1String("name")) == QLatin1String(property);
        if (xml.name() == u"widget")
            open.push_back(QStringLiteral("widget:") +
                           xml.attributes().value(QLatin1String("name")).toString());
        else
            open.push_back(xml.name().toString());
        if (ours && xml.readNextStartElement()) {
            ++found;
            element = xml.name().toString();
            text = xml.readElementText(QXmlStreamReader::IncludeChildElements);
        }
    }
    return found == 1;
}

// Refuses a control the operator could not reach: disabled, or hidden (by
// itself, by a widget around it, or by a maximum size of nothing). Timers
// have no face and are left alone.
Fault check_operable(const PanelDescription &description)
{
    const QWidget *root = description.root.get();
    for (const auto &[id, control] : description.controls) {
        const QWidget *widget = control.widget;
        if (control.cls->kind == Kind::timer)
            continue;
        const std::string ctrl = translate("stelmo", "control %1 %2")(id, name_of(widget));
        if (!widget->isEnabled() || !root->isEnabled())
            return {ERR_BAD_CONTROL,
                    translate("stelmo", "%1 is disabled; the operator could not use it")(ctrl)};
        if (!widget->isVisibleTo(root) || widget->maximumWidth() == 0 ||
            widget->maximumHeight() == 0)
            return {ERR_BAD_CONTROL,
                    translate("stelmo", "%1 is hidden; the operator could not use it")(ctrl)};
    }
    return {};
}

} // namespace

std::string written(const QByteArray *document, const QObject *object, const char *property)
{
    QString element, text;
    if (!document || !written_value(*document, object->objectName(), property, element, text))
        return value_of(object->property(property));
    // The loader takes a string as it is, and a number with blanks around it.
    return element == u"string" || element == u"cstring" ? in_quotes(text.toStdString())
                                                         : shown(text.trimmed());
}

std::string name_of(const QObject *object)
{
    return in_quotes(object->objectName().toStdString());
}

Fault describe_panel(std::unique_ptr<QWidget> root, int panel_id, PanelDescription &description)
{
    description.root = std::move(root);
    const QWidget *top = description.root.get();
    int id = 0;
    switch (int_property(top, PROP_PANEL, id)) {
    case Found::absent:
        return {ERR_NOT_A_PANEL,
                translate("stelmo",
                          "not a panel: the top-level widget %1 has no stelmoPanel")(name_of(top))};
    case Found::wrong_type:
        return {ERR_NOT_A_PANEL,
                translate("stelmo", "not a panel: stelmoPanel of %1 is %2, not a whole number")(
                    name_of(top), written(description.document, top, PROP_PANEL))};
    case Found::ok:
        break;
    }
    if (id != panel_id)
        return {ERR_NO_SUCH_PANEL, translate("stelmo", "holds panel %1, not panel %2")(
                                       written(description.document, top, PROP_PANEL), panel_id)};
    if (const QByteArray property = unknown_property(top, true); !property.isEmpty())
        return {ERR_BAD_CONTROL,
                translate("stelmo", "the panel %1 itself has %2; it cannot be a control")(
                    name_of(top), printable(property.toStdString()))};

    for (QObject *object : top->findChildren<QObject *>()) {
        // Whatever the form called it (panel_file.cpp refuses it by name).
        if (object->inherits("QTextBrowser"))
            return {ERR_NOT_A_PANEL, translate("stelmo", "the form holds a %1, which reads files "
                                                         "by itself; use a QLabel or a "
                                                         "QTextEdit")("QTextBrowser")};
        if (Fault fault = describe_control(object, description))
            return fault;
    }
    if (Fault fault = check_operable(description))
        return fault;
    return check_keys(description);
}

} // namespace stelmo::engine
