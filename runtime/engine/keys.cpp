// The keys of the panels' buttons, honoured in every window of the program,
// and Esc, the engine's own Stop.
//
// Esc switches every timer of the program off (stopping.cpp), in every
// window, whatever the panel file binds: the operator's stop that no panel
// file can take away. A panel file may still list Esc on its Stop button,
// which then changes nothing; on any other button it is refused
// (check_keys).
//
// A button answers its shortcut (the mnemonic of its text, "S&top" gives
// Alt+T, or the shortcut the form sets) and the keys its stelmoKeys property
// lists. Qt's own shortcuts act only in the window that has them and not at
// all while a popup (a selector's open list, a menu) holds the keyboard, so
// the engine watches every key press of the application itself: a press of
// a button's key closes any open popup and clicks that button, once, whatever
// window or popup has the keyboard. A mouse press on a button while a popup
// is open does the same, where Qt would only close the popup.
#include "runtime/engine/panel_load.h"
#include "runtime/engine/safeguards.h"
#include "runtime/engine/state.h"

#include "runtime/base/text.h"
#include "runtime/config/translation.h"
#include "runtime/services.h"

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QMouseEvent>
#include <QPointer>
#include <QRegularExpression>

#include <algorithm>
#include <map>

namespace stelmo::engine {

namespace {

// What a key sequence calls the key of `event`.
QKeyCombination pressed(const QKeyEvent &event)
{
    return QKeyCombination(event.modifiers() & ~Qt::KeypadModifier, Qt::Key(event.key()));
}

// Esc, with or without modifiers: the engine's Stop.
bool is_stop_key(QKeyCombination key)
{
    return key.key() == Qt::Key_Escape;
}

bool is_modifier(Qt::Key key)
{
    return key == Qt::Key_Shift || key == Qt::Key_Control || key == Qt::Key_Alt ||
           key == Qt::Key_Meta || key == Qt::Key_AltGr;
}

// The panels on screen, the one loaded last first.
std::vector<Panel *> shown_panels(Engine &engine)
{
    std::vector<Panel *> shown;
    for (auto it = engine.panels.rbegin(); it != engine.panels.rend(); ++it) {
        if (it->second->root && it->second->root->isVisible())
            shown.push_back(it->second.get());
    }
    return shown;
}

// The button controls of `panel` with their widgets.
template <typename Visit> void for_each_button(Panel &panel, Visit visit)
{
    for (auto &[id, control] : panel.controls) {
        if (control.cls->kind == Kind::button && control.widget)
            visit(control, static_cast<QAbstractButton *>(control.widget.data()));
    }
}

// The button that answers `key` on a panel on screen, or null.
QAbstractButton *button_for(Engine &engine, QKeyCombination key)
{
    if (key.key() == Qt::Key_unknown || key.key() == 0 || is_modifier(key.key()))
        return nullptr;
    for (Panel *panel : shown_panels(engine)) {
        QAbstractButton *found = nullptr;
        for_each_button(*panel, [&](const Control &, QAbstractButton *button) {
            std::vector<QKeyCombination> keys;
            if (!found && !button_keys(button, "", keys) &&
                std::find(keys.begin(), keys.end(), key) != keys.end())
                found = button;
        });
        if (found)
            return found;
    }
    return nullptr;
}

// The button control that is `widget` or holds it, on a panel on screen.
QAbstractButton *button_at(Engine &engine, const QWidget *widget)
{
    for (; widget; widget = widget->isWindow() ? nullptr : widget->parentWidget()) {
        for (Panel *panel : shown_panels(engine)) {
            QAbstractButton *found = nullptr;
            for_each_button(*panel, [&](const Control &, QAbstractButton *button) {
                if (button == widget)
                    found = button;
            });
            if (found)
                return found;
        }
    }
    return nullptr;
}

// Closes every open popup, innermost first.
void close_popups()
{
    for (int i = 0; i < 16; ++i) { // popups open inside popups only a few deep
        QWidget *popup = QApplication::activePopupWidget();
        if (!popup)
            return;
        popup->close();
        if (QApplication::activePopupWidget() == popup)
            popup->hide(); // it refused to close: it must not keep the keyboard
    }
}

// Closes any popup and clicks `button`: the same click the mouse makes, so
// the button's commit event goes through the same path.
void press(QAbstractButton *button)
{
    QPointer<QAbstractButton> alive(button);
    close_popups();
    if (alive)
        alive->click();
}

class KeyFilter : public QObject {
public:
    explicit KeyFilter(Engine &engine) : QObject(engine.app), engine_(engine) {}

    bool eventFilter(QObject *, QEvent *event) override
    {
        switch (event->type()) {
        case QEvent::ShortcutOverride: {
            // Claimed, so that no shortcut of Qt's acts on it as well: the
            // key press that follows clicks the button.
            const QKeyCombination key = pressed(*static_cast<QKeyEvent *>(event));
            if (!is_stop_key(key) && !button_for(engine_, key))
                return false;
            event->accept();
            return true;
        }
        case QEvent::KeyPress: {
            const auto *key = static_cast<QKeyEvent *>(event);
            if (is_stop_key(pressed(*key))) {
                close_popups();
                stop_every_timer(engine_, StopCause::escape);
                event->accept();
                return true;
            }
            QAbstractButton *button = button_for(engine_, pressed(*key));
            if (!button)
                return false;
            if (!key->isAutoRepeat()) // a key held down is one press
                press(button);
            event->accept();
            return true;
        }
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick: {
            QWidget *popup = QApplication::activePopupWidget();
            const auto *mouse = static_cast<QMouseEvent *>(event);
            if (!popup || mouse->button() != Qt::LeftButton)
                return false;
            const QPoint at = mouse->globalPosition().toPoint();
            if (popup->rect().contains(popup->mapFromGlobal(at)))
                return false; // inside the popup: it is the popup's
            QAbstractButton *button = button_at(engine_, QApplication::widgetAt(at));
            if (!button || !button->isEnabled())
                return false;
            press(button);
            event->accept();
            return true;
        }
        default:
            return false;
        }
    }

private:
    Engine &engine_;
};

} // namespace

Fault button_keys(const QWidget *widget, const std::string &ctrl,
                  std::vector<QKeyCombination> &keys, const QByteArray *document)
{
    keys.clear();
    const auto *button = qobject_cast<const QAbstractButton *>(widget);
    if (button && button->shortcut().count() == 1)
        keys.push_back(button->shortcut()[0]);

    const QVariant value = widget->property(PROP_KEYS);
    if (!value.isValid())
        return {};
    if (!button)
        return {ERR_BAD_CONTROL,
                translate("stelmo", "%1 is no button; only a button takes stelmoKeys")(ctrl)};
    if (value.metaType().id() != QMetaType::QString)
        return {ERR_BAD_CONTROL, translate("stelmo", "%1 has stelmoKeys %2, which is not text")(
                                     ctrl, written(document, widget, PROP_KEYS))};
    // Keys in Qt's portable text ("Esc", "Alt+T"), separated by ", " or ";".
    static const QRegularExpression separator(QStringLiteral(";|, "));
    const QString text = value.toString();
    for (const QString &part : text.split(separator)) {
        const QString name = part.trimmed();
        const QKeySequence sequence = QKeySequence::fromString(name, QKeySequence::PortableText);
        if (sequence.count() != 1 || sequence[0].key() == Qt::Key_unknown ||
            is_modifier(sequence[0].key()))
            return {ERR_BAD_CONTROL,
                    translate("stelmo", "%1 has stelmoKeys %2, and %3 is not one key (such as "
                                        "Esc, F5 or Ctrl+T; several are separated by \", \" or "
                                        "\";\")")(ctrl, written(document, widget, PROP_KEYS),
                                                  in_quotes(name.toStdString()))};
        keys.push_back(sequence[0]);
    }
    return {};
}

Fault check_keys(const PanelDescription &description)
{
    std::map<int, int> answered; // key combination -> control id
    for (const auto &[id, control] : description.controls) {
        std::vector<QKeyCombination> keys;
        if (control.cls->kind != Kind::button ||
            button_keys(control.widget, "", keys)) // checked when it was described
            continue;
        for (const QKeyCombination key : keys) {
            if (is_stop_key(key) && control.callback_name != "stop")
                return {ERR_BAD_CONTROL,
                        translate("stelmo", "control %1 %2 answers %3, the key that stops the "
                                            "motor, but is bound to %4; only a button bound to "
                                            "stop may answer it")(
                            id, name_of(control.widget), shown(QKeySequence(key).toString()),
                            control.callback_name.empty() ? translate("stelmo", "no callback")()
                                                          : in_quotes(control.callback_name))};
            const auto [it, fresh] = answered.emplace(key.toCombined(), id);
            if (!fresh && it->second != id)
                return {ERR_BAD_CONTROL,
                        translate("stelmo", "control %1 %2 answers %3, as control %4 %5 does; "
                                            "one key, one button")(
                            id, name_of(control.widget), shown(QKeySequence(key).toString()),
                            it->second, name_of(description.controls.at(it->second).widget))};
        }
    }
    return {};
}

void install_key_filter(Engine &engine)
{
    engine.app->installEventFilter(new KeyFilter(engine)); // owned by the application
}

} // namespace stelmo::engine
