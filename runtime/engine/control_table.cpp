// The control table: which widget classes can be controls, of what kind, and
// how the engine raises their events and shows their values. Loading a
// panel, wiring its signals and the display services all read it.
#include "runtime/engine/internal.h"

#include "runtime/services.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLCDNumber>

namespace stelmo::engine {

namespace {

Fault selector_usable(const QWidget *widget, const std::string &control)
{
    const auto *combo = static_cast<const QComboBox *>(widget);
    if (combo->count() == 0)
        return {ERR_BAD_CONTROL, control + " is a selector without entries"};
    if (combo->isEditable())
        return {ERR_BAD_CONTROL,
                control + " is an editable selector; the program needs a fixed list of entries"};
    return {};
}

const ControlClass CONTROL_CLASSES[] = {
    {&QAbstractButton::staticMetaObject, false, Kind::button, "command button", nullptr,
     [](QWidget *widget, std::function<void()> commit) {
         QObject::connect(static_cast<QAbstractButton *>(widget), &QAbstractButton::clicked, widget,
                          std::move(commit));
     },
     nullptr, nullptr, nullptr},
    {&QComboBox::staticMetaObject, false, Kind::selector, "selector", &selector_usable,
     [](QWidget *widget, std::function<void()> commit) {
         QObject::connect(static_cast<QComboBox *>(widget), &QComboBox::activated, widget,
                          std::move(commit));
     },
     nullptr, nullptr, nullptr},
    {&QDoubleSpinBox::staticMetaObject, false, Kind::display, "numeric display", nullptr, nullptr,
     [](const QWidget *widget, double value) {
         const auto *spin = static_cast<const QDoubleSpinBox *>(widget);
         return value >= spin->minimum() && value <= spin->maximum();
     },
     [](const QWidget *widget) {
         const auto *spin = static_cast<const QDoubleSpinBox *>(widget);
         return "its range is " + number(spin->minimum()) + " to " + number(spin->maximum());
     },
     [](QWidget *widget, double value) { static_cast<QDoubleSpinBox *>(widget)->setValue(value); }},
    {&QLCDNumber::staticMetaObject, false, Kind::display, "numeric display", nullptr, nullptr,
     [](const QWidget *widget, double value) {
         return !static_cast<const QLCDNumber *>(widget)->checkOverflow(value);
     },
     [](const QWidget *widget) {
         return "more than its " +
                std::to_string(static_cast<const QLCDNumber *>(widget)->digitCount()) + " digits";
     },
     [](QWidget *widget, double value) { static_cast<QLCDNumber *>(widget)->display(value); }},
    // A plain QWidget, and only with stelmoInterval (see describe_panel).
    {&QWidget::staticMetaObject, true, Kind::timer, "timer control", nullptr, nullptr, nullptr,
     nullptr, nullptr},
};

} // namespace

const ControlClass *control_class(const QWidget *widget)
{
    for (const ControlClass &row : CONTROL_CLASSES) {
        const bool matches =
            row.exact ? widget->metaObject() == row.meta : widget->metaObject()->inherits(row.meta);
        if (matches)
            return &row;
    }
    return nullptr;
}

const char *kind_name(Kind kind)
{
    for (const ControlClass &row : CONTROL_CLASSES) {
        if (row.kind == kind)
            return row.kind_name;
    }
    return "control";
}

std::string number(double value)
{
    return QString::number(value, 'g', 10).toStdString();
}

} // namespace stelmo::engine
