// The control table: which widget classes can be controls, of what kind, and
// how the engine raises their events and shows their values. Loading a
// panel, wiring its signals and the display services all read it.
#include "runtime/engine/controls.h"

#include "runtime/config/translation.h"
#include "runtime/services.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLCDNumber>

#include <charconv>

namespace stelmo::engine {

namespace {

Fault selector_usable(const QWidget *widget, const std::string &control)
{
    const auto *combo = static_cast<const QComboBox *>(widget);
    if (combo->count() == 0)
        return {ERR_BAD_CONTROL, translate("stelmo", "%1 is a selector without entries")(control)};
    if (combo->isEditable())
        return {ERR_BAD_CONTROL, translate("stelmo", "%1 is an editable selector; the program "
                                                     "needs a fixed list of entries")(control)};
    return {};
}

// Whether an LCD number of `limits.digits` digits shows `value` without
// overflowing, as QLCDNumber::checkOverflow decides it, without the widget:
// in decimal it tries ever fewer significant digits ("%.*g") until the text
// fits; in the other bases it shows the whole number, its sign taking a digit.
bool lcd_fits(const DisplayLimits &limits, double value)
{
    if (limits.base != 10) {
        if (value >= 2147483648.0 || value < -2147483648.0)
            return false;
        const long long whole = static_cast<int>(value);
        auto magnitude = static_cast<unsigned long long>(whole < 0 ? -whole : whole);
        int length = whole < 0 ? 1 : 0;
        do {
            ++length;
            magnitude /= static_cast<unsigned>(limits.base);
        } while (magnitude != 0);
        return length <= limits.digits;
    }
    char text[64];
    for (int precision = limits.digits; precision >= 0; --precision) {
        const auto end =
            std::to_chars(text, text + sizeof text, value, std::chars_format::general, precision);
        if (end.ec == std::errc() && end.ptr - text <= limits.digits)
            return true;
    }
    return false;
}

int lcd_base(QLCDNumber::Mode mode)
{
    switch (mode) {
    case QLCDNumber::Hex:
        return 16;
    case QLCDNumber::Oct:
        return 8;
    case QLCDNumber::Bin:
        return 2;
    case QLCDNumber::Dec:
        break;
    }
    return 10;
}

// How each kind of display says, in a report, what it can show.
std::string spin_range(const DisplayLimits &limits)
{
    return translate("stelmo", "its range is %1 to %2")(number(limits.min), number(limits.max));
}

std::string lcd_range(const DisplayLimits &limits)
{
    return translate("stelmo", "more than its %1 digits")(limits.digits);
}

// A numeric display's text changes with every frame while the motor runs.
// Digits, signs and separators need no shaping: laid out without it, a new
// value costs a fraction of what it would. A font the panel file gives the
// display is kept.
void prepare_spin(QWidget *widget)
{
    QFont font = widget->testAttribute(Qt::WA_SetFont) ? widget->font() : QFont();
    font.setStyleStrategy(QFont::PreferNoShaping);
    widget->setFont(font);
}

const ControlClass CONTROL_CLASSES[] = {
    {
        .meta = &QAbstractButton::staticMetaObject,
        .kind = Kind::button,
        .kind_name = QT_TRANSLATE_NOOP("stelmo", "command button"),
        .on_commit =
            [](QWidget *widget, std::function<void()> commit) {
                QObject::connect(static_cast<QAbstractButton *>(widget), &QAbstractButton::clicked,
                                 widget, std::move(commit));
            },
    },
    {
        .meta = &QComboBox::staticMetaObject,
        .kind = Kind::selector,
        .kind_name = QT_TRANSLATE_NOOP("stelmo", "selector"),
        .usable = &selector_usable,
        .on_commit =
            [](QWidget *widget, std::function<void()> commit) {
                QObject::connect(static_cast<QComboBox *>(widget), &QComboBox::activated, widget,
                                 std::move(commit));
            },
        .index =
            [](const QWidget *widget) {
                return static_cast<const QComboBox *>(widget)->currentIndex();
            },
        .on_index =
            [](QWidget *widget, std::function<void(int)> changed) {
                QObject::connect(static_cast<QComboBox *>(widget), &QComboBox::currentIndexChanged,
                                 widget, std::move(changed));
            },
    },
    {
        .meta = &QDoubleSpinBox::staticMetaObject,
        .kind = Kind::display,
        .kind_name = QT_TRANSLATE_NOOP("stelmo", "numeric display"),
        .limits =
            [](const QWidget *widget) {
                const auto *spin = static_cast<const QDoubleSpinBox *>(widget);
                return DisplayLimits{.min = spin->minimum(), .max = spin->maximum()};
            },
        .fits = [](const DisplayLimits &limits,
                   double value) { return value >= limits.min && value <= limits.max; },
        .range = &spin_range,
        .show = [](QWidget *widget,
                   double value) { static_cast<QDoubleSpinBox *>(widget)->setValue(value); },
        .prepare = &prepare_spin,
    },
    {
        .meta = &QLCDNumber::staticMetaObject,
        .kind = Kind::display,
        .kind_name = QT_TRANSLATE_NOOP("stelmo", "numeric display"),
        .limits =
            [](const QWidget *widget) {
                const auto *lcd = static_cast<const QLCDNumber *>(widget);
                return DisplayLimits{.digits = lcd->digitCount(), .base = lcd_base(lcd->mode())};
            },
        .fits = &lcd_fits,
        .range = &lcd_range,
        .show = [](QWidget *widget,
                   double value) { static_cast<QLCDNumber *>(widget)->display(value); },
    },
    // A plain QWidget, and only with stelmoInterval (see describe_panel).
    {
        .meta = &QWidget::staticMetaObject,
        .exact = true,
        .kind = Kind::timer,
        .kind_name = QT_TRANSLATE_NOOP("stelmo", "timer control"),
    },
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
    return QT_TRANSLATE_NOOP("stelmo", "control");
}

std::string number(double value)
{
    return QString::number(value, 'g', 10).toStdString();
}

} // namespace stelmo::engine
